#!/usr/bin/env bash
# What the Windows px550-update.exe says under Wine when nothing answers and when the port goes
# away: a quiet COM port (a pty whose other side says nothing) is a pedal that does not answer,
# never a lost port; a port that goes away during the update is one.
# Usage: cli_wine_hints.sh <px550-update.exe> <native px550-sim> <firmware.bin>
set -u
exe=$1 sim=$2 firmware=$3
source "$(dirname "$0")/wine_com_ports.sh"
# The engine's waits at a twentieth, so that the 30 s identification time-out takes 1.5 s.
export PX550_TEST_TIMING_SCALE=0.05
[ -x "$sim" ] || { echo "native px550-sim not built: $sim"; exit 1; }
fail=0

# 1. A quiet port: the other side of the pty takes what comes and says nothing.
python3 -c '
import os, sys, tty, select
master, slave = os.openpty()
tty.setraw(slave)
print(os.ttyname(slave), flush=True)
while True:
    select.select([master], [], [], 1.0)
    try:
        os.read(master, 4096)
    except OSError:
        pass
' >"$work/quiet.out" 2>"$work/quiet.err" &
pids+=($!)
link_com 11 "$work/quiet.out" "$work/quiet.err"
timeout 120 wine "$exe" identify --port COM11 >"$work/out1.txt" 2>"$work/err1.txt"
rc=$?
err=$(tr -d '\r' <"$work/err1.txt")
echo "quiet port: exit $rc"; echo "$err"
[ $rc -eq 4 ] || { echo "FAIL: a quiet port ends with exit $rc, not 4"; fail=1; }
grep -q "^Error: Time out error(ID Request)$" <<<"$err" || { echo "FAIL: no time-out text"; fail=1; }
grep -q "^Hint: No pedal answered\." <<<"$err" || { echo "FAIL: not the hint for a pedal that does not answer"; fail=1; }
grep -q "went away" <<<"$err" && { echo "FAIL: a quiet port taken for a lost one"; fail=1; }

# 2. A port that goes away during the update.
"$sim" --pty --baud 0 --erase-ms 100 --expect-image "$firmware" \
  --fault "RomWrite#2:1:disconnect" >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
link_com 12 "$work/sim.out" "$work/sim.err"
timeout 120 wine "$exe" flash --port COM12 --yes --progress none >"$work/out2.txt" 2>"$work/err2.txt"
rc=$?
err=$(tr -d '\r' <"$work/err2.txt")
echo "lost port: exit $rc"; echo "$err"
[ $rc -eq 4 ] || { echo "FAIL: a lost port ends with exit $rc, not 4"; fail=1; }
grep -q "^Error: Time out error(ROM write)$" <<<"$err" || { echo "FAIL: no time-out text"; fail=1; }
grep -q "^Hint: The port went away" <<<"$err" || { echo "FAIL: not the lost-port hint"; fail=1; }

[ $fail -eq 0 ] && echo "PASS: a quiet COM port is a pedal that does not answer, a vanished one a lost port"
exit $fail
