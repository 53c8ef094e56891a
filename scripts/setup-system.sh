#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the fuzzers need.
# Does nothing when they are all present; needs root otherwise.
set -euo pipefail

PACKAGES=(
  g++ ninja-build pkg-config ccache
  libgtest-dev libgmock-dev libpugixml-dev zlib1g-dev
  clang-19 libclang-rt-19-dev
  iproute2
  tshark  # tests/python/test_wire.py: an independent decoder of the captured protocol
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup-system: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
