#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, checks its version
# against CHANGELOG.md, the installation hint, the manual pages, the alert
# rules with their installed tests, the service
# account, the modes of its folders and files and the unit's exposure, starts
# the installed daemon the way its systemd unit does (environment, working
# directory, command line, user kest and the sandbox of the installed unit,
# carried out by scripts/unit-sandbox.py as systemd is not running
# everywhere) against a private database, drains a sample table over the
# server's Unix socket, checks the bill file, the status file and the
# installed klogctl (a member of the group kest may, another user may not),
# drains again over TCP under the simulated HA master, has the daemon list its
# own stack with pstack, stops it, lets the cleanup rule remove old logs,
# upgrades the package over folders and a
# configuration the operator changed (with a recording systemctl standing in
# for systemd) and removes the package again.
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
# The unit's exposure as systemd-analyze rates it: at most this.
MAX_EXPOSURE=2.5
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
SIM_PID=
SWAP_PID=
DB_STARTED=0
INSTALLED=0
# A member of the group kest and the account, if the test made them.
OPERATOR=kest-pkg-test
MADE_ACCOUNT=0
MADE_ORVO=
stop_pid() {
  if [ -n "$1" ] && kill -0 "$1" 2>/dev/null; then
    kill -KILL "$1"
    wait "$1" 2>/dev/null
  fi
}
cleanup() {
  set +e
  stop_pid "$DAEMON_PID"
  stop_pid "$SIM_PID"
  stop_pid "$SWAP_PID"
  exec 7>&- 2>/dev/null
  local key_file
  for key_file in "$WORK/tmp/olog.shm" "$WORK"/tmp/haf/shm/*.shm; do
    remove_segment "$key_file"
  done
  if [ "$INSTALLED" = 1 ]; then
    say "purging the package"
    dpkg --purge "$PKG" >"$WORK/purge.log" 2>&1 || cat "$WORK/purge.log"
    # Bill files, logs and lock stay after a purge, by design; they were made here.
    rm -rf "$PKG_ROOT"
  fi
  getent passwd "$OPERATOR" >/dev/null && userdel "$OPERATOR"
  if [ "$MADE_ACCOUNT" = 1 ]; then
    userdel kest 2>/dev/null
    getent group kest >/dev/null && groupdel kest
  fi
  [ -n "$MADE_ORVO" ] && rm -rf "$MADE_ORVO"
  if [ -n "${DB_CNF:-}" ]; then
    mariadb --defaults-file="$DB_CNF" -e "DROP DATABASE IF EXISTS $TEST_DB" 2>/dev/null
  fi
  if [ "$DB_STARTED" = 1 ]; then bash "$ROOT/scripts/db.sh" stop "$DB_DIR" >/dev/null; fi
}
trap cleanup EXIT

# The log registry and the HA tables of the private runtime root are SysV
# segments keyed by files below it; they go with the test.
remove_segment() {
  [ -e "$1" ] || return 0
  local key
  key=$(python3 -c 'import os,sys; s=os.stat(sys.argv[1]); print(hex((s.st_ino & 0xffff) | ((s.st_dev & 0xff) << 16)))' "$1")
  ipcrm -M "$key" 2>/dev/null || true
}

rm -rf "$WORK"
mkdir -p "$WORK"
getent passwd kest >/dev/null || MADE_ACCOUNT=1
# The HA runtime root, which the package makes when the host has none.
ORVO_TMP=/opt/orvo/tmp
[ -e /opt/orvo ] || MADE_ORVO=/opt/orvo

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
for f in reject/; do
  grep -q " \.$PKG_ROOT/$f\$" "$WORK/contents.txt" || fail "$PKG_ROOT/$f is not in the package"
done
grep -q " \.$UNIT\$" "$WORK/contents.txt" || fail "$UNIT is not in the package"
for f in kest.ini odbc.ini kest.env; do
  grep -q "^-rw-r----- root/root .* \.$PKG_ROOT/config/$f\$" "$WORK/contents.txt" ||
    fail "$PKG_ROOT/config/$f is not packaged as root's with mode 0640"
done
dpkg-deb -f "$DEB" Depends | grep -q unixodbc || fail "the package does not depend on unixodbc"
for f in $PKG_ROOT/share/kest/kest.rules.yml $PKG_ROOT/share/kest/kest.rules.test.yml \
         $PKG_ROOT/share/doc/kest/CHANGELOG.md /usr/share/man/man8/kest.8 /usr/share/man/man8/klogctl.8 \
         /usr/lib/tmpfiles.d/kest.conf; do
  grep -q " \.$f\$" "$WORK/contents.txt" || fail "$f is not in the package"
done
release=$(sed -n 's/^## \([0-9][0-9.]*\).*/\1/p' "$ROOT/CHANGELOG.md" | head -n 1)
[ "$(dpkg-deb -f "$DEB" Version)" = "$release" ] ||
  fail "package version $(dpkg-deb -f "$DEB" Version), newest release in CHANGELOG.md $release"

# with_systemd COMMAND...: COMMAND in a mount namespace of its own that shows
# the maintainer scripts a running systemd (/run/systemd/system), with a
# systemctl first in PATH that records its arguments in $SYSTEMCTL_LOG and
# fails, as a service that does not come up would.
STUB=$WORK/stub
SYSTEMCTL_LOG=$WORK/systemctl.log
mkdir "$STUB"
printf '#!/bin/sh\necho "$*" >>"%s"\nexit 1\n' "$SYSTEMCTL_LOG" >"$STUB/systemctl"
chmod 0755 "$STUB/systemctl"
with_systemd() {
  : >"$SYSTEMCTL_LOG"
  unshare --mount --propagation private sh -c \
    'mount -t tmpfs kest-test /run && mkdir -p /run/systemd/system && PATH="$0:$PATH" exec "$@"' \
    "$STUB" "$@"
}

say "installing it"
INSTALLED=1
with_systemd dpkg -i "$DEB" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; fail "dpkg -i"; }
grep -q -- '/bin/kest --check-config$' "$WORK/install.log" || fail "no --check-config hint after the installation"
[ "$(MANPATH= man -w 8 kest)" = /usr/share/man/man8/kest.8 ] || fail "man does not find kest(8)"
(cd "$PKG_ROOT/share/kest" && promtool test rules kest.rules.test.yml) >"$WORK/rules.txt" 2>&1 ||
  { cat "$WORK/rules.txt"; fail "the installed alert rules fail their installed tests"; }
# Installed, the service is neither enabled nor started: the data source
# must be configured first.
! grep -Eq 'start|enable' "$SYSTEMCTL_LOG" || fail "the installation touched the service: $(cat "$SYSTEMCTL_LOG")"
dpkg-query -W -f='${Status}\n' "$PKG" | grep -q 'install ok installed' || fail "not installed"
[ -x "$PKG_ROOT/bin/kest" ] && [ -f "$UNIT" ] || fail "installed files missing"

say "checking the service account and the modes"
IFS=: read -r _ _ _ kest_gid _ kest_home kest_shell < <(getent passwd kest) || fail "no user kest"
[ "$(getent group kest | cut -d: -f3)" = "$kest_gid" ] || fail "kest's primary group is not kest"
[ "$kest_shell" = /usr/sbin/nologin ] || fail "kest has the login shell $kest_shell"
[ ! -e "$kest_home" ] || fail "kest has the home folder $kest_home"
mode_is() { [ "$(stat -c '%U:%G %a' "$1")" = "$2" ] || fail "$1 is $(stat -c '%U:%G %a' "$1"), not $2"; }
for d in log bill key reject; do mode_is "$PKG_ROOT/$d" "kest:kest 750"; done
mode_is "$PKG_ROOT/log/KEST" "kest:kest 755"
mode_is "$PKG_ROOT/config" "root:kest 750"
for f in kest.ini odbc.ini kest.env; do mode_is "$PKG_ROOT/config/$f" "root:kest 640"; done
[ -z "$MADE_ORVO" ] || mode_is "$ORVO_TMP" "root:kest 2775"

say "rating the installed unit"
systemd-analyze verify "$UNIT" >"$WORK/verify.txt" 2>&1 || { cat "$WORK/verify.txt"; fail "systemd-analyze verify"; }
systemd-analyze security --offline=true "$UNIT" >"$WORK/security.txt" 2>&1 || true
exposure=$(sed -n 's/^.*Overall exposure level for kest\.service: \([0-9.]*\) .*$/\1/p' "$WORK/security.txt")
[ -n "$exposure" ] || { cat "$WORK/security.txt"; fail "no overall exposure level"; }
say "overall exposure $exposure (at most $MAX_EXPOSURE)"
awk -v e="$exposure" -v m="$MAX_EXPOSURE" 'BEGIN { exit !(e <= m) }' ||
  { cat "$WORK/security.txt"; fail "exposure $exposure above $MAX_EXPOSURE"; }

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

# The installed example data source, pointed at the private server over its
# Unix socket and over TCP, in folders laid out as the installed config/ (the
# unit's ODBCSYSINI), read-only for the daemon as that is.
[ "$(readlink "$PKG_ROOT/config/odbcinst.ini")" = /etc/odbcinst.ini ] ||
  fail "$PKG_ROOT/config/odbcinst.ini does not link the system's drivers"
mkdir "$WORK/odbc" "$WORK/odbc-tcp"
ln -s /etc/odbcinst.ini "$WORK/odbc/odbcinst.ini"
ln -s /etc/odbcinst.ini "$WORK/odbc-tcp/odbcinst.ini"
sed -e "s|^SOCKET=.*|SOCKET=$KEST_DB_SOCKET|" -e "s|^DATABASE=.*|DATABASE=$TEST_DB|" \
    -e "s|^USER=.*|USER=$KEST_DB_USER|" -e "s|^PASSWORD=.*|PASSWORD=$KEST_DB_PASSWORD|" \
    "$PKG_ROOT/config/odbc.ini" >"$WORK/odbc/odbc.ini"
sed -e "/^SOCKET=/d" -e "s|^SERVER=.*|SERVER=127.0.0.1\nPORT=$KEST_DB_PORT|" \
    "$WORK/odbc/odbc.ini" >"$WORK/odbc-tcp/odbc.ini"
grep -q '^PORT=[0-9]' "$WORK/odbc-tcp/odbc.ini" || fail "no TCP port of the private server"

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
# The runtime root is the test's own, made as the package makes the host's
# (a drop-in adds it to ReadWritePaths); the data sources too.
install -d -o root -g kest -m 2775 "$WORK/tmp"
# The unit sets no ODBCINI: the private server's user data source file goes.
unset ODBCINI
export ORVO_TMP_ROOT=$WORK/tmp
[ "$ODBCSYSINI" = "$PKG_ROOT/config" ] || fail "the unit's ODBCSYSINI is $ODBCSYSINI"

# start_daemon ODBCSYSINI KEST_ARGS: the installed daemon in the unit's
# sandbox, as the user kest.
start_daemon() {
  export ODBCSYSINI=$1 KEST_ARGS=$2
  local cmd
  read -r -a cmd <<<"${EXEC_START//\$KEST_ARGS/$KEST_ARGS}"
  unshare --mount --propagation private /usr/bin/python3 "$ROOT/scripts/unit-sandbox.py" \
    --rw "$WORK/tmp" "$UNIT" -- "${cmd[@]}" >"$WORK/stdout.txt" 2>&1 &
  DAEMON_PID=$!
}

# stop_daemon SIGNAL: the daemon must end with status 0.
stop_daemon() {
  local rc=0
  kill -"$1" "$DAEMON_PID"
  wait "$DAEMON_PID" || rc=$?
  DAEMON_PID=
  [ "$rc" -eq 0 ] || { cat "$WORK/stdout.txt"; fail "exit status $rc after SIG$1"; }
}

STATUS=$PKG_ROOT/log/kest.prom
metric() { awk -v k="$1 " 'index($0, k) == 1 { print substr($0, length(k) + 1) }' "$STATUS" 2>/dev/null; }

# wait_drained BILLED: no row left and BILLED rows in the status file.
wait_drained() {
  local pending deadline=$((SECONDS + WAIT))
  while :; do
    kill -0 "$DAEMON_PID" 2>/dev/null || { cat "$WORK/stdout.txt"; fail "the daemon ended"; }
    pending=$(sql -e "SELECT COUNT(*) FROM TSMS_SND_MSG")
    [ "$pending" -eq 0 ] && [ "$(metric kest_rows_billed_total)" = "$1" ] && break
    if [ $SECONDS -ge $deadline ]; then
      cat "$WORK/stdout.txt" "$STATUS" 2>/dev/null || true
      tail -n 20 "$PKG_ROOT"/log/KEST/KEST.log.* 2>/dev/null || true
      fail "$pending rows left after ${WAIT}s"
    fi
    sleep 0.5
  done
}

say "starting the installed daemon as its unit does, over the database's socket"
start_daemon "$WORK/odbc" --active
wait_drained "$ROWS"
say "table drained"
[ "$(ps -o user= -p "$DAEMON_PID")" = kest ] || fail "the daemon does not run as kest"
[ "$(awk '/^NoNewPrivs:/ { print $2 }' "/proc/$DAEMON_PID/status")" = 1 ] || fail "new privileges allowed"
[ "$(awk '/^CapBnd:/ { print $2 }' "/proc/$DAEMON_PID/status")" = 0000000000000000 ] || fail "capabilities left"

bill=$(ls "$PKG_ROOT"/bill/SMSC_*_000)
[ "$(wc -l <"$bill")" -eq "$ROWS" ] || fail "bill file $bill holds $(wc -l <"$bill") lines, not $ROWS"
[ "$(awk 'length($0) != 103' "$bill" | wc -l)" -eq 0 ] || fail "bill lines of another width in $bill"
grep -qx '000 001 001    S000001      01010000001      01020000001      01030000001 20261207000001 20261207000001' "$bill" ||
  fail "first row's line not in $bill"
mode_is "$bill" "kest:kest 640"

say "checking the status file $STATUS"
cat "$STATUS"
mode_is "$STATUS" "kest:kest 640"
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

say "the running daemon's log level with the installed klogctl: root, an operator of the group kest, an outsider"
KLOGCTL=$PKG_ROOT/bin/klogctl
"$KLOGCTL" get KEST | grep -qx 'KEST 0x00000003 (3)' || fail "klogctl get"
useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
  --gid nogroup --groups kest "$OPERATOR"
as_operator() { setpriv --reuid "$OPERATOR" --regid nogroup --init-groups "$@"; }
as_outsider() { setpriv --reuid nobody --regid nogroup --clear-groups "$@"; }
rc=0
as_outsider "$KLOGCTL" set KEST M >"$WORK/outsider.txt" 2>&1 || rc=$?
[ "$rc" -ne 0 ] && [ "$rc" -lt 128 ] || { cat "$WORK/outsider.txt"; fail "klogctl as nobody: status $rc, not a refusal"; }
[ -s "$WORK/outsider.txt" ] || fail "klogctl refused nobody without a reason"
"$KLOGCTL" get KEST | grep -qx 'KEST 0x00000003 (3)' || fail "a user outside the group kest changed the level"
as_operator "$KLOGCTL" set KEST M >/dev/null || fail "klogctl set as a member of the group kest"
as_operator "$KLOGCTL" get KEST | grep -qx 'KEST 0x00000005 (5)' || fail "klogctl get as a member of the group kest"
# The node exporter reads the status file once its user joins the group kest.
as_operator cat "$STATUS" >/dev/null || fail "a member of the group kest cannot read $STATUS"
! as_outsider cat "$STATUS" >/dev/null 2>&1 || fail "a user outside the group kest reads $STATUS"
sql -e "INSERT INTO TSMS_SND_MSG (MSG_SEQ, IN_GROUP, OUT_GROUP) VALUES ($((ROWS + 1)), '7', 8)"
log=$(ls "$PKG_ROOT"/log/KEST/KEST.log.*)
deadline=$((SECONDS + WAIT))
until grep -q '^\[.*\]M) \[FILE\] 000 007 008 ' "$log"; do
  [ $SECONDS -lt $deadline ] || fail "no debug line in $log after the level change"
  sleep 0.5
done
mode_is "$log" "kest:kest 640"
wait_drained $((ROWS + 1))

say "stopping the daemon with SIGTERM, as systemctl stop does"
pid=$DAEMON_PID
stop_daemon TERM
grep -q '^## Catch The Signal 15$' "$WORK/stdout.txt" || fail "no signal line on standard output"
[ ! -e "$WORKDIR/down_KEST_$pid.core" ] || fail "a stack listing was written on SIGTERM"
dumps=(/tmp/down_*_"$pid".log)
[ ! -e "${dumps[0]}" ] || fail "a termination request left the dump ${dumps[0]}"

say "the cleanup rule: old logs and listings go, today's log and the status file stay"
old_files=("$PKG_ROOT/log/KEST/KEST.log.20000101" "$PKG_ROOT/log/down_KEST_1.core" "$PKG_ROOT/log/core/pstack_old")
touch -d '40 days ago' "${old_files[@]}" "$STATUS"
systemd-tmpfiles --clean /usr/lib/tmpfiles.d/kest.conf || fail "systemd-tmpfiles --clean"
for f in "${old_files[@]}"; do [ ! -e "$f" ] || fail "$f is older than 30 days and was kept"; done
for f in "$log" "$STATUS" "$PKG_ROOT/log/KEST" "$PKG_ROOT/log/core"; do
  [ -e "$f" ] || fail "the cleanup removed $f"
done

say "over TCP under the simulated HA master, in the sandbox"
sql -e "INSERT INTO TSMS_SND_MSG (MSG_SEQ, IN_GROUP, OUT_GROUP) VALUES ($((ROWS + 2)), '7', 9)"
# The master runs as root, as the HA framework does, and leaves its socket
# writable by the group kest, as the framework must; its input stays open.
mkfifo "$WORK/sim.in"
(umask 0007 && exec setpriv --regid kest --clear-groups "$PKG_ROOT/bin/hafsim" --root "$WORK/tmp" \
   --role active,standby) <"$WORK/sim.in" >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
exec 7>"$WORK/sim.in"
deadline=$((SECONDS + WAIT))
until grep -q 'ready master=' "$WORK/sim.out"; do
  kill -0 "$SIM_PID" 2>/dev/null && [ $SECONDS -lt $deadline ] || { cat "$WORK/sim.out"; fail "hafsim not ready"; }
  sleep 0.2
done
start_daemon "$WORK/odbc-tcp" ""
pid=$DAEMON_PID
# Thread reports over the HA socket show the daemon attached; then the
# master makes it active.
deadline=$((SECONDS + WAIT))
until grep -q "^recv 1001 .* pid=$pid " "$WORK/sim.out"; do
  kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ] || { cat "$WORK/stdout.txt" "$WORK/sim.out"; fail "no thread report from the daemon"; }
  sleep 0.2
done
echo "send $pid 1002 active" >&7
wait_drained 1
hosts=$(sql -e "SELECT HOST FROM information_schema.PROCESSLIST WHERE USER='$KEST_DB_USER' AND DB='$TEST_DB'")
# A TCP client's host carries its port; a Unix socket's is plain "localhost".
case "$hosts" in *:[0-9]*) ;; *) fail "the daemon's connection is from '$hosts', not over TCP" ;; esac
grep -q '^000 007 009 ' "$bill" || fail "the row drained over TCP is not in $bill"

say "SIGHUP: the daemon lists its own stack with pstack, then ends"
stop_daemon HUP
listing=$WORKDIR/down_KEST_$pid.core
[ -f "$listing" ] || { cat "$WORK/stdout.txt"; fail "no stack listing $listing"; }
grep -q '^\[PSTACK\] #[0-9]' "$listing" || { cat "$listing"; fail "the stack listing holds no frame"; }
grep -q '^\[PSTACK\] Thread ' "$listing" || { cat "$listing"; fail "the stack listing names no thread"; }
mode_is "$listing" "kest:kest 640"
echo quit >&7
exec 7>&-
wait "$SIM_PID" || true
SIM_PID=

say "upgrading over what operators and an earlier release left"
# The operator let a collector's group move rejected rows away.
chgrp nogroup "$PKG_ROOT/reject"
chmod 0770 "$PKG_ROOT/reject"
# bill/ moved to another disk, left root's by a release that ran as root.
DISK=$WORK/disk
mkdir "$DISK"
mv "$PKG_ROOT/bill" "$DISK/bill"
chown -R root:root "$DISK/bill"
chmod 0755 "$DISK/bill"
ln -s "$DISK/bill" "$PKG_ROOT/bill"
# A daemon of that release, running on past an earlier upgrade, made root's
# files in a folder already handed to kest.
touch "$PKG_ROOT/log/KEST/KEST.log.left-by-root"
chown root:root "$PKG_ROOT/log/KEST/KEST.log.left-by-root"
# The account links root's files into a folder of its own, hard links (made
# by root: fs.protected_hardlinks stops the account) and a symbolic link, and
# swaps two of the names all through the upgrade.
ln "$(mktemp "$PKG_ROOT/hard-target.XXXXXX")" "$PKG_ROOT/reject/hard"
ln "$PKG_ROOT/reject/hard" "$PKG_ROOT/reject/hard-kept"
setpriv --reuid kest --regid kest --init-groups ln -s "$(mktemp "$PKG_ROOT/sym-target.XXXXXX")" "$PKG_ROOT/reject/sym"
setpriv --reuid kest --regid kest --init-groups /usr/bin/python3 -c '
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
a, b = (os.fsencode(p) for p in sys.argv[1:])
while libc.renameat2(-100, a, -100, b, 2) == 0:  # AT_FDCWD, RENAME_EXCHANGE
    pass
sys.exit("renameat2: " + os.strerror(ctypes.get_errno()))' "$PKG_ROOT/reject/hard" "$PKG_ROOT/reject/sym" &
SWAP_PID=$!
# The unit reads kest.env only if it is there; dpkg does not bring it back.
rm "$PKG_ROOT/config/kest.env"
with_systemd dpkg -i "$DEB" >"$WORK/upgrade.log" 2>&1 || { cat "$WORK/upgrade.log"; fail "upgrade without kest.env"; }
kill -0 "$SWAP_PID" || fail "the account's names were not swapped all through the upgrade"
stop_pid "$SWAP_PID" || true
SWAP_PID=
for f in "$PKG_ROOT"/hard-target.* "$PKG_ROOT"/sym-target.*; do
  [ "$(stat -c %U:%G "$f")" = root:root ] || fail "the upgrade gave $f to $(stat -c %U:%G "$f") through a link"
done
rm "$PKG_ROOT"/hard-target.* "$PKG_ROOT"/sym-target.* "$PKG_ROOT"/reject/hard* "$PKG_ROOT/reject/sym"
[ ! -e "$PKG_ROOT/config/kest.env" ] || fail "the upgrade brought back the deleted kest.env"
mode_is "$PKG_ROOT/reject" "kest:nogroup 770"
[ -L "$PKG_ROOT/bill" ] || fail "the upgrade replaced the link $PKG_ROOT/bill"
mode_is "$DISK/bill" "kest:kest 750"
mode_is "$bill" "kest:kest 640"
[ "$(stat -c %U:%G "$PKG_ROOT/log/KEST/KEST.log.left-by-root")" = kest:kest ] ||
  fail "a root's file in log/ was left to root by the upgrade"
mode_is "$PKG_ROOT/log" "kest:kest 750"
# A running daemon of the release before is restarted, to run as kest; a
# restart that fails does not fail the upgrade.
grep -qx 'try-restart kest.service' "$SYSTEMCTL_LOG" || fail "the upgrade did not restart the service: $(cat "$SYSTEMCTL_LOG")"
# dpkg --remove takes a link where the package has a folder: bill/ comes back.
rm "$PKG_ROOT/bill"
mv "$DISK/bill" "$PKG_ROOT/bill"

say "removing the package"
dpkg --remove "$PKG" >"$WORK/remove.log" 2>&1 || { cat "$WORK/remove.log"; fail "dpkg --remove"; }
[ ! -e "$PKG_ROOT/bin/kest" ] && [ ! -e "$UNIT" ] || fail "files left after removal"
[ -f "$bill" ] || fail "the bill file went with the package"
say "passed"
