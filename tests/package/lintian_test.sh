#!/usr/bin/env bash
# lintian on the .deb: errors fail the test; warnings and notes are shown.
# Usage: lintian_test.sh <package.deb>
set -u
deb=$1
[ -f "$deb" ] || { echo "no package $deb: run make package first"; exit 1; }
command -v lintian >/dev/null || { echo "lintian is not installed (scripts/install-deps.sh test)"; exit 1; }
out=$(lintian --info --display-info --pedantic "$deb" 2>&1 | grep -v "root privileges")
echo "${out:-lintian: no tags}"
if grep -q "^E: " <<<"$out"; then
  echo "FAIL: lintian reports errors"
  exit 1
fi
