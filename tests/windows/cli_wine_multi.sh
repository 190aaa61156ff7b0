#!/usr/bin/env bash
# Two pedals from one px550-update.exe under Wine: COM7 and COM8, each linked to a
# pseudo-terminal that a native virtual pedal serves; one update each, in one process.
# Usage: cli_wine_multi.sh <px550-update.exe> <native px550-sim> <firmware.bin> <module.bin>
set -u
exe=$1 sim=$2 firmware=$3 module=$4
source "$(dirname "$0")/wine_com_ports.sh"
[ -x "$sim" ] || { echo "native px550-sim not built: $sim"; exit 1; }
for n in 7 8; do
  "$sim" --pty --baud 0 --erase-ms 200 --once --report "$work/report$n.json" \
    --expect-image "$firmware" --expect-file "LINESEL.TDL=$module" \
    >"$work/sim$n.out" 2>"$work/sim$n.err" &
  pids+=($!)
  link_com "$n" "$work/sim$n.out" "$work/sim$n.err"
done

timeout 300 wine "$exe" flash --port COM7 --port COM8 --yes --progress plain \
  >"$work/out.txt" 2>"$work/err.txt"
rc=$?
cat "$work/out.txt" "$work/err.txt"
out=$(tr -d '\r' <"$work/out.txt")
fail=0
[ $rc -eq 0 ] || { echo "FAIL: exit status $rc"; fail=1; }
for n in 7 8; do
  grep -qx "COM$n: Firmware update completed." <<<"$out" || { echo "FAIL: COM$n did not complete"; fail=1; }
  grep -q "^COM$n: step: write$" <<<"$out" || { echo "FAIL: no progress lines for COM$n"; fail=1; }
done
grep -qx "2 of 2 pedals updated." <<<"$out" || { echo "FAIL: no summary"; fail=1; }
# Each pedal ends by itself once its update is complete and the line is closed.
for n in 7 8; do
  for _ in $(seq 100); do grep -q '"success"' "$work/report$n.json" 2>/dev/null && break; sleep 0.1; done
  grep -q '"success": true' "$work/report$n.json" || { echo "FAIL: pedal on COM$n:"; cat "$work/report$n.json"; fail=1; }
done
[ $fail -eq 0 ] && echo "PASS: the Windows build updated two virtual pedals over COM7 and COM8 at once"
exit $fail
