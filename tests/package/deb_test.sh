#!/usr/bin/env bash
# The .deb as a user gets it, unpacked into a scratch root: its programs, man pages, completion and
# a whole simulated update with its own px550-sim; and the tarball holds the same files.
# Usage: deb_test.sh <px550-update_V_amd64.deb> <px550-update-V-linux-x86_64.tar.gz> <V>
set -u
deb=$1 tgz=$2 version=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail=0
check() {  # check <what> <command...>: runs the command, reports what failed
  local what=$1
  shift
  if ! "$@"; then
    echo "FAIL: $what"
    fail=1
  fi
}

[ -f "$deb" ] || { echo "no package $deb: run make package first"; exit 1; }
dpkg-deb -x "$deb" "$root/deb" || { echo "dpkg-deb -x failed"; exit 1; }
bin=$root/deb/usr/bin

# The version is the project's, the one the package carries.
out=$("$bin/px550-update" --version)
check "--version says '$out'" [ "$out" = "px550-update $version" ]
check "package version" [ "$(dpkg-deb -f "$deb" Version)" = "$version" ]
depends=$(dpkg-deb -f "$deb" Depends)
check "Depends computed from the binaries: '$depends'" grep -q "libc6" <<<"$depends"

for page in px550-update px550-sim; do
  text=$(MANWIDTH=100 man -P cat -l "$root/deb/usr/share/man/man1/$page.1.gz" 2>&1)
  check "man page of $page" grep -q "^NAME" <<<"$text"
  check "man page of $page names it" grep -q "$page - " <<<"$text"
done
text=$(MANWIDTH=100 man -P cat -l "$root/deb/usr/share/man/man1/px550-update.1.gz" 2>&1)
check "man page lists the flash options" grep -q -- "--simulate" <<<"$text"
check "copyright" [ -s "$root/deb/usr/share/doc/px550-update/copyright" ]
check "changelog" bash -c "zcat '$root/deb/usr/share/doc/px550-update/changelog.gz' | grep -q '($version)'"

# Completion: subcommands, and --port from `px550-update ports` (a stand-in lists two ports).
cat >"$root/fake-update" <<'FAKE'
#!/bin/sh
[ "$1" = ports ] && printf '*/dev/rfcomm0\tBluetooth serial\n/dev/ttyS0\tSerial port\n'
FAKE
chmod +x "$root/fake-update"
completion=$root/deb/usr/share/bash-completion/completions/px550-update
complete_words() {  # complete_words <word>...: what Tab offers for the last word
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _px550_update
           printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
check "completion of subcommands" [ "$(complete_words "$root/fake-update" fl)" = "flash" ]
check "completion of --port" [ "$(complete_words "$root/fake-update" flash --port /dev/r)" = "/dev/rfcomm0" ]
check "completion of flash options" grep -qx -- "--progress" <<<"$(complete_words "$root/fake-update" flash --pr)"

# A whole update with the unpacked virtual pedal, found next to the unpacked px550-update. The
# test hooks' variable is set, and the pedal takes 1.5 s to erase: a build that scaled its waits
# by it would give up on the erase after some 30 ms; the shipped one waits its full 16 s.
out=$(cd "$root" && env -u PX550_SIM PATH=/usr/bin:/bin PX550_TEST_TIMING_SCALE=0.001 \
        "$bin/px550-update" flash --simulate --yes --progress plain \
        --pedal-arg=--baud=921600 --pedal-arg=--erase-ms=1500 2>&1)
rc=$?
check "simulated update exit status $rc" [ "$rc" -eq 0 ]
check "simulated update completes" grep -q "Firmware update completed." <<<"$out"
[ "$fail" -eq 0 ] || echo "$out" | tail -n 20

# The tarball: the same files under one folder.
mkdir -p "$root/tgz"
tar -xzf "$tgz" -C "$root/tgz" || { echo "cannot unpack $tgz"; exit 1; }
top=$root/tgz/px550-update-$version-linux-x86_64
for f in bin/px550-update bin/px550-sim share/man/man1/px550-update.1.gz share/man/man1/px550-sim.1.gz \
         share/bash-completion/completions/px550-update share/doc/px550-update/copyright; do
  check "tarball holds $f" [ -f "$top/$f" ]
done
check "tarball's px550-update is the .deb's" cmp -s "$top/bin/px550-update" "$bin/px550-update"

[ "$fail" -eq 0 ] && echo "the .deb and the tarball are as users get them"
exit $fail
