#!/usr/bin/env bash
# Builds the whole tree (core, virtual camera, tests, benchmarks, and the
# extension module and test hooks when Python's headers are present) with
# clang-19 and its thread-safety analysis as errors, so every lock
# annotation of src/util/mutex.hpp is checked; then runs the compile checks
# showing that the analysis rejects an unguarded access. The build is the
# ThreadSanitizer build of `scripts/sanitize.sh thread` (scripts/common.sh's
# configure_thread_checks), which then only runs its tests.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

dir=$THREAD_CHECKS_DIR
stage "clang thread-safety analysis: build"
configure_thread_checks
if grep -q '^CORVANTIC_BUILD_PYTHON:BOOL=ON' "$dir/CMakeCache.txt"; then
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
