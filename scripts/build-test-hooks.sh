#!/usr/bin/env bash
# Builds the test-hook module _corvantic_testing for the interpreter $1 (a
# virtual environment's python will do) into build/test-hooks/<its SOABI>/,
# where tests/python/conftest.py looks for it, and prints that folder.
# Progress goes to stderr.
#
# The module is for the tests alone and never installed. It takes the
# binding functions from the installed corvantic._corvantic_core at import,
# so build it from the same tree as the package under test.
set -euo pipefail
source "$(dirname "$0")/common.sh"

python=${1:?usage: build-test-hooks.sh PYTHON}
soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
build="$ROOT/build/test-hooks/$soabi"
# Release, as the package is built (pyproject.toml's cmake.build-type).
cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" \
  -DCORVANTIC_BUILD_TEST_HOOKS=ON -DCORVANTIC_BUILD_TESTS=OFF -DCORVANTIC_BUILD_BENCH=OFF >&2
cmake --build "$build" --target _corvantic_testing >&2
echo "$build"
