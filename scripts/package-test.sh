#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, starts the installed
# daemon the way its systemd unit does (environment, working directory,
# command line of the installed unit; in the foreground, as systemd is not
# running everywhere) against a private database, drains a sample table,
# checks the bill file, the status file and the installed klogctl, stops the
# daemon and removes the package again.
#
#   scripts/package-test.sh [BUILD_DIR] [DB_DIR]
#
# BUILD_DIR defaults to build/normal, DB_DIR to $KEST_DB_DIR or BUILD_DIR/db
# (the server is started when it does not run, and then stopped again). Needs
# root and dpkg; exits 77 (skipped) without them, or when a kest package or
# another installation root already exists, which it never touches.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build/normal}" && pwd)
DB_DIR=${2:-${KEST_DB_DIR:-$BUILD/db}}
ROWS=${ROWS:-250}
WAIT=${WAIT:-60}
SKIP=77

PKG=kest
PKG_ROOT=$(sed -n 's/^KEST_PKG_ROOT:PATH=//p' "$BUILD/CMakeCache.txt")
PKG_ROOT=${PKG_ROOT:-/opt/kest}
UNIT=/lib/systemd/system/kest.service
WORK=$BUILD/package-test
TEST_DB=kest_pkg

say() { echo "package-test: $*"; }
fail() { echo "package-test: FAILED: $*" >&2; exit 1; }
skip() { echo "package-test: SKIPPED: $*"; exit "$SKIP"; }

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
command -v dpkg >/dev/null && command -v cpack >/dev/null || skip "dpkg or cpack missing"
if dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null | grep -q 'installed'; then
  skip "package $PKG is installed on this machine; it is left alone"
fi
[ ! -e "$PKG_ROOT" ] || skip "$PKG_ROOT exists and belongs to no package; it is left alone"

DAEMON_PID=
DB_STARTED=0
INSTALLED=0
cleanup() {
  set +e
  if [ -n "$DAEMON_PID" ] && kill -0 "$DAEMON_PID" 2>/dev/null; then
    kill -KILL "$DAEMON_PID"
    wait "$DAEMON_PID" 2>/dev/null
  fi
  remove_log_registry "$WORK/tmp/olog.shm"
  if [ "$INSTALLED" = 1 ]; then
    say "purging the package"
    dpkg --purge "$PKG" >"$WORK/purge.log" 2>&1 || cat "$WORK/purge.log"
    # Bill files, logs and lock stay after a purge, by design; they were made here.
    rm -rf "$PKG_ROOT"
  fi
  if [ -n "${DB_CNF:-}" ]; then
    mariadb --defaults-file="$DB_CNF" -e "DROP DATABASE IF EXISTS $TEST_DB" 2>/dev/null
  fi
  if [ "$DB_STARTED" = 1 ]; then bash "$ROOT/scripts/db.sh" stop "$DB_DIR" >/dev/null; fi
}
trap cleanup EXIT

# The log registry of the private runtime root is a SysV segment keyed by
# this file; it goes with the test.
remove_log_registry() {
  [ -e "$1" ] || return 0
  local key
  key=$(python3 -c 'import os,sys; s=os.stat(sys.argv[1]); print(hex((s.st_ino & 0xffff) | ((s.st_dev & 0xff) << 16)))' "$1")
  ipcrm -M "$key" 2>/dev/null || true
}

rm -rf "$WORK"
mkdir -p "$WORK/tmp"

say "building the package in $BUILD"
cmake --build "$BUILD" --target kest klogctl hafsim >/dev/null
rm -rf "$BUILD/package"
(cd "$BUILD" && cpack -G DEB >"$WORK/cpack.log" 2>&1) || { cat "$WORK/cpack.log"; fail "cpack"; }
DEB=$(ls "$BUILD"/package/${PKG}_*.deb)
say "package $DEB"
dpkg-deb -c "$DEB" >"$WORK/contents.txt"
for f in bin/kest bin/klogctl bin/hafsim bin/pstack config/kest.ini config/odbc.ini key/ log/KEST/ bill/ \
         share/doc/kest/OPERATIONS.md; do
  grep -q " \.$PKG_ROOT/$f\$" "$WORK/contents.txt" || fail "$PKG_ROOT/$f is not in the package"
done
grep -q " \.$UNIT\$" "$WORK/contents.txt" || fail "$UNIT is not in the package"
dpkg-deb -f "$DEB" Depends | grep -q unixodbc || fail "the package does not depend on unixodbc"

say "installing it"
INSTALLED=1
dpkg -i "$DEB" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; fail "dpkg -i"; }
dpkg-query -W -f='${Status}\n' "$PKG" | grep -q 'install ok installed' || fail "not installed"
[ -x "$PKG_ROOT/bin/kest" ] && [ -f "$UNIT" ] || fail "installed files missing"

if ! bash "$ROOT/scripts/db.sh" status "$DB_DIR" >/dev/null 2>&1; then
  bash "$ROOT/scripts/db.sh" start "$DB_DIR" >"$WORK/db.log" 2>&1 || { cat "$WORK/db.log"; fail "db start"; }
  DB_STARTED=1
fi
eval "$(bash "$ROOT/scripts/db.sh" env "$DB_DIR")"
DB_CNF=$DB_DIR/my.cnf
# A database of its own: other suites use the fixture server's table meanwhile.
mariadb --defaults-file="$DB_CNF" -e "DROP DATABASE IF EXISTS $TEST_DB; CREATE DATABASE $TEST_DB"
mariadb --defaults-file="$DB_CNF" "$TEST_DB" <"$ROOT/scripts/sql/schema.sql"
sql() { mariadb --defaults-file="$DB_CNF" -N "$TEST_DB" "$@"; }
python3 - "$ROWS" <<'PY' | sql
import sys
rows = int(sys.argv[1])
values = ",".join(
    "(%d,'OK','%d',%s,'S%06d','0101%07d','0102%07d',%s,'20261207%06d','20261207%06d')"
    % (i, i % 100, "NULL" if i % 10 == 0 else i % 1000, i, i, i,
       "NULL" if i % 7 == 0 else "'0103%07d'" % i, i, i)
    for i in range(1, rows + 1))
print("INSERT INTO TSMS_SND_MSG (MSG_SEQ,PROC_RESULT,IN_GROUP,OUT_GROUP,SERIAL_NUM,CALLER_NO,"
      "CALLEE_NO,CALLBACK_NO,IN_TIME,REPORT_TIME) VALUES %s;" % values)
PY

# The installed example data source, pointed at the private server.
sed -e "s|^SOCKET=.*|SOCKET=$KEST_DB_SOCKET|" -e "s|^DATABASE=.*|DATABASE=$TEST_DB|" \
    -e "s|^USER=.*|USER=$KEST_DB_USER|" -e "s|^PASSWORD=.*|PASSWORD=$KEST_DB_PASSWORD|" \
    "$PKG_ROOT/config/odbc.ini" >"$WORK/odbc.ini"

say "starting the installed daemon as its unit does"
WORKDIR=
EXEC_START=
EXPECTED_ROOT=$PKG_ROOT
while IFS= read -r line; do
  case "$line" in
    Environment=*) export "${line#Environment=}" ;;
    WorkingDirectory=*) WORKDIR=${line#WorkingDirectory=} ;;
    ExecStart=*) EXEC_START=${line#ExecStart=} ;;
  esac
done <"$UNIT"
[ "$PKG_ROOT" = "$EXPECTED_ROOT" ] || fail "the unit sets PKG_ROOT=$PKG_ROOT, installed under $EXPECTED_ROOT"
[ -n "$WORKDIR" ] && [ -n "$EXEC_START" ] || fail "unit without WorkingDirectory or ExecStart"
# No HA framework here: the role is forced, as kest.env allows. The data
# source and the runtime root are the test's own.
export KEST_ARGS=--active ODBCINI=$WORK/odbc.ini ODBCSYSINI=/etc ORVO_TMP_ROOT=$WORK/tmp
read -r -a CMD <<<"${EXEC_START//\$KEST_ARGS/$KEST_ARGS}"
(cd "$WORKDIR" && exec "${CMD[@]}") >"$WORK/stdout.txt" 2>&1 &
DAEMON_PID=$!

STATUS=$PKG_ROOT/log/kest.prom
metric() { awk -v k="$1 " 'index($0, k) == 1 { print substr($0, length(k) + 1) }' "$STATUS" 2>/dev/null; }
deadline=$((SECONDS + WAIT))
while :; do
  kill -0 "$DAEMON_PID" 2>/dev/null || { cat "$WORK/stdout.txt"; fail "the daemon ended"; }
  pending=$(sql -e "SELECT COUNT(*) FROM TSMS_SND_MSG")
  [ "$pending" -eq 0 ] && [ "$(metric kest_rows_billed_total)" = "$ROWS" ] && break
  [ $SECONDS -lt $deadline ] || { cat "$WORK/stdout.txt"; cat "$STATUS" 2>/dev/null; fail "$pending rows left after ${WAIT}s"; }
  sleep 0.5
done
say "table drained"

bill=$(ls "$PKG_ROOT"/bill/SMSC_*_000)
[ "$(wc -l <"$bill")" -eq "$ROWS" ] || fail "bill file $bill holds $(wc -l <"$bill") lines, not $ROWS"
[ "$(awk 'length($0) != 103' "$bill" | wc -l)" -eq 0 ] || fail "bill lines of another width in $bill"
grep -qx '000 001 001    S000001      01010000001      01020000001      01030000001 20261207000001 20261207000001' "$bill" ||
  fail "first row's line not in $bill"

say "checking the status file $STATUS"
cat "$STATUS"
[ "$(metric 'kest_role{role="ACTIVE_SYSTEM"}')" = 3 ] || fail "role"
[ "$(metric kest_db_connected)" = 1 ] || fail "database connection"
[ "$(metric kest_passes_total)" -ge $(((ROWS + 8) / 9)) ] || fail "passes"
last=$(metric kest_last_pass_timestamp_seconds)
[ $(($(date +%s) - last)) -le 10 ] || fail "last pass $last is not recent"
[ "$(metric "kest_bill_file_info{file=\"$bill\"}")" = 1 ] || fail "bill file name"
# Rewritten after every pass: the idle passes move the last pass time on.
deadline=$((SECONDS + 10))
until [ "$(metric kest_last_pass_timestamp_seconds)" -gt "$last" ]; do
  [ $SECONDS -lt $deadline ] || fail "the status file is not rewritten by idle passes"
  sleep 0.5
done

say "changing the running daemon's log level with the installed klogctl"
"$PKG_ROOT/bin/klogctl" get KEST | grep -qx 'KEST 0x00000003 (3)' || fail "klogctl get"
"$PKG_ROOT/bin/klogctl" set KEST M >/dev/null
"$PKG_ROOT/bin/klogctl" get KEST | grep -qx 'KEST 0x00000005 (5)' || fail "klogctl set"
sql -e "INSERT INTO TSMS_SND_MSG (MSG_SEQ, IN_GROUP, OUT_GROUP) VALUES ($((ROWS + 1)), '7', 8)"
log=$(ls "$PKG_ROOT"/log/KEST/KEST.log.*)
deadline=$((SECONDS + WAIT))
until grep -q '^\[.*\]M) \[FILE\] 000 007 008 ' "$log"; do
  [ $SECONDS -lt $deadline ] || fail "no debug line in $log after the level change"
  sleep 0.5
done

say "stopping the daemon with SIGTERM, as systemctl stop does"
pid=$DAEMON_PID
kill -TERM "$DAEMON_PID"
rc=0
wait "$DAEMON_PID" || rc=$?
DAEMON_PID=
[ "$rc" -eq 0 ] || fail "exit status $rc after SIGTERM"
grep -q '^## Catch The Signal 15$' "$WORK/stdout.txt" || fail "no signal line on standard output"
[ ! -e "$WORKDIR/down_KEST_$pid.core" ] || fail "a stack listing was written on SIGTERM"
dumps=(/tmp/down_*_"$pid".log)
[ ! -e "${dumps[0]}" ] || fail "a termination request left the dump ${dumps[0]}"

say "removing the package"
dpkg --remove "$PKG" >"$WORK/remove.log" 2>&1 || { cat "$WORK/remove.log"; fail "dpkg --remove"; }
[ ! -e "$PKG_ROOT/bin/kest" ] && [ ! -e "$UNIT" ] || fail "files left after removal"
[ -f "$bill" ] || fail "the bill file went with the package"
say "passed"
