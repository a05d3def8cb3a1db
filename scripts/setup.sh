#!/usr/bin/env bash
# Installs what a make target needs, and nothing twice.
#
#   scripts/setup.sh PROFILE...
#
#   build       the module: compiler, CMake, pybind11, the static libattr,
#               libstreamvbyte and libutf8proc, xxhash's header, and from the
#               pinned npm packages the cppjieba headers and dictionaries
#               (nodejieba) and OpenCC's dictionaries (opencc): files only,
#               their install scripts never run
#   wheel       build (the build backend is in the tree and needs nothing more)
#   dev         build, plus GoogleTest and the sanitizer runtime (make build)
#   test        dev, plus pytest, mypy, Debian's venv, Sphinx, fortunes-zh and a comma locale
#   demo        dev, plus fortunes-zh
#   demo-large  dev, plus the chinese-poetry corpus
#   demo-cluster build, plus fortunes-zh and Debian's Dask distributed (python3)
#   docs        Sphinx (the pages need nothing built)
#   bench       dev, plus fortunes-zh, Python jieba, Xapian and python3's headers
#               (for Debian's python3) and the chinese-poetry corpus
#
# Debian packages that are missing are installed when running as root; anyone
# else gets the apt-get line to run. PYTHON names the CPython (3.9 to 3.13) to
# build for; without it, the 3.9 that .python-version names.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")/versions/$(cat .python-version)/bin/python}
if ! [[ -x $python ]] || ! "$python" -c 'import sys; sys.exit(not (3, 9) <= sys.version_info[:2] <= (3, 13))' 2>/dev/null; then
  echo "setup: durevarare builds for CPython 3.9 to 3.13, and '$python' is not one." >&2
  echo "  Install one (Debian 12's python3 is 3.11; with pyenv: pyenv install 3.9.18)," >&2
  echo "  or name one: make <target> PYTHON=/path/to/python3" >&2
  exit 1
fi

packages=() want_cppjieba=0 want_locale=0 want_corpus=0
add() { packages+=("$@"); }
for profile in "${@:-build}"; do
  case $profile in
    build | wheel | dev | test | demo | demo-large | demo-cluster | bench)
      add cmake make clang g++ pybind11-dev libattr1-dev libstreamvbyte-dev libxxhash-dev libutf8proc-dev
      want_cppjieba=1 ;;&
    dev | test | demo | demo-large | bench) add libgtest-dev libclang-rt-14-dev libopencc-dev ;;&
    test) add python3-pytest python3-exceptiongroup python3-tomli python3-mypy python3-venv python3-sphinx fortunes-zh locales
          add python3-distributed python3-dask; want_locale=1 ;;
    demo-cluster) add fortunes-zh python3-distributed python3-dask python3-dev ;;
    demo) add fortunes-zh ;;
    demo-large) want_corpus=1 ;;
    bench) add fortunes-zh python3-jieba python3-xapian python3-dev; want_corpus=1 ;;
    docs) add python3-sphinx ;;
    build | wheel | dev) ;;
    *) echo "setup: unknown profile '$profile'" >&2; exit 2 ;;
  esac
done
# npm comes from Debian only when no Node.js is installed at all.
command -v npm >/dev/null || add nodejs npm

# Another apt or dpkg run (a second make, unattended-upgrades) is waited for,
# not failed on: told a timeout, apt-get install waits for dpkg's lock, but
# apt-get update ignores it for the package lists' lock (apt 2.6), so update
# is run again while that lock is what stopped it.
lock_wait=900
apt_wait=(-o "DPkg::Lock::Timeout=$lock_wait")
apt_update() {
  local output waited=0
  until output=$(LC_ALL=C apt-get "${apt_wait[@]}" update -qq 2>&1); do
    if ! grep -q "Could not get lock" <<<"$output" || ((waited >= lock_wait)); then
      printf '%s\n' "$output" >&2
      return 1
    fi
    ((waited == 0)) && echo "setup: waiting for another apt-get to release the package lists"
    sleep 5
    waited=$((waited + 5))
  done
}

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing Debian packages. Install them with:" >&2
    echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt_update
  apt-get "${apt_wait[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A comma-decimal locale lets the tests prove that model files do not depend
# on the process locale.
if ((want_locale)) && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf8$'; then
  if [[ $(id -u) -eq 0 && -f /etc/locale.gen ]]; then
    sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >>/etc/locale.gen
    locale-gen >/dev/null 2>&1 || echo "setup: could not generate de_DE.UTF-8 (locale tests will skip)"
  else
    echo "setup: no de_DE.UTF-8 locale (generating one needs root; the locale tests will skip)"
  fi
fi

# `npm ci` of a folder's package-lock.json, again only when the lock changed.
npm_ci() {
  local folder=$1 what=$2 stamp=$1/node_modules/.durevarare-lock
  if [[ ! -f $stamp ]] || ! cmp -s "$folder/package-lock.json" "$stamp"; then
    echo "setup: npm ci ($what)"
    (cd "$folder" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
    cp "$folder/package-lock.json" "$stamp"
  fi
}
((want_cppjieba)) && npm_ci . "cppjieba headers and dictionaries"
((want_corpus)) && npm_ci corpus "the chinese-poetry corpus, 85 MB"

exit 0
