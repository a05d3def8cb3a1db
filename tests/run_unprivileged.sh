#!/usr/bin/env bash
# Runs a test binary as the unprivileged user nobody, for the checks that
# mean nothing to root (who may write any file). The binary is copied to a
# folder nobody can reach, next to fixtures only root can make: in a sticky,
# world-writable folder, a mode-0666 file of root's and one of a third user
# (daemon). Exits 77 (skipped) when that cannot be done here: not root, or no
# setpriv.
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
printf old >"$work/sticky/third.json"
chmod 0666 "$work/sticky/third.json"
chown 1:1 "$work/sticky/third.json"
cd "$work"
DUREVARARE_STICKY_FILE="$work/sticky/other.json" DUREVARARE_THIRD_USER_FILE="$work/sticky/third.json" \
  setpriv --reuid=65534 --regid=65534 --clear-groups "$work/tests" "$@"
