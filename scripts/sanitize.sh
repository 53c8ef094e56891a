#!/usr/bin/env bash
# Builds the C++ tests with sanitizers and runs them:
#   sanitize.sh address   AddressSanitizer + UndefinedBehaviorSanitizer, built
#                         with clang-19
#   sanitize.sh thread    ThreadSanitizer, built with clang-19 together with
#                         the thread-safety analysis (scripts/thread-safety.sh)
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

kind=${1:?usage: sanitize.sh address|thread}
case "$kind" in
  address) flags="address,undefined" ;;
  thread) flags="thread" ;;
  *) echo "unknown sanitizer kind: $kind" >&2; exit 2 ;;
esac
stage "C++ build with -fsanitize=$flags"
if [[ "$kind" == thread ]]; then
  # clang's, shared with scripts/thread-safety.sh (scripts/common.sh), which
  # has built it when it ran first.
  dir=$THREAD_CHECKS_DIR
  configure_thread_checks
else
  # clang-19 (it compiles the suite in about half GCC's time), as
  # scripts/sanitize-python.sh builds the sanitized package, which takes the
  # core and the virtual camera compiled here from ccache.
  dir="build/sanitize-$kind"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=Debug \
    -DCORVANTIC_SANITIZE="$flags" -DCORVANTIC_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$dir" --target corvantic_tests
stage "C++ tests under -fsanitize=$flags"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# The tests mostly wait on sockets, so the suite runs as shards side by side,
# two per core as ctest runs them in scripts/test.sh: GoogleTest's sharding
# gives every test to exactly one shard, and each shard is a process of its
# own with loopback addresses of its own (tests/cpp/test_address.hpp).
shards=${CORVANTIC_TEST_SHARDS:-$(($(nproc) * 2))}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# The tests the suite runs: those listed, less any disabled ones.
listed=$("$dir/corvantic_tests" --gtest_list_tests |
  awk '/^[^ ]/ { off = $1 ~ /(^|\/)DISABLED_/ } /^  / && !off && $1 !~ /^DISABLED_/ { n++ } END { print n + 0 }')
pids=()
for ((i = 0; i < shards; i++)); do
  GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i "$dir/corvantic_tests" --gtest_brief=1 \
    >"$logs/$i.log" 2>&1 &
  pids+=($!)
done
failed=0
ran=0
for i in "${!pids[@]}"; do
  status=0
  wait "${pids[$i]}" || status=$?
  echo "-- shard $((i + 1)) of $shards"
  if ((status == 0)); then
    grep -E '^\[ +(PASSED|SKIPPED) +\]' "$logs/$i.log" || true
  else
    cat "$logs/$i.log"
    echo "shard $((i + 1)) of $shards failed (exit status $status)" >&2
    failed=1
  fi
  # Passed and skipped tests, from each shard's summary.
  ran=$((ran + $(awk '/^\[ +(PASSED|SKIPPED) +\] [0-9]+ tests?[,.]/ { n += $4 } END { print n + 0 }' "$logs/$i.log")))
done
((failed == 0)) || exit 1
# Every listed test ran in some shard: the shards left none out.
echo "$ran of $listed tests passed or skipped in $shards shards"
((ran == listed)) || { echo "the shards ran $ran tests, the suite lists $listed" >&2; exit 1; }
