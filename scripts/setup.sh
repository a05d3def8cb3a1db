#!/usr/bin/env bash
# Installs what building, testing and benchmarking need, and nothing twice:
# Debian packages that are missing, and the cppjieba headers and dictionaries
# from the pinned npm package (used as files only; its install scripts never run).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake make clang libclang-rt-14-dev g++ libgtest-dev pybind11-dev
  python3-pytest python3-exceptiongroup python3-tomli
  fortunes-zh python3-jieba nodejs npm locales
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  # npm and nodejs may come from elsewhere (a preinstalled Node.js); only ask
  # apt for them when no npm is on the PATH at all.
  if command -v npm >/dev/null; then
    filtered=()
    for p in "${missing[@]}"; do [[ $p == npm || $p == nodejs ]] || filtered+=("$p"); done
    missing=("${filtered[@]+"${filtered[@]}"}")
  fi
fi
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A comma-decimal locale lets the tests prove that model files do not depend
# on the process locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf8$'; then
  if [[ -f /etc/locale.gen ]]; then
    sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >>/etc/locale.gen
    locale-gen >/dev/null 2>&1 || echo "setup: could not generate de_DE.UTF-8 (locale tests will skip)"
  fi
fi

stamp=node_modules/.durevarare-lock
if [[ ! -f $stamp ]] || ! cmp -s package-lock.json "$stamp"; then
  echo "setup: npm ci (cppjieba headers and dictionaries)"
  npm ci --ignore-scripts --no-audit --no-fund --loglevel=error
  cp package-lock.json "$stamp"
fi
