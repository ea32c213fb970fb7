#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (fuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in their own build tree and runs each for a set
# time, starting from its corpus in fuzz/corpus/<target>/ (kept inputs of
# earlier crashes included, so every run replays them first).
#
#   scripts/fuzz.sh [SECONDS]      default 60 per target
#
# Environment: KEST_FUZZ_DIR build tree (default build-fuzz), KEST_FUZZ_TARGETS
# a subset, KEST_FUZZ_KEEP=1 adds what a run found to the corpus in the repo.
# New inputs otherwise go to a scratch corpus in the build tree. A crash stops
# with the fuzzer's report and its input in the build tree's artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_EACH=${1:-60}
DIR=${KEST_FUZZ_DIR:-$ROOT/build-fuzz}
TARGETS=${KEST_FUZZ_TARGETS:-"fuzz_conf fuzz_time_format fuzz_bill_line fuzz_log_dump fuzz_ha_dispatch"}
JOBS=${JOBS:-$(nproc)}

command -v clang++ >/dev/null || { echo "fuzz: clang++ missing (run scripts/deps.sh)" >&2; exit 1; }

echo "== configure $DIR (clang, libFuzzer)"
cmake -S "$ROOT" -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKEST_FUZZ=ON -DKEST_BUILD_TESTS=OFF -DKEST_BUILD_BENCH=OFF >/dev/null
echo "== build fuzz targets"
# shellcheck disable=SC2086
cmake --build "$DIR" -j "$JOBS" --target $TARGETS

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$DIR/artifacts" "$DIR/reports"
summary=()
for t in $TARGETS; do
  seed=$ROOT/fuzz/corpus/$t
  work=$DIR/corpus/$t
  mkdir -p "$seed" "$work"
  if [ "${KEST_FUZZ_KEEP:-0}" = 1 ]; then work=$seed; fi
  echo "== $t: ${SECONDS_EACH}s from $(find "$seed" -type f | wc -l) corpus inputs"
  log=$DIR/reports/$t.log
  if ! "$DIR/fuzz/$t" -max_total_time="$SECONDS_EACH" -max_len=8192 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$DIR/artifacts/$t-" \
      "$work" "$seed" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz: $t FAILED (input in $DIR/artifacts/)" >&2
    exit 1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo "?")
  summary+=("$t: $runs executions in ${SECONDS_EACH}s, coverage $cov, no crash")
done
echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
