#!/usr/bin/env bash
# Long forms of the daemon's fault tests: 10,000 rows drained through 30
# SIGKILLs (50,000 with one commit per pass), in both commit modes with the
# journal (no row billed twice) and without it, 300,000 rows in passes of 500
# through 15 SIGKILLs with the journal, a larger drain through two
# database kills, 20,000 rows of which
# 1 in 500 cannot be billed (set aside in the reject file while the drain goes
# on, one by one and in passes of 500), a pair of nodes on one database through
# 20 role moves (also in passes of 500) and 10 stops of the active node per
# commit mode (each row billed once across both), and the
# other fault tests once more. Builds the daemon in build-rel and runs the tests against
# a private MariaDB server of that tree (started here, stopped at the end).
#
#   scripts/fault-long.sh [unittest names...]   default: every fault test
#
# KEST_FAULT_SEED fixes the moments of the kills and stops.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DIR=${KEST_REL_DIR:-$ROOT/build-rel}

cmake -S "$ROOT" -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEST_BUILD_BENCH=OFF >/dev/null
cmake --build "$DIR" -j "${JOBS:-$(nproc)}" --target kest hafsim
bash scripts/db.sh start "$DIR/db" >/dev/null
trap 'bash scripts/db.sh stop "$DIR/db" >/dev/null' EXIT

export KEST_BIN=$DIR/src/app/kest/kest KEST_HAFSIM=$DIR/tools/hafsim/hafsim \
  KEST_REPO=$ROOT KEST_DB_DIR=$DIR/db \
  KEST_TEST_TMP=$DIR/test-tmp KEST_FAULT_LONG=1 PYTHONDONTWRITEBYTECODE=1
python3 tests/faults/test_faults.py -v "$@"
