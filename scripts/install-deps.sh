#!/usr/bin/env bash
# Installs the Debian 12 packages that one purpose of this tree needs:
#   demo      make demo: cmake, make, a C++ compiler, python3, CLI11 and nlohmann-json; builds
#             no tests
#   package   make package: the demo's, plus help2man, the .deb tools and the MinGW-w64 cross
#             compilers for the Windows zip
#   test      make test (and make check, make chaos): everything, Wine and the tests' tools too
# Usage: install-deps.sh [demo|package|test]   (no purpose: test)
#        install-deps.sh --print PURPOSE       the Debian packages, one per line; installs nothing
# Idempotent: when everything is present it installs nothing. Needs root (or sudo) to install.
# Without dpkg and apt-get it installs nothing: it checks that the purpose's tools are there and
# names each missing one (exit status 1).
set -euo pipefail

usage() {
  echo "usage: $0 [demo|package|test] | --print demo|package|test" >&2
  exit 2
}

demo_packages=(build-essential cmake make python3 libcli11-dev nlohmann-json3-dev)
package_packages=(
  "${demo_packages[@]}" help2man gzip dpkg-dev file
  g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
)
test_packages=(
  "${package_packages[@]}" ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  wine wine64
  xvfb xauth xdotool x11-apps x11-utils imagemagick fonts-wine fonts-liberation
  procps lintian man-db
)

# What each purpose needs, as a system without dpkg sees it: commands on PATH, and headers as
# cmd:NAME / header:PATH (relative to an include folder) / anycmd:NAME|NAME.
demo_tools=(cmd:cmake cmd:make "anycmd:c++|g++|clang++" cmd:python3 header:CLI/CLI.hpp
            header:nlohmann/json.hpp)
package_tools=("${demo_tools[@]}" cmd:help2man cmd:gzip cmd:x86_64-w64-mingw32-g++-posix
               cmd:x86_64-w64-mingw32-windres)
test_tools=("${package_tools[@]}" header:gtest/gtest.h cmd:clang++ cmd:wine cmd:Xvfb
            cmd:xdotool cmd:convert cmd:lintian cmd:man)

purpose=test
print=0
case "${1:-}" in
  --print)
    print=1
    purpose=${2:-}
    [ -n "$purpose" ] || usage
    ;;
  "") ;;
  demo | package | test) purpose=$1 ;;
  *) usage ;;
esac
case $purpose in
  demo | package | test) ;;
  *) usage ;;
esac

declare -n packages="${purpose}_packages"
declare -n tools="${purpose}_tools"

if [ "$print" -eq 1 ]; then
  printf '%s\n' "${packages[@]}" | awk '!seen[$0]++'
  exit 0
fi

have_header() {
  local dir
  for dir in ${PX_INCLUDE_DIRS:-/usr/include /usr/local/include}; do
    [ -f "$dir/$1" ] && return 0
  done
  return 1
}

if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
  missing=()
  for t in "${tools[@]}"; do
    kind=${t%%:*} name=${t#*:}
    case $kind in
      cmd) command -v "$name" >/dev/null 2>&1 || missing+=("$name") ;;
      anycmd)
        found=0
        IFS='|' read -r -a alternatives <<<"$name"
        for a in "${alternatives[@]}"; do
          if command -v "$a" >/dev/null 2>&1; then found=1; fi
        done
        [ "$found" -eq 1 ] || missing+=("a C++ compiler (${name//|/, })")
        ;;
      header) have_header "$name" || missing+=("$name (header)") ;;
    esac
  done
  if [ ${#missing[@]} -ne 0 ]; then
    echo "install-deps: no dpkg/apt-get here, so nothing is installed; missing for $purpose:" >&2
    printf '  %s\n' "${missing[@]}" >&2
    exit 1
  fi
  echo "install-deps: no dpkg/apt-get here; every tool for $purpose is present, nothing installed"
  exit 0
fi

missing=()
for p in $(printf '%s\n' "${packages[@]}" | awk '!seen[$0]++'); do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages for $purpose present"
  exit 0
fi

echo "install-deps: installing for $purpose: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
