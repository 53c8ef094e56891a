#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (configured with --disable-gil) into
# /opt/corvantic/python3.13t, or the folder $1, and prints the interpreter's
# path on stdout.
# Progress goes to stderr. Does nothing but print the path when that folder
# already holds a working build; needs root otherwise.
#
# The source comes from Debian's own python3.13 source package of a newer
# suite (trixie, else sid) than the machine's, fetched from the mirror the
# machine already uses. That suite is added as a source-only entry for the
# time of the download, pinned so no binary package can come from it, and
# removed again afterwards. Debian's patches are not applied: they turn off
# ensurepip and change the install layout, and we want upstream's. The build
# dependencies come from the machine's own suite.
set -euo pipefail

PREFIX=${1:-/opt/corvantic/python3.13t}
PYTHON="$PREFIX/bin/python3.13t"
SUITES=(trixie sid)
BUILD_DEPS=(
  build-essential dpkg-dev pkg-config xz-utils
  libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev
  libreadline-dev libncurses-dev uuid-dev libgdbm-dev libexpat1-dev
)
APT_SOURCE=/etc/apt/sources.list.d/corvantic-python-src.sources
APT_PIN=/etc/apt/preferences.d/corvantic-python-src

say() { echo "build-freethreaded-python: $*" >&2; }

works() {
  [[ -x "$PYTHON" ]] && env -u PYTHON_GIL "$PYTHON" -c '
import sys, venv, ssl, ctypes, sqlite3, lzma, bz2, zlib, readline, ensurepip
assert not sys._is_gil_enabled()' >/dev/null 2>&1
}

if works; then
  echo "$PYTHON"
  exit 0
fi

if ((EUID != 0)); then
  say "no working build in $PREFIX, and building one needs root"
  exit 1
fi

# One build at a time on this machine; a second caller waits, then reuses it.
mkdir -p "$(dirname "$PREFIX")"
exec 9>"$(dirname "$PREFIX")/.python3.13t.lock"
flock 9
if works; then
  echo "$PYTHON"
  exit 0
fi

scratch=$(mktemp -d /var/tmp/corvantic-python3.13t.XXXXXX)
cleanup() {
  rm -f "$APT_SOURCE" "$APT_PIN"
  rm -rf "$scratch"
}
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
APT_WAIT=(-o DPkg::Lock::Timeout=600)

# The URI and key of the machine's own Debian suite, from its apt sources.
# Prints "URI<TAB>KEYRING" (keyring possibly empty).
read_mirror() {
  local codename file
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [[ -n "$codename" ]] || return 1
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f "$file" ]] || continue
    awk -v want="$codename" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " want " ") && uri != "") {
          print uri "\t" key; found = 1; exit
        }
        types = suites = uri = key = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      {
        field = tolower($1); sub(/:$/, "", field)
        $1 = ""; sub(/^[ \t]+/, "")
        if (field == "types") types = $0
        else if (field == "suites") suites = $0
        else if (field == "uris") { split($0, u, /[ \t]+/); uri = u[1] }
        else if (field == "signed-by") key = $0
      }
      END { if (!found) flush() }
    ' "$file" | head -n 1 | grep . && return 0
  done
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f "$file" ]] || continue
    # deb [options] URI suite components...
    awk -v want="$codename" '
      $1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) == want) { print $i "\t"; exit }
      }
    ' "$file" | head -n 1 | grep . && return 0
  done
  return 1
}

mirror=$(read_mirror) || { say "found no Debian source of the machine's own suite in /etc/apt"; exit 1; }
uri=${mirror%%$'\t'*}
keyring=${mirror#*$'\t'}
say "Debian mirror of this machine: $uri"

say "installing build dependencies from the machine's own suite"
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${APT_WAIT[@]}" "${BUILD_DEPS[@]}" >/dev/null

# Fetches the python3.13 source package of suite $1 into the scratch folder.
fetch_source() {
  local suite=$1
  {
    echo "# Source packages only, for scripts/build-freethreaded-python.sh; removed after use."
    echo "Types: deb-src"
    echo "URIs: $uri"
    echo "Suites: $suite"
    echo "Components: main"
    [[ -z "$keyring" ]] || echo "Signed-By: $keyring"
  } >"$APT_SOURCE"
  printf 'Package: *\nPin: release n=%s\nPin-Priority: -1\n' "$suite" >"$APT_PIN"
  say "fetching the python3.13 source package of $suite"
  apt-get update -qq || return 1
  rm -rf "$scratch/src" && mkdir -p "$scratch/src"
  (cd "$scratch/src" && apt-get source -qq --download-only \
     -o APT::Sandbox::User=root "python3.13/$suite") || return 1
}

fetched=
for suite in "${SUITES[@]}"; do
  if fetch_source "$suite"; then
    fetched=$suite
    break
  fi
  say "could not fetch python3.13 from $suite"
done
rm -f "$APT_SOURCE" "$APT_PIN"
[[ -n "$fetched" ]] || { say "no python3.13 source package could be fetched"; exit 1; }

dsc=$(ls "$scratch"/src/python3.13_*.dsc)
say "unpacking $(basename "$dsc") without Debian's patches"
# apt checked the files against the suite's signed index; the signature of
# the .dsc itself cannot be checked without the uploader's key, which dpkg-source
# only warns about.
(cd "$scratch" && dpkg-source -q --skip-patches -x "$dsc" python-src) >"$scratch/unpack.log" 2>&1 \
  || { tail -n 40 "$scratch/unpack.log" >&2; exit 1; }

say "configuring, building and installing into $PREFIX (takes several minutes)"
cd "$scratch/python-src"
started=$SECONDS
# Without CPython's own test suite and test modules, which nothing here
# imports: fewer C modules to build, and far fewer files to byte-compile three
# times over on install.
./configure -q --disable-gil --disable-test-modules --with-ensurepip=install --prefix="$PREFIX" \
  >"$scratch/configure.log" 2>&1 || { tail -n 40 "$scratch/configure.log" >&2; exit 1; }
say "configured in $((SECONDS - started)) s"
started=$SECONDS
make -s -j"$(nproc)" >"$scratch/make.log" 2>&1 || { tail -n 40 "$scratch/make.log" >&2; exit 1; }
say "built in $((SECONDS - started)) s"
started=$SECONDS
rm -rf "$PREFIX"
make -s install >"$scratch/install.log" 2>&1 || { tail -n 40 "$scratch/install.log" >&2; exit 1; }
say "installed in $((SECONDS - started)) s"

if ! works; then
  say "the new build in $PREFIX does not work:"
  env -u PYTHON_GIL "$PYTHON" -c 'import sys, venv, ssl, ctypes, sqlite3, lzma, bz2, zlib, readline, ensurepip
print("GIL enabled:", sys._is_gil_enabled())' >&2 || true
  exit 1
fi
echo "$PYTHON"
