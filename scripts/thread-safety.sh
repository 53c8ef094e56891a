#!/usr/bin/env bash
# Builds the whole tree (core, virtual camera, tests, benchmarks, and the
# extension module and test hooks when Python's headers are present) with
# clang-19 and its thread-safety analysis as errors, so every lock
# annotation of src/util/mutex.hpp is checked; then runs the compile checks
# showing that the analysis rejects an unguarded access.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

dir=build/thread-safety
python_args=(-DCORVANTIC_BUILD_PYTHON=OFF -DCORVANTIC_BUILD_TEST_HOOKS=OFF)
python=$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null || true)
if [[ -n "$python" ]] && "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
  python_args=(-DCORVANTIC_BUILD_PYTHON=ON -DCORVANTIC_BUILD_TEST_HOOKS=ON "-DPython_EXECUTABLE=$python")
fi

stage "clang thread-safety analysis: build"
# Debug: the analysis runs in the front end, optimisation would only cost time.
CC=clang-19 CXX=clang++-19 cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCORVANTIC_THREAD_SAFETY=ON -DCORVANTIC_BUILD_TESTS=ON -DCORVANTIC_BUILD_BENCH=ON \
  "${python_args[@]}" >/dev/null
if [[ "${python_args[0]}" == -DCORVANTIC_BUILD_PYTHON=ON ]]; then
  # find_package(Python ... REQUIRED) has found it, or the configure failed.
  echo "extension module and test hooks included, Python: $(grep -m1 '^Python_EXECUTABLE:' "$dir/CMakeCache.txt" | cut -d= -f2-)"
else
  echo "no Python headers found: the extension module is not checked"
fi
grep -q -- '-Werror=thread-safety' "$dir/compile_commands.json" ||
  { echo "the build does not use -Werror=thread-safety" >&2; exit 1; }
cmake --build "$dir"
stage "clang thread-safety analysis: compile checks"
ctest --test-dir "$dir" -R '^ThreadSafety\.' --output-on-failure
