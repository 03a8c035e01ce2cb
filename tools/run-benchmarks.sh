#!/usr/bin/env bash
# Builds the benchmarks optimised (build-bench/) and runs them: the utility's own cost
# per streamed character and per getProperty round trip, then whole updates of the
# simulated hand in real time against their lower bound, and a summary of the goals.
# The real-time updates take about 40 s each for the example image; DOVEL_BENCH_REPEATS
# (default 3) sets how many run for it. Arguments go to the benchmark program, e.g.
# --benchmark_filter=host_cost for the quick ones alone.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-test-deps.sh

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DDOVEL_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target dovel_bench -j 2 >/dev/null
exec build-bench/bench/dovel_bench "$@"
