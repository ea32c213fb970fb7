#!/usr/bin/env bash
# Installs what is missing, then configures, builds and runs every test through
# CTest: a normal build, one under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the multi-threaded suites under
# ThreadSanitizer. All must pass.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/deps.sh

JOBS=${JOBS:-$(nproc)}

# run_build DIR "CTEST ARGS" CMAKE ARGS...
run_build() {
  local dir=$1 ctest_args=$2; shift 2
  echo "== configure $dir ($*)"
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
  echo "== build $dir"
  cmake --build "$dir" -j "$JOBS"
  echo "== test $dir"
  # shellcheck disable=SC2086
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 600 $ctest_args
}

if [ "${KEST_SKIP_NORMAL:-0}" != 1 ]; then
  run_build build/normal "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
if [ "${KEST_SKIP_SANITIZE:-0}" != 1 ]; then
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    run_build build/sanitize "" -DCMAKE_BUILD_TYPE=Debug -DKEST_SANITIZE=ON -DKEST_BUILD_BENCH=OFF
fi
# Multi-threaded suites (CTest label "tsan") once more under ThreadSanitizer.
if [ "${KEST_SKIP_TSAN:-0}" != 1 ]; then
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    run_build build/tsan "-L tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEST_TSAN=ON -DKEST_BUILD_BENCH=OFF
fi
# A short run of every fuzz target from its corpus (crash inputs kept there
# are replayed first); scripts/fuzz.sh runs them longer.
if [ "${KEST_SKIP_FUZZ:-0}" != 1 ]; then
  KEST_FUZZ_DIR=build/fuzz bash scripts/fuzz.sh "${KEST_FUZZ_SECONDS:-5}"
fi
echo "== all builds passed"
