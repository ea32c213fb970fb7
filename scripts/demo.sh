#!/usr/bin/env bash
# The daemon's main job end to end: installs what is missing, builds, starts a
# private MariaDB, fills TSMS_SND_MSG with generated rows (some with NULL
# columns), runs the daemon as active until the table is drained, shows the
# bill file, and stops everything it started.
#
#   ROWS=5000 bash scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
ROWS=${ROWS:-3000}
BUILD=${BUILD:-$ROOT/build/normal}
WORK=$ROOT/build/demo
DB_DIR=$WORK/db

say() { echo "demo: $*"; }

bash scripts/deps.sh
say "building the daemon in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target kest

DAEMON_PID=
cleanup() {
  if [ -n "$DAEMON_PID" ] && kill -0 "$DAEMON_PID" 2>/dev/null; then
    say "stopping the daemon (pid $DAEMON_PID)"
    kill "$DAEMON_PID" 2>/dev/null || true
    wait "$DAEMON_PID" 2>/dev/null || true
  fi
  bash scripts/db.sh stop "$DB_DIR" || true
  remove_log_registry "$WORK/pkg/tmp/olog.shm"
}

# The daemon keeps its log settings in a SysV segment keyed by this file; the
# demo's private one goes away with the demo.
remove_log_registry() {
  [ -e "$1" ] || return 0
  local key
  key=$(python3 -c 'import os,sys; s=os.stat(sys.argv[1]); print(hex((s.st_ino & 0xffff) | ((s.st_dev & 0xff) << 16)))' "$1")
  ipcrm -M "$key" 2>/dev/null || true
}
trap cleanup EXIT

rm -rf "$WORK/pkg"
mkdir -p "$WORK/pkg/config" "$WORK/pkg/bill"
bash scripts/db.sh start "$DB_DIR"
eval "$(bash scripts/db.sh env "$DB_DIR")"
sql() { mariadb --socket="$KEST_DB_SOCKET" -u"$KEST_DB_USER" -p"$KEST_DB_PASSWORD" kest "$@"; }

say "filling TSMS_SND_MSG with $ROWS rows"
sql -e "DELETE FROM TSMS_SND_MSG"
python3 - "$ROWS" <<'PY' | sql
import random, sys
rows = int(sys.argv[1])
rnd = random.Random(7)
def text(v, null_every, i):
    return "NULL" if i % null_every == 0 else "'%s'" % v
batch = []
for i in range(1, rows + 1):
    phone = lambda: "010%08d" % rnd.randrange(10**8)
    t_in = "202612%02d%02d%02d%02d" % (rnd.randint(1, 7), rnd.randint(0, 23), rnd.randint(0, 59), rnd.randint(0, 59))
    batch.append("(%d,%s,%s,%s,%s,%s,%s,%s,%s,%s)" % (
        i, text("OK", 11, i), text(rnd.randint(1, 120), 13, i),
        "NULL" if i % 17 == 0 else rnd.randint(1, 999),
        text("S%09d" % i, 19, i), text(phone(), 23, i), text(phone(), 29, i),
        text(phone(), 7, i), text(t_in, 31, i), text(t_in, 37, i)))
    if len(batch) == 500 or i == rows:
        print("INSERT INTO TSMS_SND_MSG (MSG_SEQ,PROC_RESULT,IN_GROUP,OUT_GROUP,SERIAL_NUM,"
              "CALLER_NO,CALLEE_NO,CALLBACK_NO,IN_TIME,REPORT_TIME) VALUES %s;" % ",".join(batch))
        batch = []
PY

sed -e "s|^DSN = .*|DSN = $KEST_DB_DSN|" -e "s|^UID =.*|UID = $KEST_DB_USER|" \
    -e "s|^PWD =.*|PWD = $KEST_DB_PASSWORD|" config/kest.ini >"$WORK/pkg/config/kest.ini"

say "starting the daemon as active (PKG_ROOT=$WORK/pkg)"
PKG_ROOT=$WORK/pkg ORVO_TMP_ROOT=$WORK/pkg/tmp "$BUILD/src/app/kest/kest" --active \
  >"$WORK/pkg/stdout.txt" 2>&1 &
DAEMON_PID=$!

for second in $(seq 1 300); do
  pending=$(sql -N -e "SELECT COUNT(*) FROM TSMS_SND_MSG")
  say "pending rows: $pending"
  [ "$pending" -eq 0 ] && break
  kill -0 "$DAEMON_PID" 2>/dev/null || { say "the daemon ended early:"; cat "$WORK/pkg/stdout.txt"; exit 1; }
  sleep 1
done

bill=$(ls "$WORK"/pkg/bill/SMSC_*_000)
say "bill file $bill, first lines:"
head -n 5 "$bill"
lines=$(wc -l <"$bill")
say "rows loaded: $ROWS, rows left: $pending, bill lines: $lines"
[ "$pending" -eq 0 ] && [ "$lines" -ge "$ROWS" ]
