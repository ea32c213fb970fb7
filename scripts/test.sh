#!/usr/bin/env bash
# Installs what is missing, then configures, builds and runs every test through
# CTest twice: a normal build and one under AddressSanitizer and
# UndefinedBehaviorSanitizer. Both must pass.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/deps.sh

JOBS=${JOBS:-$(nproc)}

run_build() {
  local dir=$1; shift
  echo "== configure $dir ($*)"
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
  echo "== build $dir"
  cmake --build "$dir" -j "$JOBS"
  echo "== test $dir"
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 600
}

if [ "${KEST_SKIP_NORMAL:-0}" != 1 ]; then
  run_build build/normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
if [ "${KEST_SKIP_SANITIZE:-0}" != 1 ]; then
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    run_build build/sanitize -DCMAKE_BUILD_TYPE=Debug -DKEST_SANITIZE=ON -DKEST_BUILD_BENCH=OFF
fi
echo "== all builds passed"
