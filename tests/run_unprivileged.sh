#!/usr/bin/env bash
# Runs a test binary as the unprivileged user nobody, for the checks that
# mean nothing to root (who may write any file). The binary is copied to a
# folder nobody can reach, next to a fixture only root can make: a root-owned
# mode-0666 file in a sticky, world-writable folder. Exits 77 (skipped) when
# that cannot be done here: not root, or no setpriv.
set -euo pipefail
binary=$1
shift
[[ $(id -u) -eq 0 ]] || { echo "not root: the test binary already runs unprivileged"; exit 77; }
command -v setpriv >/dev/null || { echo "no setpriv"; exit 77; }
work=$(mktemp -d /tmp/durevarare-unprivileged-XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"
cp "$binary" "$work/tests"
mkdir -m 1777 "$work/sticky"
printf old >"$work/sticky/other.json"
chmod 0666 "$work/sticky/other.json"
cd "$work"
DUREVARARE_STICKY_FILE="$work/sticky/other.json" \
  setpriv --reuid=65534 --regid=65534 --clear-groups "$work/tests" "$@"
