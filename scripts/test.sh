#!/usr/bin/env bash
# The whole test suite on a fresh machine: system packages, the C++ build and
# its tests (ctest), then the package installed with pip into a fresh virtual
# environment per supported interpreter and its pytest suite.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

bash scripts/setup-system.sh

echo "== C++ build and tests"
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/dev
# One test at a time: tests of one file share their virtual camera address.
ctest --test-dir build/dev --output-on-failure

tested=0
for ver in "${SUPPORTED_PYTHONS[@]}"; do
  python=$(find_python "$ver")
  if [[ -z "$python" ]]; then
    echo "== Python $ver: not present on this machine, not tested"
    continue
  fi
  echo "== Python $ver ($python): pip install and pytest"
  venv=$(make_venv "$python" "$ver")
  # The test hooks, which the package leaves out (see tests/python/conftest.py).
  bash scripts/build-test-hooks.sh "$venv/bin/python" >/dev/null
  (cd "$ROOT/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests/python")
  tested=$((tested + 1))
done
if ((tested == 0)); then
  echo "no supported Python interpreter found" >&2
  exit 1
fi
