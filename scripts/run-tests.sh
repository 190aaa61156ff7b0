#!/usr/bin/env bash
# Runs every test of the built variants: the fuzzers for a bounded time, the Windows tests under
# Wine (throwaway prefix in the build tree), the packages, the non-Linux POSIX path (built on
# Linux with the macOS port listing), then TSan and ASan/UBSan. Keeps going after a
# failure and ends with each variant's ctest summary; the exit status is non-zero if any failed.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
failed=0
summary=()

run_fuzzers() {
  local secs=${FUZZ_SECONDS:-60}
  for f in build/fuzz/tests/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    local name corpus work
    name=$(basename "$f")
    corpus="$root/tests/fuzz/corpus/${name#fuzz_}"
    [ -d "$corpus" ] || corpus="$root/tests/fuzz/corpus"
    work="$root/build/fuzz/work-$name"
    rm -rf "$work" && mkdir -p "$work"
    echo "== fuzzing $name for ${secs}s"
    if (cd "$work" && "$root/$f" -max_total_time="$secs" -print_final_stats=1 "$work" "$corpus" \
          >"$work/log.txt" 2>&1); then
      summary+=("fuzz $name: $(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$work/log.txt" \
                 | grep -Eo '[0-9]+$') runs, no crash")
    else
      tail -n 40 "$work/log.txt"
      summary+=("fuzz $name: FAILED (see $work/log.txt)")
      failed=1
    fi
  done
}

run_ctest() {
  local preset=$1
  echo "== ctest --preset $preset"
  local log="$root/build/$preset/ctest.log"
  ctest --preset "$preset" -j2 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  [ "$rc" -eq 0 ] || failed=1
  summary+=("$preset: $(grep -E 'tests passed|tests failed' "$log" | tail -n 1)")
}

run_fuzzers

export WINEPREFIX="$root/build/windows/wineprefix"
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== creating Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
# A persistent wineserver started here, with its output away from ctest's pipes: otherwise ctest
# waits for the server that the first Wine test starts, and its hang-up dumps fill the log.
# Its service processes are started here too, for the same reason.
wineserver -p >/dev/null 2>&1 </dev/null
wine cmd /c exit >/dev/null 2>&1 </dev/null
run_ctest windows
# The packages as users get them (after make package); the zip's test uses the same prefix.
run_ctest linux-package
wineserver -k 2>/dev/null || true
unset WINEPREFIX

run_ctest posix-names
run_ctest linux-tsan
run_ctest linux-debug

echo
echo "== summary"
for line in "${summary[@]}"; do echo "$line"; done
exit $failed
