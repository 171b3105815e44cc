#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time on its
# seed corpus (a copy: the seeds in the tree stay as they are).
# Usage: scripts/run-fuzz.sh [seconds per target]
set -eu
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET="${1:-30}"
BUILD="${VORTAN_FUZZ_BUILD_DIR:-build-fuzz}"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$BUILD" -DVORTAN_FUZZ=ON -DVORTAN_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(ls tests/fuzz/*_fuzzer.cpp | xargs -n1 basename | sed 's/\.cpp$//')
cmake --build "$BUILD" -j "$(nproc)" --target $targets
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for target in $targets; do
  name=${target%_fuzzer}
  mkdir -p "$work/$name"
  if "$BUILD/$target" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 -artifact_prefix="$work/" \
      "$work/$name" "tests/fuzz/$name" >"$work/$name.log" 2>&1; then
    echo "$target: $(grep -o 'number_of_executed_units: [0-9]*' "$work/$name.log" | cut -d' ' -f2) runs, no crash"
  else
    echo "$target: CRASH"; tail -40 "$work/$name.log"; failed=1
  fi
done
exit $failed
