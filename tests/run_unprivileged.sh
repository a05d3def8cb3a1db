#!/usr/bin/env bash
# Runs a test binary as the unprivileged user nobody, for the checks that
# mean nothing to root (who may write any file). Exits 77 (skipped) when that
# cannot be done here: not root, no setpriv, or a build folder nobody cannot reach.
set -euo pipefail
binary=$1
shift
[[ $(id -u) -eq 0 ]] || { echo "not root: the test binary already runs unprivileged"; exit 77; }
command -v setpriv >/dev/null || { echo "no setpriv"; exit 77; }
as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
"${as_nobody[@]}" test -x "$binary" || { echo "nobody cannot reach $binary"; exit 77; }
cd /tmp
exec "${as_nobody[@]}" "$binary" "$@"
