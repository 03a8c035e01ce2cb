#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for a bounded time from its committed seed corpus. A crash fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${DOVEL_FUZZ_SECONDS:-20}"
build=build-fuzz

cmake -S . -B "$build" -G "Unix Makefiles" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOVEL_FUZZ=ON >/dev/null
cmake --build "$build" -j 2

for corpus in tests/fuzz/corpus/*/; do
  target=$(basename "$corpus")
  work="$build/corpus-$target"
  rm -rf "$work" && mkdir -p "$work"
  echo "== fuzzing $target for ${seconds}s"
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -seed=1 \
    -artifact_prefix="$build/crash-$target-" -print_final_stats=0 "$work" "$corpus" 2>&1 | tail -n 3
done
