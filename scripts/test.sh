#!/usr/bin/env bash
# The whole test suite on a fresh machine: system packages, the C++ build and
# its tests (ctest), then the package installed with pip into a fresh virtual
# environment per supported interpreter and its pytest suite, last under a
# free-threaded CPython built for it (see scripts/build-freethreaded-python.sh),
# each followed by the check of the type stubs against that build of the
# module (scripts/check-types.sh, which also type-checks the README's examples).
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

stage "system packages"
bash scripts/setup-system.sh

stage "C++ build"
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/dev
stage "C++ tests (ctest)"
# Side by side: each test process binds loopback addresses of its own
# (tests/cpp/test_address.hpp), and the tests mostly wait on sockets.
ctest --test-dir build/dev --output-on-failure -j "$(($(nproc) * 2))"

# On the free-threaded interpreter the GIL must stay off: importing an
# extension module that does not declare itself safe without it turns it on.
# Checked right after importing the package, and at the end of the pytest
# session (written by tests/python/conftest.py to $CORVANTIC_GIL_REPORT).
gil_check_start() {
  local venv=$1 enabled
  enabled=$(cd "$ROOT/tests/python" && "$venv/bin/python" -c 'import sys, corvantic; print(sys._is_gil_enabled())')
  echo "free-threaded $FREE_THREADED_PYTHON: sys._is_gil_enabled() = $enabled after import"
  [[ "$enabled" == False ]] || { echo "the GIL is enabled after importing corvantic" >&2; return 1; }
  CORVANTIC_GIL_REPORT=$(mktemp)
  export CORVANTIC_GIL_REPORT
}
gil_check_end() {
  local enabled
  enabled=$(sort -u "$CORVANTIC_GIL_REPORT" | paste -sd, -)
  rm -f "$CORVANTIC_GIL_REPORT"
  unset CORVANTIC_GIL_REPORT
  echo "free-threaded $FREE_THREADED_PYTHON: sys._is_gil_enabled() = ${enabled:-(not reported)} after the suite"
  [[ "$enabled" == False ]] || { echo "the GIL was not disabled at the end of the pytest session" >&2; return 1; }
}

tested=0
for ver in "${SUPPORTED_PYTHONS[@]}" "$FREE_THREADED_PYTHON"; do
  [[ "$ver" != "$FREE_THREADED_PYTHON" ]] || stage "Python $ver: the interpreter (built when missing)"
  python=$(find_python "$ver")
  if [[ -z "$python" ]]; then
    echo "== Python $ver: not present on this machine, not tested"
    continue
  fi
  stage "Python $ver: pip install and test hooks"
  echo "$python"
  venv=$(make_venv "$python" "$ver")
  # The test hooks, which the package leaves out (see tests/python/conftest.py).
  bash scripts/build-test-hooks.sh "$venv/bin/python" >/dev/null
  stage "Python $ver: pytest"
  [[ "$ver" != "$FREE_THREADED_PYTHON" ]] || gil_check_start "$venv"
  (cd "$ROOT/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider -n auto -m "not lab" "$ROOT/tests/python")
  [[ "$ver" != "$FREE_THREADED_PYTHON" ]] || gil_check_end
  # The type stubs against this interpreter's build of the module; the
  # README's examples once, on the first interpreter.
  if ((tested == 0)); then
    # The network lab (tests/python/lab.py) once, on its own: its line-rate
    # and time-out scenarios want the machine to themselves. It needs root;
    # without, each scenario is skipped with the reason.
    stage "Python $ver: the network lab"
    (cd "$ROOT/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider -rs -m lab "$ROOT/tests/python")
    stage "Python $ver: type checks"
    bash scripts/check-types.sh "$venv/bin/python"
  else
    stage "Python $ver: type checks"
    bash scripts/check-types.sh "$venv/bin/python" --stubs-only
  fi
  tested=$((tested + 1))
done
if ((tested == 0)); then
  echo "no supported Python interpreter found" >&2
  exit 1
fi
