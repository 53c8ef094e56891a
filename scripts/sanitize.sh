#!/usr/bin/env bash
# Builds the C++ tests with sanitizers and runs them:
#   sanitize.sh address   AddressSanitizer + UndefinedBehaviorSanitizer
#   sanitize.sh thread    ThreadSanitizer
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

kind=${1:?usage: sanitize.sh address|thread}
case "$kind" in
  address) flags="address,undefined" ;;
  thread) flags="thread" ;;
  *) echo "unknown sanitizer kind: $kind" >&2; exit 2 ;;
esac
dir="build/sanitize-$kind"
stage "C++ build with -fsanitize=$flags"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANTIC_SANITIZE="$flags" \
  -DCORVANTIC_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" --target corvantic_tests
stage "C++ tests under -fsanitize=$flags"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
"$dir/corvantic_tests" --gtest_brief=1
