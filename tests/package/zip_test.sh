#!/usr/bin/env bash
# The Windows zip: its three files, README.txt with Windows line ends, and its px550-update.exe
# run under Wine.
# Usage: zip_test.sh <px550-updater-V-windows-x64.zip> <V> <wine prefix to use or create>
# A WINEPREFIX in the environment (the test runner's, with its server running) is used instead.
set -u
zip=$1 version=$2 prefix=${WINEPREFIX:-$3}
own_server=0
[ -n "${WINEPREFIX:-}" ] || own_server=1
work=$(mktemp -d)
trap '[ $own_server -eq 0 ] || WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
fail=0
[ -f "$zip" ] || { echo "no package $zip: run make package first"; exit 1; }

top=px550-updater-$version-windows-x64
listing=$(python3 -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip")
echo "$listing"
want=$(printf '%s\n' "$top/PX550Updater.exe" "$top/README.txt" "$top/px550-update.exe" | sort)
[ "$listing" = "$want" ] || { echo "FAIL: the zip should hold exactly: $want"; fail=1; }

python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$work"
readme=$work/$top/README.txt
lf=$(tr -cd '\n' <"$readme" | wc -c)
crlf=$(grep -c $'\r$' "$readme")
[ "$lf" -gt 10 ] && [ "$lf" -eq "$crlf" ] || { echo "FAIL: README.txt has $lf lines, $crlf end in CRLF"; fail=1; }
grep -q "PX550Updater.exe" "$readme" || { echo "FAIL: README.txt lacks the Windows section"; fail=1; }

# Wine's output and its server stay away from ctest's pipes.
export WINEPREFIX=$prefix WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 </dev/null
  wineserver -w
fi
wine "$work/$top/px550-update.exe" --version >"$work/out.txt" 2>"$work/err.txt" </dev/null
rc=$?
out=$(tr -d '\r' <"$work/out.txt")
if [ "$rc" -ne 0 ] || [ "$out" != "px550-update $version" ]; then
  echo "FAIL: px550-update.exe --version under Wine: status $rc, said '$out'"
  cat "$work/err.txt"
  fail=1
fi
[ "$fail" -eq 0 ] && echo "the zip is as users get it"
exit $fail
