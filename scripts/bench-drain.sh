#!/usr/bin/env bash
# Drain benchmarks of the daemon: throughput in both commit modes, with and
# without its journal, against the floor of each mode, a pyodbc peer and a
# batch variant, and with large passes against a pyodbc batch peer and a C
# floor of the same design (rows/s and ratios), time per pass against the
# backlog, rows/s against PASS_ROWS, and the daemon's footprint; then the
# plots of the figures.
#
#   bash scripts/bench-drain.sh                 full run (N up to 100,000 rows,
#                                               backlog up to 1,000,000, 60 s idle)
#   QUICK=1 bash scripts/bench-drain.sh         a short run of the same
#   ONLY=growth bash scripts/bench-drain.sh     some parts: throughput,growth,footprint,passes
#   REPEAT=3 ...                                median of 3 drains per figure
#
# Builds in $KEST_BENCH_DIR (default build/bench, Release), runs a private
# MariaDB in $KEST_BENCH_DIR/drain/db and leaves the figures and the plot in
# $KEST_BENCH_DIR/drain/results.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DIR=${KEST_BENCH_DIR:-build/bench}
mkdir -p "$DIR"
WORK=$(cd "$DIR" && pwd)/drain
DB_DIR=$WORK/db

bash scripts/deps.sh
echo "== configure $DIR (${BUILD_TYPE:-Release})"
cmake -S . -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" -DKEST_BUILD_TESTS=OFF >/dev/null
echo "== build kest drain_floor"
cmake --build "$DIR" --target kest drain_floor -j "${JOBS:-2}"
BIN=$(cd "$DIR" && pwd)

remove_log_registry() {
  [ -e "$1" ] || return 0
  local key
  key=$(python3 -c 'import os,sys; s=os.stat(sys.argv[1]); print(hex((s.st_ino & 0xffff) | ((s.st_dev & 0xff) << 16)))' "$1")
  ipcrm -M "$key" 2>/dev/null || true
}
cleanup() {
  bash scripts/db.sh stop "$DB_DIR" >/dev/null || true
  remove_log_registry "$WORK/orvo/olog.shm"
}
trap cleanup EXIT

mkdir -p "$WORK/orvo"
bash scripts/db.sh start "$DB_DIR" >/dev/null
eval "$(bash scripts/db.sh env "$DB_DIR")"

echo "== machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n1)," \
  "$(free -g | awk '/^Mem:/ {print $2}') GiB memory"
# Debian's interpreter: python3-pyodbc is installed for it.
/usr/bin/python3 bench/drain_bench.py --source "$ROOT" --work "$WORK" \
  --kest "$BIN/src/app/kest/kest" --floor "$BIN/bench/drain_floor" \
  --peer "$ROOT/bench/drain_peer.py" --orvo-root "$WORK/orvo" \
  --repeat "${REPEAT:-1}" --only "${ONLY:-throughput,growth,footprint,passes}" \
  ${QUICK:+--quick} "$@"

bash scripts/bench-plot.sh "$WORK/results" "$WORK/results/drain.png"
bash scripts/bench-plot.sh --passes "$WORK/results" "$WORK/results/passes.png"
