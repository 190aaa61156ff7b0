#!/usr/bin/env bash
# scripts/install-deps.sh: what each purpose lists, and on a system without dpkg/apt-get, that it
# installs nothing and names what is missing. A PATH of links to chosen tools stands in for such
# a system.
# Usage: install_deps_test.sh <install-deps.sh>
set -u
script=$1
fail=0
expect() {  # expect <what> <condition...>
  local what=$1
  shift
  "$@" || { echo "FAIL: $what"; fail=1; }
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

demo=$(bash "$script" --print demo)
package=$(bash "$script" --print package)
all=$(bash "$script" --print test)
for p in wine wine64 mingw clang imagemagick xvfb googletest gtest; do
  expect "--print demo lists nothing like $p" bash -c '! grep -qi -- "$1" <<<"$2"' _ "$p" "$demo"
done
expect "--print demo has CLI11" grep -qx libcli11-dev <<<"$demo"
while read -r p; do
  expect "package's $p is in test's list" grep -qx -- "$p" <<<"$all"
done <<<"$demo"$'\n'"$package"
expect "no duplicates in test's list" [ "$(sort <<<"$all" | uniq -d)" = "" ]
bash "$script" --print nonsense >/dev/null 2>&1
expect "an unknown purpose is refused with status 2" [ $? -eq 2 ]

# A system without dpkg: only these tools on PATH.
mkdir -p "$work/bin" "$work/include/CLI" "$work/include/nlohmann"
touch "$work/include/CLI/CLI.hpp" "$work/include/nlohmann/json.hpp"
for t in cmake make c++ python3; do
  ln -s "$(command -v "$t")" "$work/bin/$t"
done
run() { env -i PATH="$work/bin" PX_INCLUDE_DIRS="$work/include" "$(command -v bash)" "$script" "$@"; }
out=$(run demo 2>&1)
expect "all demo tools present: status 0 ($out)" [ $? -eq 0 ]
expect "says it installs nothing ($out)" grep -q "nothing installed" <<<"$out"

rm "$work/bin/python3"
out=$(run demo 2>&1)
expect "python3 missing: non-zero status" [ $? -ne 0 ]
expect "python3 missing: named ($out)" grep -q "python3" <<<"$out"

rm "$work/include/CLI/CLI.hpp"
out=$(run demo 2>&1)
expect "CLI11 missing: named ($out)" grep -q "CLI/CLI.hpp" <<<"$out"

out=$(run package 2>&1)
expect "package on this PATH: help2man named ($out)" grep -q "help2man" <<<"$out"

[ "$fail" -eq 0 ] && echo "install-deps.sh lists and checks what each purpose needs"
exit $fail
