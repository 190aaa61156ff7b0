#!/usr/bin/env bash
# One whole update by the Windows px550-update.exe under Wine, over COM9 linked to a
# pseudo-terminal that the native virtual pedal serves.
# Usage: cli_wine_update.sh <px550-update.exe> <native px550-sim> <firmware.bin> <module.bin>
set -u
exe=$1 sim=$2 firmware=$3 module=$4
source "$(dirname "$0")/wine_com_ports.sh"
[ -x "$sim" ] || { echo "native px550-sim not built: $sim"; exit 1; }
"$sim" --pty --baud 0 --erase-ms 200 --once --report "$work/report.json" \
  --expect-image "$firmware" --expect-file "LINESEL.TDL=$module" >"$work/sim.out" 2>"$work/sim.err" &
simpid=$!
pids+=($simpid)
link_com 9 "$work/sim.out" "$work/sim.err"

timeout 300 wine "$exe" flash --port COM9 --yes --progress plain >"$work/out.txt" 2>"$work/err.txt"
rc=$?
# The pedal (--once) ends once the updater has closed the line, and only then writes its report.
for _ in $(seq 300); do kill -0 $simpid 2>/dev/null || break; sleep 0.1; done
cat "$work/out.txt" "$work/err.txt"
fail=0
kill -0 $simpid 2>/dev/null && { echo "FAIL: the virtual pedal did not end within 30 s"; fail=1; }
[ $rc -eq 0 ] || { echo "FAIL: exit status $rc"; fail=1; }
tr -d '\r' <"$work/out.txt" | grep -qx "Firmware update completed." || { echo "FAIL: no completion text"; fail=1; }
grep -q '"success": true' "$work/report.json" || { echo "FAIL: the pedal's report:"; cat "$work/report.json"; fail=1; }
[ $fail -eq 0 ] && echo "PASS: the Windows build updated the virtual pedal over COM9"
exit $fail
