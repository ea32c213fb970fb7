#!/usr/bin/env bash
# Private MariaDB server for development and tests.
#
#   scripts/db.sh start  [DIR]   start (initialising DIR on first use), create
#                                database, user and table, write the ODBC files
#   scripts/db.sh stop   [DIR]   stop the server of DIR
#   scripts/db.sh status [DIR]   exit 0 when the server of DIR answers
#   scripts/db.sh env    [DIR]   print export lines for ODBCINI, ODBCSYSINI, DSN...
#
# DIR defaults to $KEST_DB_DIR, else build/db. Everything the server and the
# ODBC driver manager need lives in DIR: data, socket, pid, log, my.cnf,
# odbc.ini and odbcinst.ini. No system service is used and nothing outside DIR
# is changed, except that a DIR too deep for a Unix socket address gets its
# socket in a short directory under $TMPDIR (or /tmp) named after DIR. Every
# command is idempotent. KEST_DB_BUFFER_POOL sets the server's buffer pool
# (default 32M, enough for tests; benchmarks of large backlogs want more).
#
# Data sources written to DIR/odbc.ini:
#   ALTIBASE_DSN   the MariaDB database (the daemon's default data source name),
#                  in Oracle mode so that the rownum pseudo-column works, with
#                  the read and write time-outs of packaging/odbc.ini
#   KEST_SQLITE    a SQLite file DIR/sqlite.db through SQLite's ODBC driver
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CMD=${1:-}
DIR=${2:-${KEST_DB_DIR:-$ROOT/build/db}}

DB_NAME=kest
DB_USER=kest
DB_PASSWORD=kest
DSN=ALTIBASE_DSN
SQLITE_DSN=KEST_SQLITE
SCHEMA=$ROOT/scripts/sql/schema.sql

usage() {
  echo "usage: $0 start|stop|status|env [DIR]" >&2
  exit 2
}

say() { echo "db: $*"; }

mkdir_dir() {
  mkdir -p "$DIR"
  DIR=$(cd "$DIR" && pwd)
}

resolve_dir() {
  if [ -d "$DIR" ]; then DIR=$(cd "$DIR" && pwd); fi
  SOCK=$DIR/mariadbd.sock
  if [ ${#SOCK} -gt 100 ]; then
    # Too long for a Unix socket address: use a short directory named after DIR.
    SOCK=${TMPDIR:-/tmp}/kest-db-$(echo -n "$DIR" | md5sum | cut -c1-12)/mariadbd.sock
  fi
  PIDFILE=$DIR/mariadbd.pid
  CNF=$DIR/my.cnf
}

server_pid() {
  [ -f "$PIDFILE" ] || return 1
  local pid
  pid=$(cat "$PIDFILE" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
  echo "$pid"
}

answers() {
  [ -f "$CNF" ] && mariadb-admin --defaults-file="$CNF" --connect-timeout=2 ping >/dev/null 2>&1
}

port_is_free() {
  python3 - "$1" <<'EOF'
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the server binds
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
except OSError:
    sys.exit(1)
EOF
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

find_driver() {
  local name=$1 f
  for f in /usr/lib/*/odbc/"$name" /usr/lib/odbc/"$name" /usr/lib64/"$name" /usr/lib/"$name"; do
    if [ -e "$f" ]; then echo "$f"; return 0; fi
  done
  echo "db: ODBC driver $name not found (run scripts/deps.sh)" >&2
  return 1
}

write_cnf() {
  local port=$1
  cat >"$CNF" <<EOF
# Private server of $DIR (written by scripts/db.sh)
[client]
socket=$SOCK
port=$port
user=root

[mariadbd]
datadir=$DIR/data
tmpdir=$DIR/tmp
socket=$SOCK
port=$port
bind-address=127.0.0.1
pid-file=$PIDFILE
log-error=$DIR/mariadbd.err
skip-log-bin
performance_schema=OFF
innodb_buffer_pool_size=${KEST_DB_BUFFER_POOL:-32M}
innodb_log_file_size=16M
max_connections=200
EOF
}

write_odbc_ini() {
  local maria sqlite
  maria=$(find_driver libmaodbc.so)
  sqlite=$(find_driver libsqlite3odbc.so)
  cat >"$DIR/odbcinst.ini" <<EOF
[MariaDB]
Description=MariaDB Connector/ODBC
Driver=$maria

[SQLite3]
Description=SQLite3 ODBC Driver
Driver=$sqlite
EOF
  cat >"$DIR/odbc.ini" <<EOF
[$DSN]
Description=Private MariaDB of $DIR
Driver=MariaDB
SERVER=localhost
SOCKET=$SOCK
DATABASE=$DB_NAME
USER=$DB_USER
PASSWORD=$DB_PASSWORD
InitStmt=SET sql_mode=ORACLE
READ_TIMEOUT=10
WRITE_TIMEOUT=10

[$SQLITE_DSN]
Description=SQLite database of $DIR
Driver=SQLite3
Database=$DIR/sqlite.db
Timeout=2000
EOF
}

setup_database() {
  mariadb --defaults-file="$CNF" <<EOF
CREATE DATABASE IF NOT EXISTS $DB_NAME;
CREATE USER IF NOT EXISTS '$DB_USER'@'localhost' IDENTIFIED BY '$DB_PASSWORD';
CREATE USER IF NOT EXISTS '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$DB_PASSWORD';
GRANT ALL PRIVILEGES ON \`${DB_NAME}%\`.* TO '$DB_USER'@'localhost';
GRANT ALL PRIVILEGES ON \`${DB_NAME}%\`.* TO '$DB_USER'@'127.0.0.1';
EOF
  mariadb --defaults-file="$CNF" "$DB_NAME" <"$SCHEMA"
}

run_as_args() {
  # mariadbd refuses to run as root unless told to.
  if [ "$(id -u)" -eq 0 ]; then echo "--user=root"; fi
}

start() {
  mkdir_dir
  resolve_dir
  if [ "$(dirname "$SOCK")" != "$DIR" ]; then
    say "path of $DIR too long for a Unix socket, using $SOCK"
    mkdir -p "$(dirname "$SOCK")"
  fi
  if server_pid >/dev/null && answers; then
    say "server of $DIR already running (pid $(server_pid))"
  else
    local port=""
    if [ -f "$DIR/port" ] && port_is_free "$(cat "$DIR/port")"; then port=$(cat "$DIR/port"); fi
    [ -n "$port" ] || port=$(free_port)
    echo "$port" >"$DIR/port"
    mkdir -p "$DIR/tmp"
    write_cnf "$port"
    if [ ! -d "$DIR/data/mysql" ]; then
      say "initialising data directory $DIR/data"
      rm -rf "$DIR/data"
      # shellcheck disable=SC2046
      mariadb-install-db --defaults-file="$CNF" $(run_as_args) \
        --auth-root-authentication-method=normal --skip-test-db \
        --skip-name-resolve >"$DIR/install.log" 2>&1 || {
        echo "db: mariadb-install-db failed, see $DIR/install.log" >&2
        tail -n 20 "$DIR/install.log" >&2
        exit 1
      }
    fi
    say "starting mariadbd on $SOCK and 127.0.0.1:$port"
    rm -f "$SOCK" "$PIDFILE"
    # shellcheck disable=SC2046
    setsid mariadbd --defaults-file="$CNF" $(run_as_args) >>"$DIR/mariadbd.out" 2>&1 </dev/null &
    local launched=$!
    local i
    for i in $(seq 1 600); do
      if answers; then break; fi
      if ! kill -0 "$launched" 2>/dev/null; then
        echo "db: mariadbd exited during start; last lines of $DIR/mariadbd.err:" >&2
        tail -n 20 "$DIR/mariadbd.err" >&2 || true
        exit 1
      fi
      sleep 0.1
    done
    if ! answers; then
      echo "db: mariadbd did not answer within 60 s" >&2
      exit 1
    fi
    say "server running (pid $(server_pid))"
  fi
  setup_database
  say "database $DB_NAME, user $DB_USER and table TSMS_SND_MSG ready"
  write_odbc_ini
  say "data sources $DSN and $SQLITE_DSN written to $DIR/odbc.ini"
}

stop() {
  resolve_dir
  local pid
  if ! pid=$(server_pid); then
    say "server of $DIR not running"
    return 0
  fi
  say "stopping mariadbd (pid $pid)"
  mariadb-admin --defaults-file="$CNF" --connect-timeout=5 shutdown >/dev/null 2>&1 || kill -TERM "$pid" 2>/dev/null || true
  local i
  for i in $(seq 1 600); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    say "server did not stop within 60 s, killing pid $pid"
    kill -KILL "$pid" 2>/dev/null || true
  fi
  if [ "$(dirname "$SOCK")" != "$DIR" ]; then rmdir "$(dirname "$SOCK")" 2>/dev/null || true; fi
  say "stopped"
}

status() {
  resolve_dir
  if server_pid >/dev/null && answers; then
    say "server of $DIR running (pid $(server_pid), socket $SOCK, port $(cat "$DIR/port"))"
  else
    say "server of $DIR not running"
    exit 3
  fi
}

print_env() {
  resolve_dir
  echo "export ODBCINI=$DIR/odbc.ini"
  echo "export ODBCSYSINI=$DIR"
  echo "export KEST_DB_DSN=$DSN"
  echo "export KEST_DB_USER=$DB_USER"
  echo "export KEST_DB_PASSWORD=$DB_PASSWORD"
  echo "export KEST_DB_SOCKET=$SOCK"
  echo "export KEST_DB_PORT=$(cat "$DIR/port" 2>/dev/null || true)"
  echo "export KEST_SQLITE_DSN=$SQLITE_DSN"
}

case "$CMD" in
  start) start ;;
  stop) stop ;;
  status) status ;;
  env) print_env ;;
  *) usage ;;
esac
