#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each for a bounded time
# (seconds, default 20) starting from its checked-in seed corpus.
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
for src in "${targets[@]}"; do
  name=$(basename "$src" .cpp)
  seeds="$ROOT/fuzz/corpus/$name"
  work=$(mktemp -d)
  echo "-- fuzz_$name"
  # New inputs go to a scratch corpus; the checked-in seeds are only read.
  if ! "$dir/fuzz_$name" -max_total_time="$seconds" -artifact_prefix="$artifacts/$name-" "$work" "$seeds" \
    >"$work.log" 2>&1; then
    tail -n 40 "$work.log"
    echo "fuzz_$name failed; its input is in $artifacts" >&2
    exit 1
  fi
  grep -E '^(#[0-9]+\s+DONE|Done )' "$work.log" | tail -n 2 || true
  rm -rf "$work" "$work.log"
done
