#!/usr/bin/env bash
# Lists the CPython interpreters found on this machine that durevarare builds
# for, one path a line.
#
#   scripts/pythons.sh          one interpreter per minor version, 3.9 to 3.13:
#                               pyenv's newest of each, else /usr/bin/python3.X
#                               where its headers are installed
#   scripts/pythons.sh --all    those, plus Debian's /usr/bin/python3 when it is
#                               another interpreter of a listed version (the
#                               tests run under it too, with that version's build)
set -euo pipefail
pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
has_headers='import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'
listed=()
for minor in 9 10 11 12 13; do
  found=$(ls -d "$pyenv_root"/versions/3."$minor".*/bin/python 2>/dev/null | sort -V | tail -1 || true)
  if [[ -z $found && -x /usr/bin/python3.$minor ]] && /usr/bin/python3."$minor" -c "$has_headers" 2>/dev/null; then
    found=/usr/bin/python3.$minor
  fi
  [[ -n $found ]] && listed+=("$found") && echo "$found"
done
if [[ ${1:-} == --all && -x /usr/bin/python3 ]]; then
  version=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  for python in "${listed[@]}"; do
    [[ $python == /usr/bin/python3* ]] && continue
    if [[ $("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])') == "$version" ]]; then
      echo /usr/bin/python3
      break
    fi
  done
fi
