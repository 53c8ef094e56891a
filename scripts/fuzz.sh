#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each for a bounded time
# (seconds, default 20) starting from its checked-in seed corpus, as many at
# once as there are cores.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

seconds=${1:-20}
dir=build/fuzz
# Crashing inputs land in the build tree, never among the sources.
artifacts="$ROOT/$dir/artifacts"
mkdir -p "$artifacts"
stage "fuzz targets: build"
CC=clang-19 CXX=clang++-19 cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANTIC_BUILD_FUZZ=ON -DCORVANTIC_BUILD_TESTS=OFF -DCORVANTIC_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir"
stage "fuzz targets: ${seconds}s each"
shopt -s nullglob
targets=("$ROOT"/fuzz/*.cpp)
if ((${#targets[@]} == 0)); then
  echo "no fuzz targets"
  exit 0
fi
# A fuzzer is one process on one thread: one runs per core at a time, so each
# target still has its whole time on a core of its own.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
fuzz_one() {
  local name=$1 work status=0
  work=$(mktemp -d)
  # New inputs go to a scratch corpus; the checked-in seeds are only read.
  "$dir/fuzz_$name" -max_total_time="$seconds" -artifact_prefix="$artifacts/$name-" "$work" \
    "$ROOT/fuzz/corpus/$name" >"$logs/$name.log" 2>&1 || status=$?
  rm -rf "$work"
  return "$status"
}
pids=()
for src in "${targets[@]}"; do
  while (($(jobs -pr | wc -l) >= $(nproc))); do wait -n || true; done
  fuzz_one "$(basename "$src" .cpp)" &
  pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
  name=$(basename "${targets[$i]}" .cpp)
  echo "-- fuzz_$name"
  if wait "${pids[$i]}"; then
    grep -E '^(#[0-9]+\s+DONE|Done )' "$logs/$name.log" | tail -n 2 || true
  else
    tail -n 40 "$logs/$name.log"
    echo "fuzz_$name failed; its input is in $artifacts" >&2
    failed=1
  fi
done
exit "$failed"
