#!/usr/bin/env bash
# Builds the benchmarks in an optimised build of their own and runs them.
# Arguments go to log_bench: [records-per-round] [rounds]; queue_bench runs
# after it with its defaults.
set -euo pipefail
cd "$(dirname "$0")/.."
DIR=${KEST_BENCH_DIR:-build/bench}
echo "== configure $DIR (Release)"
cmake -S . -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEST_BUILD_TESTS=OFF >/dev/null
echo "== build log_bench queue_bench"
cmake --build "$DIR" --target log_bench queue_bench -j "${JOBS:-2}"
echo "== run log_bench"
"$DIR/bench/log_bench" "$@"
echo "== run queue_bench"
"$DIR/bench/queue_bench"
