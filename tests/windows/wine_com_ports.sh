# Sourced by the command-line tests under Wine. Needs WINEPREFIX. Gives a scratch folder, $work,
# and link_com; whatever was started (its pid in pids) and linked is undone when the test ends.
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEDEBUG=-all
work=$(mktemp -d)
pids=()
coms=()
undo_wine_ports() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for n in "${coms[@]}"; do rm -f "$WINEPREFIX/dosdevices/com$n"; done
  rm -rf "$work"
}
trap undo_wine_ports EXIT
mkdir -p "$WINEPREFIX/dosdevices"

# link_com N OUT ERR: once the program started with its output in OUT has printed its pty there
# (30 s at most), COMN leads to that pty. A session of our own holds the pty as its controlling
# terminal, so that the wineserver never takes it as its own and is not hung up when it closes.
link_com() {
  local n=$1 out=$2 err=$3 pty
  for _ in $(seq 300); do [ -s "$out" ] && break; sleep 0.1; done
  pty=$(head -n 1 "$out")
  [ -n "$pty" ] || { echo "nothing printed its pty for COM$n"; cat "$err"; exit 1; }
  setsid -c sleep 600 <"$pty" >/dev/null 2>&1 &
  pids+=($!)
  disown  # it ends by a hang-up when the pty goes: no word of that
  coms+=("$n")
  ln -sfn "$pty" "$WINEPREFIX/dosdevices/com$n"
}
