#!/usr/bin/env bash
# The chaos campaign on the Windows link: the native px550-chaos plays the pedals on ptys and
# drives px550-chaos-runner.exe under Wine over COM ports mapped to them.
# Usage: chaos-windows.sh <native px550-chaos> <px550-chaos-runner.exe> [px550-chaos options]
# WINEPREFIX may be given; otherwise the build tree's own prefix next to the runner is used.
set -u
chaos=$1 runner=$2
shift 2
[ -x "$chaos" ] || { echo "native px550-chaos not built: $chaos"; exit 2; }
[ -f "$runner" ] || { echo "Windows runner not built: $runner"; exit 2; }
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$runner")" && pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 </dev/null
  wineserver -w
fi
# A persistent wineserver and Wine's services started here with their output away from any
# caller's pipes (a ctest run would otherwise wait for them).
wineserver -p >/dev/null 2>&1 </dev/null
wine cmd /c exit >/dev/null 2>&1 </dev/null
exec "$chaos" --windows "$runner" "$@"
