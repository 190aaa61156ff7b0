#!/usr/bin/env bash
# Runs a Windows executable under Wine with the build tree's own throwaway prefix.
# WINEPREFIX may be given by the caller; otherwise it is <build>/wineprefix next to the binary.
set -u
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=${WINEDEBUG:--all}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
fi
exec wine "$@"
