"""The kest daemon end to end: the real binary, its command line, start-up,
configuration, bill files and the select-write-delete cycle against MariaDB.

Environment (set by CTest): KEST_BIN (the daemon), KEST_REPO (source root),
KEST_DB_DIR (the fixture server's directory), KEST_TEST_TMP (scratch root).

Every daemon run gets its own package root, runtime root and ODBC files; every
test that needs rows gets its own database, so that suites sharing the fixture
server never see each other's rows. Tests that stop a server or count its
connections use a second private server of their own.
"""
import configparser
import ctypes
import datetime
import errno
import itertools
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
from collections import Counter, namedtuple

BIN = os.environ.get("KEST_BIN", "")
REPO = os.environ.get("KEST_REPO", "")
DB_DIR = os.environ.get("KEST_DB_DIR", "")
TMP_ROOT = os.environ.get("KEST_TEST_TMP", "")

WAIT = 60.0           # generous bound for anything the daemon should do soon
LOG_PATH_MAX = 127    # the log registry keeps at most this many characters

ALL_NULL_LINE = ("000 000 000 __________ ________________ ________________ "
                 "________________ ______________ ______________\n")

HELP_TEXT = (
    "Process : KEST\n"
    "-h [ --help ]                           show help\n"
    "-b [--base-path]                        base path [defualt:${PKG_ROOT}] \n"
    "-c [--config-file]                      process configuration file path"
    " [defualt:${PKG_ROOT}/config/kest.ini] \n"
    "-l [--log-folder]                       process log file folder [default:] \n"
    "-k [--key-folder]                       process key file folder [default:] \n"
    "-a [--active]                           manually active \n"
    "-s [--standby]                          manually standby if not used --active\n"
    "-V [--version]                          print the version and exit\n"
    "--check-config                          check settings, folders, lock, log and database,"
    " start nothing\n"
)


def project_version():
    """The release the build takes: the newest "## X.Y.Z" of CHANGELOG.md."""
    with open(os.path.join(REPO, "CHANGELOG.md")) as f:
        return re.search(r"^## (\d+\.\d+\.\d+)", f.read(), re.M).group(1)


def setUpModule():
    missing = [n for n, v in (("KEST_BIN", BIN), ("KEST_REPO", REPO), ("KEST_DB_DIR", DB_DIR),
                              ("KEST_TEST_TMP", TMP_ROOT)) if not v]
    if missing:
        raise RuntimeError("set %s (CTest does)" % ", ".join(missing))
    if not os.access(BIN, os.X_OK):
        raise RuntimeError("no daemon binary at %s" % BIN)
    os.makedirs(TMP_ROOT, exist_ok=True)


def wait_for(condition, what, timeout=WAIT, context=None):
    """Polls condition until it returns something true; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            extra = "\n" + context() if context else ""
            raise AssertionError("waited %.0f s for %s%s" % (timeout, what, extra))
        time.sleep(0.05)


def today_dates():
    """Local dates a daemon running now may use (two around midnight)."""
    now = datetime.datetime.now()
    return {(now + datetime.timedelta(seconds=d)).strftime("%Y-%m-%d") for d in (-5, 0, 5)}


_STAMP = re.compile(r"^\[(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d)-(\d{3})\]")
_RECORD_START = re.compile(r"\[\d\d/\d\d \d\d:\d\d:\d\d-\d{3}\]\S\) ")


def stamp_seconds(line):
    """Seconds of a log line's "[MM/DD hh:mm:ss-uuu]" stamp (year ignored)."""
    m = _STAMP.match(line)
    if not m:
        raise AssertionError("log line without time stamp: %r" % line)
    mo, dd, hh, mi, ss, ms = (int(g) for g in m.groups())
    t = datetime.datetime(2000, mo, dd, hh, mi, ss, ms * 1000)
    return t.timestamp()


# --- the log registry segment a daemon leaves behind -------------------------

_libc = ctypes.CDLL(None, use_errno=True)
_IPC_RMID = 0


def remove_log_registry(orvo_root):
    """The daemon's log settings live in a SysV segment keyed by a file of its
    runtime root; a private root's segment goes away with the test."""
    key_file = os.path.join(orvo_root, "olog.shm")
    if not os.path.exists(key_file):
        return
    key = _libc.ftok(key_file.encode(), 0)
    if key == -1:
        return
    shm_id = _libc.shmget(key, 0, 0)
    if shm_id >= 0:
        _libc.shmctl(shm_id, _IPC_RMID, None)


# --- MariaDB through its command-line client --------------------------------

def read_ini(path):
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read(path)
    return parser


class Server:
    """A MariaDB server started by scripts/db.sh in a directory of its own."""

    def __init__(self, directory, as_root=False):
        self.dir = directory
        self.as_root = as_root

    def dsn_section(self):
        return dict(read_ini(os.path.join(self.dir, "odbc.ini"))["ALTIBASE_DSN"])

    def client_args(self):
        if self.as_root:
            return ["--defaults-file=" + os.path.join(self.dir, "my.cnf")]
        dsn = self.dsn_section()
        return ["--socket=" + dsn["SOCKET"], "--user=" + dsn["USER"],
                "--password=" + dsn["PASSWORD"]]

    def sql(self, text, database=None, check=True):
        cmd = ["mariadb"] + self.client_args() + ["-N", "-B"]
        if database:
            cmd.append(database)
        done = subprocess.run(cmd, input=text, capture_output=True, text=True, timeout=WAIT)
        if check and done.returncode != 0:
            raise AssertionError("mariadb failed (%d): %s\n%s" % (done.returncode, text[:200],
                                                                 done.stderr))
        return done.stdout

    def session(self, test, database):
        """An open client session, fed statement by statement; ends with the test."""
        proc = subprocess.Popen(["mariadb"] + self.client_args() + ["--unbuffered", "-N", "-B",
                                                                  database],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
        def end():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            for stream in (proc.stdin, proc.stdout):
                try:
                    stream.close()
                except OSError:
                    pass  # the server went away with unread input
        test.addCleanup(end)
        return proc

    def stuck_deletes(self):
        """Deletes of another session that have been running for a second or more."""
        return int(self.sql("SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                            "WHERE ID <> CONNECTION_ID() AND TIME >= 1 "
                            "AND INFO LIKE 'DELETE FROM TSMS_SND_MSG%'"))

    def connections(self):
        """The server's count of connection attempts since its start; the query
        itself is one of them."""
        out = self.sql("SHOW GLOBAL STATUS LIKE 'Connections'")
        return int(out.split()[1])

    def script(self, command):
        subprocess.run(["bash", os.path.join(REPO, "scripts", "db.sh"), command, self.dir],
                       check=True, capture_output=True, timeout=180)

    def start(self):
        self.script("start")

    def stop(self):
        self.script("stop")


Row = namedtuple("Row", "seq proc_result in_group out_group serial caller callee callback "
                        "in_time report_time")
Row.__new__.__defaults__ = (None,) * 9

COLUMNS = ("MSG_SEQ", "PROC_RESULT", "IN_GROUP", "OUT_GROUP", "SERIAL_NUM", "CALLER_NO",
           "CALLEE_NO", "CALLBACK_NO", "IN_TIME", "REPORT_TIME")


def sql_literal(value):
    if value is None:
        return "NULL"
    if isinstance(value, int):
        return str(value)
    return "'" + value.replace("'", "''") + "'"


def bill_line(row):
    """The line a row must become in the bill file."""
    def text(value, filler):
        return filler if value is None else value
    return "%3.3s %03d %03d %10s %16.16s %16.16s %16.16s %14.14s %14.14s\n" % (
        "000",
        0 if row.in_group is None else int(row.in_group),
        0 if row.out_group is None else row.out_group,
        text(row.serial, "_" * 10), text(row.caller, "_" * 16), text(row.callee, "_" * 16),
        text(row.callback, "_" * 16), text(row.in_time, "_" * 14),
        text(row.report_time, "_" * 14))


_database_numbers = itertools.count(1)


class Database:
    """A database of the test's own on a server, with the TSMS_SND_MSG table,
    dropped when the test ends."""

    def __init__(self, test, server):
        self.server = server
        self.name = "kest_e2e_%d_%d" % (os.getpid(), next(_database_numbers))
        server.sql("DROP DATABASE IF EXISTS %s; CREATE DATABASE %s;" % (self.name, self.name))
        test.addCleanup(server.sql, "DROP DATABASE IF EXISTS %s" % self.name, None, False)
        with open(os.path.join(REPO, "scripts", "sql", "schema.sql")) as schema:
            server.sql(schema.read(), self.name)

    def sql(self, text):
        return self.server.sql(text, self.name)

    def insert(self, rows):
        for start in range(0, len(rows), 500):
            values = ",".join("(%s)" % ",".join(sql_literal(v) for v in row)
                              for row in rows[start:start + 500])
            self.sql("INSERT INTO TSMS_SND_MSG (%s) VALUES %s;" % (",".join(COLUMNS), values))

    def pending(self):
        return int(self.sql("SELECT COUNT(*) FROM TSMS_SND_MSG"))

    def seqs(self):
        return sorted(int(v) for v in self.sql("SELECT MSG_SEQ FROM TSMS_SND_MSG").split())

    def write_odbc(self, directory, user=True):
        """odbc.ini and odbcinst.ini reaching this database as ALTIBASE_DSN;
        without user the credentials must come from the connection string."""
        os.makedirs(directory, exist_ok=True)
        shutil.copy(os.path.join(self.server.dir, "odbcinst.ini"), directory)
        section = self.server.dsn_section()
        section["DATABASE"] = self.name
        if not user:
            section.pop("USER", None)
            section.pop("PASSWORD", None)
        with open(os.path.join(directory, "odbc.ini"), "w") as out:
            out.write("[ALTIBASE_DSN]\n")
            out.writelines("%s=%s\n" % item for item in section.items())
        return directory


# --- a daemon installation and its runs -------------------------------------

START_LINE = "== START KEST "


class Daemon:
    """One run of the binary; its output goes to files in the node's folder."""

    _numbers = itertools.count(1)

    def __init__(self, node, args, env, stdout=None, wrapper=()):
        """stdout: a descriptor to give the daemon instead of a file of its own
        (stdout() then reads an empty file); wrapper: a command that runs
        the daemon's command line (and becomes the daemon through exec)."""
        n = next(self._numbers)
        self.node = node
        # Earlier runs of the node leave their start lines in its log.
        self.starts_before = node.log_text().count(START_LINE)
        self.out_path = os.path.join(node.base, "stdout.%d" % n)
        self.err_path = os.path.join(node.base, "stderr.%d" % n)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(list(wrapper) + [BIN] + list(args), stdout=stdout or out,
                                         stderr=err,
                                         stdin=subprocess.DEVNULL, env=env, cwd=node.base)
        self.pid = self.proc.pid

    def stdout(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def stderr(self):
        with open(self.err_path, errors="replace") as f:
            return f.read()

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout=WAIT):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("daemon still running after %.0f s\n%s"
                                 % (timeout, self.context()))

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()

    def wait_started(self, log_prefix=None):
        """Until this run's start line is logged: log, lock and signal handlers are in place.
        A log_prefix names a log of the run's own, empty before it."""
        before = 0 if log_prefix else self.starts_before
        wait_for(lambda: self.node.log_text(log_prefix).count(START_LINE) > before
                 or not self.running(),
                 "the start line", context=self.context)
        if not self.running():
            raise AssertionError("daemon ended during start-up\n" + self.context())

    def context(self):
        log = self.node.log_records()[-25:]
        return "stdout: %r\nstderr: %r\nlog tail:\n%s" % (self.stdout()[-2000:],
                                                           self.stderr()[-2000:], "\n".join(log))


class Node:
    """A package root (config, key, log, bill) and a runtime root of its own."""

    def __init__(self, test, name="node"):
        self.test = test
        self.base = tempfile.mkdtemp(prefix="e2e-%s-" % name, dir=TMP_ROOT)
        self.root = os.path.join(self.base, "pkg")
        self.orvo = os.path.join(self.base, "orvo")
        self.config = os.path.join(self.root, "config", "kest.ini")
        self.bill_dir = os.path.join(self.root, "bill")
        self.reject_dir = os.path.join(self.root, "reject")
        self.lock = os.path.join(self.root, "key", "KEST.EXE") + ".lock"
        self.log_prefix = os.path.join(self.root, "log", "KEST", "KEST")
        self.odbc_dir = os.path.join(self.base, "odbc")
        assert len(self.log_prefix) <= LOG_PATH_MAX, self.log_prefix
        os.makedirs(os.path.dirname(self.config))
        os.makedirs(self.bill_dir)
        os.makedirs(self.reject_dir)
        # No data source at all unless a test points the node at a database.
        os.makedirs(self.odbc_dir)
        for ini in ("odbc.ini", "odbcinst.ini"):
            open(os.path.join(self.odbc_dir, ini), "w").close()
        self.daemons = []
        test.addCleanup(shutil.rmtree, self.base, True)
        test.addCleanup(remove_log_registry, self.orvo)
        test.addCleanup(self.kill_all)

    def kill_all(self):
        for d in self.daemons:
            d.kill()

    def write_config(self, text):
        with open(self.config, "w") as f:
            f.write(text)

    def env(self, pkg_root=True, extra=None):
        env = {k: v for k, v in os.environ.items()
               if k not in ("PKG_ROOT", "ODBCINI", "ODBCSYSINI", "ORVO_TMP_ROOT", "LOG_PATH")}
        env["ORVO_TMP_ROOT"] = self.orvo
        env["ODBCINI"] = os.path.join(self.odbc_dir, "odbc.ini")
        env["ODBCSYSINI"] = self.odbc_dir
        if pkg_root:
            env["PKG_ROOT"] = self.root
        env.update(extra or {})
        return env

    def start(self, *args, pkg_root=True, extra_env=None, stdout=None, wrapper=()):
        d = Daemon(self, args, self.env(pkg_root, extra_env), stdout, wrapper)
        self.daemons.append(d)
        return d

    def use_database(self, db, user=True):
        db.write_odbc(self.odbc_dir, user)

    def log_files(self, prefix=None):
        prefix = prefix or self.log_prefix
        folder = os.path.dirname(prefix)
        if not os.path.isdir(folder):
            return []
        base = os.path.basename(prefix) + ".log."
        return sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.startswith(base))

    def log_text(self, prefix=None):
        text = ""
        for path in self.log_files(prefix):
            with open(path, errors="replace") as f:
                text += f.read()
        return text

    def log_records(self):
        """Log records, each starting with its time stamp; a message without
        its own line feed runs on into the next record's line."""
        text = self.log_text()
        starts = [m.start() for m in _RECORD_START.finditer(text)] + [len(text)]
        return [text[a:b].rstrip("\n") for a, b in zip(starts, starts[1:])]

    def log_lines(self, needle):
        return [r for r in self.log_records() if needle in r]

    def bill_files(self):
        return sorted(f for f in os.listdir(self.bill_dir) if f.startswith("SMSC_"))

    def bill_bytes(self):
        files = self.bill_files()
        self.test.assertEqual(len(files), 1, "one bill file per date: %s" % files)
        self.test.assertIn(files[0], {"SMSC_%s_000" % d for d in today_dates()})
        with open(os.path.join(self.bill_dir, files[0]), "rb") as f:
            return f.read()

    def bill_lines(self):
        return self.bill_bytes().decode().splitlines(keepends=True)


def config_text(log_level=3, dsn=None, uid=None, pwd=None, reject_path=None):
    """Paths stay at their defaults under PKG_ROOT unless given."""
    lines = ["[COMMON]", "LOG_LEVEL = %d" % log_level, "[BILL]"]
    if reject_path is not None:
        lines.append("REJECT_PATH = %s" % reject_path)
    lines.append("[DB]")
    for key, value in (("DSN", dsn), ("UID", uid), ("PWD", pwd)):
        if value is not None:
            lines.append("%s = %s" % (key, value))
    return "\n".join(lines) + "\n"


def startup_failure(test, daemon):
    """Runs a start-up that must fail; returns its standard error."""
    rc = daemon.wait()
    test.assertEqual(rc, 1, daemon.context())
    return daemon.stderr()


# --- 1. command line and start-up --------------------------------------------

class CommandLine(unittest.TestCase):

    def test_help_is_printed_exactly_and_ends_before_any_file_is_read(self):
        node = Node(self, "help")
        # No configuration file exists: help must not care.
        for option, text in (("-h", HELP_TEXT), ("--help", HELP_TEXT),
                             ("-V", "kest %s\n" % project_version()),
                             ("--version", "kest %s\n" % project_version())):
            d = node.start(option)
            self.assertEqual(d.wait(), 0, d.context())
            self.assertEqual(d.stdout(), text)
            self.assertEqual(d.stderr(), "")
        self.assertFalse(os.path.exists(node.lock))
        self.assertEqual(node.log_files(), [])

    def test_unknown_options_are_reported_with_the_help_and_start_nothing(self):
        node = Node(self, "opts")
        node.write_config(config_text())
        for args, diagnostic in ((("-l", "x"), "invalid option -- 'l'"),
                                 (("-k", "x"), "invalid option -- 'k'"),
                                 (("--log-folder", "x"), "unrecognized option '--log-folder'"),
                                 (("--key-folder=x",), "unrecognized option '--key-folder=x'")):
            d = node.start("-s", *args)
            self.assertEqual(d.wait(), 2, d.context())
            self.assertEqual(d.stderr(), "%s: %s\n%s" % (BIN, diagnostic, HELP_TEXT))
            self.assertEqual(d.stdout(), "", args)
        self.assertFalse(os.path.exists(node.lock))
        self.assertEqual(node.log_files(), [])

    def test_last_of_active_and_standby_wins(self):
        node = Node(self, "role")
        missing = os.path.join(node.base, "absent.ini")
        cases = ((("-a", "-s"), "flag a..haf mode : 2"),
                 (("-s", "-a"), "flag a..haf mode : 3"),
                 (("--standby",), "haf mode : 2"),
                 (("--active", "--standby", "--active"), "flag a..flag a..haf mode : 3"))
        for args, expected in cases:
            d = node.start(*args, "-c", missing)
            startup_failure(self, d)
            self.assertEqual(d.stdout(), expected, args)

    def test_missing_configuration_file(self):
        node = Node(self, "noconf")
        # Default path from PKG_ROOT; --base-path does not move it.
        d = node.start("-s", "-b", "/elsewhere")
        err = startup_failure(self, d)
        self.assertEqual(err, "Failed ! Check your config file : %s\n" % node.config)
        self.assertFalse(os.path.exists(os.path.dirname(node.lock)), "no lock before the file")
        # Without PKG_ROOT the default path expands to /config/kest.ini.
        if os.path.exists("/config/kest.ini"):
            self.skipTest("/config/kest.ini exists on this host")
        d = node.start("-s", pkg_root=False)
        err = startup_failure(self, d)
        self.assertEqual(err, "Failed ! Check your config file : /config/kest.ini\n")

    def test_overlong_arguments_and_values_end_start_up(self):
        node = Node(self, "long")
        # 1023 characters fit and are used as the path ...
        fits = "/" + "p" * 1022
        err = startup_failure(self, node.start("-s", "-c", fits))
        self.assertEqual(err, "Failed ! Check your config file : %s\n" % fits)
        # ... 1024 do not, for either option.
        for option in ("-c", "-b", "--config-file", "--base-path"):
            err = startup_failure(self, node.start("-s", option, "/" + "p" * 1023))
            self.assertTrue(err.startswith("Failed ! "), err)
            self.assertNotIn("Check your config file", err)
        # A DSN of 63 characters fits its field, one of 64 does not.
        node.write_config(config_text(dsn="D" * 64))
        err = startup_failure(self, node.start("-s"))
        self.assertTrue(err.startswith("Failed ! "), err)
        self.assertIn("DSN", err)
        self.assertFalse(os.path.exists(node.lock))
        node.write_config(config_text(dsn="D" * 63))
        node.start("-s").wait_started()


class StartUp(unittest.TestCase):

    def test_defaults_expand_from_pkg_root_and_start_up_lines_come_in_order(self):
        node = Node(self, "defaults")
        node.write_config("[COMMON]\n[BILL]\n[DB]\n")
        d = node.start("-s")
        d.wait_started()
        out = d.stdout()
        expected = ["LOG_PATH: %s\n" % node.log_prefix, "LOG_LEVEL: 3\n", "LOG_FILE_COUNT: 10\n",
                    "LOG_FILE_SIZE_MB: 128\n"]
        positions = [out.find(line) for line in expected]
        self.assertNotIn(-1, positions, out)
        self.assertEqual(positions, sorted(positions), out)
        self.assertTrue(out.startswith("haf mode : 2"), out)
        self.assertNotIn("NO HAF", out)
        self.assertNotIn("flag a..", out)
        # Lock and log where the defaults say.
        with open(node.lock) as f:
            self.assertEqual(int(f.read()), d.pid)
        banner = "============ START KEST %s =============" % project_version()
        wait_for(lambda: banner in node.log_text(), "the start line in the log",
                 context=d.context)
        names = {os.path.basename(p) for p in node.log_files()}
        dates = {datetime.date.fromisoformat(t).strftime("%Y%m%d") for t in today_dates()}
        self.assertTrue(names & {"KEST.log." + t for t in dates}, names)
        self.assertIn(banner, node.log_text().splitlines()[0])
        # The status file shows the daemon up, and which build.
        status = os.path.join(node.root, "log", "kest.prom")
        self.assertEqual(status_sample(status, "kest_up"), 1)
        self.assertEqual(status_sample(status, 'kest_build_info{version="%s"}'
                                       % project_version()), 1)

    def test_paths_expand_without_pkg_root(self):
        node = Node(self, "nopkg")
        home = os.path.join(node.base, "home")
        config = os.path.join(home, "etc", "my.ini")
        os.makedirs(os.path.dirname(config))
        with open(config, "w") as f:
            f.write("[COMMON]\n"
                    "LOCK_FILE = ${KEST_E2E_HOME}/run/KEST\n"
                    "LOG_PATH = $KEST_E2E_HOME/logs/K\n"
                    "STATUS_FILE = $KEST_E2E_HOME/kest.prom\n"
                    "[BILL]\n[DB]\n")
        d = node.start("--standby", "--config-file", "${KEST_E2E_HOME}/etc/my.ini",
                       pkg_root=False, extra_env={"KEST_E2E_HOME": home})
        d.wait_started(os.path.join(home, "logs", "K"))  # the log under the expanded path
        self.assertIn("LOG_PATH: %s/logs/K\n" % home, d.stdout())
        with open(os.path.join(home, "run", "KEST.lock")) as f:
            self.assertEqual(int(f.read()), d.pid)
        self.assertFalse(os.path.exists(os.path.join(node.root, "key")))

    def test_second_instance_is_refused_by_the_lock(self):
        node = Node(self, "lock")
        node.write_config(config_text())
        first = node.start("-s")
        first.wait_started()
        second = node.start("-s")
        err = startup_failure(self, second)
        lock_path = node.lock[:-len(".lock")]
        texts = {os.strerror(errno.EAGAIN), os.strerror(errno.EACCES)}
        self.assertIn(err.splitlines()[-1],
                      {"Failed Lock.. Check your%s : %s" % (lock_path, t) for t in texts})
        self.assertTrue(first.running())
        with open(node.lock) as f:
            self.assertEqual(int(f.read()), first.pid, "the owner's pid stays")

    def test_start_without_a_role_needs_the_ha_library(self):
        node = Node(self, "nohaf")
        node.write_config(config_text())
        for _ in range(2):  # the second start meets no lock of the first
            d = node.start()
            err = startup_failure(self, d)
            self.assertEqual(err.splitlines()[-1], "Failed HALibInit.. Check HA")
            self.assertNotIn("Failed Lock", err)
            self.assertIn("NO HAF\n", d.stdout())
            self.assertNotIn("LOG_PATH:", d.stdout())
        self.assertEqual(node.log_files(), [])
        node.start("-s").wait_started()

    def test_configuration_reader_through_the_daemon(self):
        node = Node(self, "conf")
        dsn = "E2E_" + "d" * 59  # 63 characters: the most the field holds
        # [COMMON] last, its last line without a line feed.
        node.write_config(
            "[BILL]\n"
            "[DB]\n"
            "DSN_OLD = a\n"
            "DSN=%s   # comment\n"
            "UID\t= operator\n"
            "PWD = s3cr3t-E2E\n"
            "[COMMON]\n"
            "# LOG_LEVEL = 1\n"
            "  LOG_LEVEL = 5     # debug\n"
            "LOG_FILE_COUNT =\n"
            "LOG_FILE_SIZE_MB = 7" % dsn)
        d = node.start("-a")
        d.wait_started()
        out = d.stdout()
        self.assertIn("LOG_LEVEL: 5\n", out)
        self.assertIn("LOG_FILE_COUNT: 0\n", out)
        self.assertIn("LOG_FILE_SIZE_MB: 7\n", out)
        # No data source exists: the daemon keeps trying and says with what.
        wait_for(lambda: len(node.log_lines("Try DB Connect Fail")) >= 2,
                 "two failed connection attempts", context=d.context)
        self.assertIn("[DB] Try DB Connect DSN=%s;UID=operator;PWD=****" % dsn,
                      node.log_lines("[DB] Try DB Connect ")[0])
        self.assertIn("[DB] DSN=%s;UID=operator;PWD=**** Try DB Connect Fail : " % dsn,
                      node.log_lines("Try DB Connect Fail")[0])
        self.assertNotIn("s3cr3t-E2E", node.log_text())
        self.assertNotIn("_OLD", node.log_text())


    @unittest.skipUnless(subprocess.run(["unshare", "-m", "true"]).returncode == 0,
                         "needs a mount namespace")
    def test_bill_folder_made_read_only_flips_its_gauge_and_logs_each_change_once(self):
        node = Node(self, "rofolder")
        node.write_config(config_text())
        # The bill folder is a tmpfs of the daemon's own mount namespace: read-only, it refuses
        # root too.
        d = node.start("-s", wrapper=["unshare", "-m", "--propagation", "private", "sh", "-c",
                                      'mount -t tmpfs kest-test "$0" && exec "$@"', node.bill_dir])
        d.wait_started()
        status = os.path.join(node.root, "log", "kest.prom")

        def gauge():
            try:
                return status_sample(status, "kest_bill_folder_writable")
            except (AssertionError, FileNotFoundError):
                return None

        def remount(mode):
            subprocess.run(["nsenter", "-t", str(d.pid), "-m", "mount", "-o", "remount," + mode,
                            node.bill_dir], check=True)

        wait_for(lambda: gauge() == 1, "the folder's first check", context=d.context)
        self.assertEqual(node.log_lines("[FOLDER]"), [])
        remount("ro")
        wait_for(lambda: gauge() == 0, "the read-only folder seen", context=d.context)
        refused = "[FOLDER] Bill folder %s cannot take a new file: %s" % (
            node.bill_dir, os.strerror(errno.EROFS))
        self.assertEqual(len(node.log_lines(refused)), 1)
        # Not again at the next check while nothing changes: the folders are checked every 15 s,
        # the role once a second, with a line each.
        polls = len(node.log_lines("[DB] retryConnectDBWithInterval"))
        wait_for(lambda: len(node.log_lines("[DB] retryConnectDBWithInterval")) > polls + 20,
                 "20 s of role checks", context=d.context)
        self.assertEqual(len(node.log_lines(refused)), 1)
        self.assertEqual(gauge(), 0)
        remount("rw")
        wait_for(lambda: gauge() == 1, "the folder writable again", context=d.context)
        self.assertEqual(len(node.log_lines("[FOLDER] Bill folder %s takes new files again"
                                            % node.bill_dir)), 1)
        self.assertTrue(d.running())


# --- 2. bill lines ------------------------------------------------------------

class FixtureTest(unittest.TestCase):
    """Tests with a database of their own on the fixture server."""

    def setUp(self):
        self.server = Server(DB_DIR)
        self.db = Database(self, self.server)

    def active_node(self, name, log_level=3, **config):
        node = Node(self, name)
        node.write_config(config_text(log_level=log_level, **config))
        node.use_database(self.db)
        return node

    def drain(self, node, expected_lines):
        d = node.start("--active")
        wait_for(lambda: self.db.pending() == 0 or not d.running(), "the table to drain",
                 context=d.context)
        self.assertTrue(d.running(), d.context())
        self.assertEqual(len(node.bill_lines()), expected_lines)
        return d


class BillFile(FixtureTest):

    def test_all_null_row_gives_the_filler_line(self):
        self.db.insert([Row(1)])
        node = self.active_node("null")
        self.drain(node, 1)
        line = node.bill_bytes()
        self.assertEqual(line, ALL_NULL_LINE.encode())
        self.assertEqual(len(line), 104)
        # The open's record has no line feed of its own: the next record must not glue onto it.
        opened = [l for l in node.log_text().splitlines() if "[FILE] Try Open File: " in l]
        self.assertTrue(opened, node.log_text())
        for l in opened:
            self.assertRegex(l, r"Try Open File: \S+/SMSC_[0-9-]+_000$")

    def test_restart_on_the_same_date_appends(self):
        first = [Row(i, "OK", str(i), i, "S%09d" % i, "0101000%04d" % i) for i in (1, 2, 3)]
        second = [Row(i, "OK", str(i), i, "S%09d" % i, "0101000%04d" % i) for i in (4, 5)]
        node = self.active_node("append")
        self.db.insert(first)
        d = self.drain(node, 3)
        before = node.bill_bytes()
        d.kill()
        self.db.insert(second)
        self.drain(node, 5)
        after = node.bill_bytes()
        self.assertTrue(after.startswith(before))
        self.assertEqual(after, "".join(bill_line(r) for r in first + second).encode())

    def test_missing_bill_directory_ends_the_process(self):
        node = self.active_node("nobill")
        os.rmdir(node.bill_dir)  # the default ${PKG_ROOT}/bill
        self.db.insert([Row(7, "OK", "1", 1, "S000000007")])
        d = node.start("--active")
        self.assertEqual(d.wait(), 1, d.context())
        errors = node.log_lines("[DB] Error: ")
        self.assertEqual(len(errors), 1, d.context())
        self.assertTrue(any("[DB] Error: %s/SMSC_%s fopen fail :No such file or directory ("
                            % (node.bill_dir, day) in errors[0] for day in today_dates()),
                        errors[0])
        self.assertEqual(self.db.seqs(), [7])
        # The cause on standard error too; the status file tells a fatal ending, and the folder
        # check had seen it coming.
        self.assertIn(" fopen fail :No such file or directory", d.stderr().splitlines()[-1])
        status = os.path.join(node.root, "log", "kest.prom")
        self.assertEqual(status_sample(status, "kest_up"), 0)
        self.assertEqual(status_sample(status, 'kest_exit_info{reason="fatal"}'), 1)
        self.assertEqual(status_sample(status, "kest_bill_folder_writable"), 0)
        self.assertEqual(len(node.log_lines("[FOLDER] Bill folder %s cannot take a new file: "
                                            % node.bill_dir)), 1)

    def test_bad_row_without_a_reject_folder_ends_the_process_and_stays(self):
        node = self.active_node("badgroup")
        os.rmdir(node.reject_dir)  # the default ${PKG_ROOT}/reject
        self.db.insert([Row(8, "OK", "abc", 1, "S000000008")])
        d = node.start("--active")
        self.assertEqual(d.wait(), 1, d.context())
        errors = node.log_lines("[DB] Error: ")
        self.assertEqual(len(errors), 1, d.context())
        self.assertIn("[DB] Error: reject file %s/SMSC_REJECT_" % node.reject_dir, errors[0])
        self.assertIn(" open fail : No such file or directory", errors[0])
        self.assertEqual(self.db.seqs(), [8])
        self.assertEqual(node.bill_bytes(), b"", "nothing written for the row")


class CheckConfig(FixtureTest):

    def test_one_verdict_per_item_and_nothing_started(self):
        self.db.insert([Row(1)])
        node = self.active_node("check")
        os.makedirs(os.path.dirname(node.lock))  # the key folder, as the package makes it

        def check(failing=None, detail=""):
            d = node.start("--check-config")
            rc = d.wait()
            lines = d.stdout().splitlines()
            items = ["configuration", "bill folder", "reject folder", "key folder", "lock",
                     "log registry", "data source"]
            self.assertEqual([l[:l.find(":")] for l in lines[:-1]],
                             ["[%s] %s" % ("FAIL" if i == failing else " OK ", i) for i in items])
            if failing is None:
                self.assertEqual((rc, lines[-1]), (0, "kest: configuration ok"))
            else:
                self.assertEqual((rc, lines[-1]), (1, "kest: 1 of 7 checks failed"))
                self.assertIn(detail, [l for l in lines if l.startswith("[FAIL]")][0])

        check()
        node.write_config(config_text(dsn="NO_SUCH_DSN"))
        check("data source", "[FAIL] data source: DSN=NO_SUCH_DSN: ")
        node.write_config(config_text() + "PASS_ROWS = 5000\n")  # a note, among the verdicts only
        check("configuration", "PASS_ROWS is out of range [5000]")
        node.write_config(config_text())
        os.rmdir(node.reject_dir)
        check("reject folder", "%s: %s" % (node.reject_dir, os.strerror(errno.ENOENT)))
        os.mkdir(node.reject_dir)
        running = node.start("-s")
        running.wait_started()
        check("lock", "[FAIL] lock: %s: held by pid %d" % (node.lock, running.pid))
        self.assertTrue(running.running())
        running.kill()
        # Checks bill nothing and leave no lock behind.
        self.assertEqual(self.db.pending(), 1)
        self.assertEqual(node.bill_files(), [])


# --- 3. against MariaDB ---------------------------------------------------------

class Cycle(FixtureTest):

    def test_twenty_rows_drain_in_passes_of_nine_and_each_line_precedes_its_delete(self):
        rows = []
        for seq in range(1, 21):
            rows.append(Row(seq, "R%d" % seq, str(seq % 7), 100 + seq, "S%09d" % seq,
                            "0101234%04d" % seq, "0209876%04d" % seq, "0315550%04d" % seq,
                            "20261207%06d" % seq, "20261208%06d" % seq))
        # Cuts, widening, a negative group and NULLs on the way.
        rows[2] = rows[2]._replace(caller="01012345678901234567", in_time="2026120701020304")
        rows[4] = rows[4]._replace(out_group=1234, serial="SX0000000005")
        rows[6] = rows[6]._replace(out_group=-1, in_group="-3")
        rows[8] = rows[8]._replace(in_group=None, callee=None, report_time=None)
        rows[10] = rows[10]._replace(caller="", proc_result=None)
        self.db.insert(rows)
        node = self.active_node("twenty", log_level=5)
        d = node.start("--active")

        def counts():
            return [int(re.search(r"\[DB:SELECT\] Count: (\d+) ", l).group(1))
                    for l in node.log_lines("[DB:SELECT] Count: ")]
        wait_for(lambda: len(counts()) >= 4 or not d.running(), "four passes",
                 context=d.context)
        self.assertEqual(counts()[:4], [9, 9, 2, 0], d.context())
        self.assertEqual(self.db.pending(), 0)

        expected = {bill_line(r): r.seq for r in rows}
        self.assertEqual(sorted(node.bill_lines()), sorted(expected))

        log = node.log_records()
        written = {}
        deleted = {}
        for i, line in enumerate(log):
            body = line.split(") ", 1)[-1]
            if body.startswith("[FILE] 000 "):
                seq = expected[body[len("[FILE] "):] + "\n"]
                self.assertNotIn(seq, written)
                written[seq] = i
            m = re.search(r"\[DB:DELETE\] .*MSG_SEQ:(\d+),", body)
            if m:
                seq = int(m.group(1))
                self.assertNotIn(seq, deleted)
                deleted[seq] = i
        self.assertEqual(sorted(written), list(range(1, 21)))
        self.assertEqual(sorted(deleted), list(range(1, 21)))
        for seq in range(1, 21):
            self.assertLess(written[seq], deleted[seq], "MSG_SEQ %d deleted before written" % seq)

        # Drained, the active node polls the table once a second, not back to back.
        status = os.path.join(node.root, "log", "kest.prom")
        passes, start = status_sample(status, "kest_passes_total"), time.monotonic()
        time.sleep(3)
        rate = ((status_sample(status, "kest_passes_total") - passes)
                / (time.monotonic() - start))
        self.assertTrue(0.5 <= rate <= 3, "%.1f idle passes a second" % rate)


def status_sample(path, name):
    """The value of sample name in the status file at path."""
    with open(path) as f:
        for line in f:
            if line.startswith(name + " "):
                return int(line.split()[-1])
    raise AssertionError("no %s in %s" % (name, path))


class OwnServerTest(unittest.TestCase):
    """Tests that stop a server or count its connections: a second private
    server, so that the fixture server of other suites is never disturbed."""

    @classmethod
    def setUpClass(cls):
        cls.server_dir = tempfile.mkdtemp(prefix="e2e-srv-", dir=TMP_ROOT)
        cls.server = Server(cls.server_dir, as_root=True)
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.server_dir, True)

    def setUp(self):
        self.server.start()  # again, should an earlier test have left it stopped
        self.db = Database(self, self.server)

    def node(self, name, **config):
        node = Node(self, name)
        node.write_config(config_text(**config))
        node.use_database(self.db)
        return node

    def assert_about_once_a_second(self, lines, what):
        times = [stamp_seconds(l) for l in lines]
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertTrue(all(g >= 0.5 for g in gaps), "%s more than twice a second: %s"
                        % (what, gaps))
        self.assertLessEqual(times[-1] - times[0], 2.5 * len(gaps),
                             "%s less than about once a second: %s" % (what, gaps))


class OwnServer(OwnServerTest):

    def test_standby_never_connects_to_the_database(self):
        self.db.insert([Row(1, "OK", "1", 1, "S000000001")])
        node = self.node("standby")
        before = self.server.connections()
        d = node.start("--standby")
        wait_for(lambda: len(node.log_lines("[DB] retryConnectDBWithInterval")) >= 4
                 or node.log_lines("Try DB Connect"), "four role checks", context=d.context)
        after = self.server.connections()
        self.assertEqual(after - before, 1, "only this test's own query connected")
        self.assertEqual(node.log_lines("Try DB Connect"), [])
        self.assert_about_once_a_second(node.log_lines("[DB] retryConnectDBWithInterval"),
                                        "role checks")
        self.assertEqual(self.db.seqs(), [1])
        self.assertEqual(node.bill_files(), [])
        d.kill()

        # The same settings on an active node do reach the database.
        active = self.node("control")
        before = self.server.connections()
        d = active.start("--active")
        wait_for(lambda: self.db.pending() == 0, "the active node to drain", context=d.context)
        self.assertGreaterEqual(self.server.connections() - before, 3)

    def test_password_never_reaches_the_log(self):
        user, good, bad = "kest_e2e_pw", "Pw-7q3Zr9xE2E", "Wr0ng-k8Lm2E2E"
        self.server.sql("CREATE USER IF NOT EXISTS '%s'@'localhost' IDENTIFIED BY '%s';"
                        "GRANT ALL PRIVILEGES ON `kest%%`.* TO '%s'@'localhost';"
                        % (user, good, user))
        self.addCleanup(self.server.sql, "DROP USER IF EXISTS '%s'@'localhost'" % user,
                        None, False)
        ok = Node(self, "pw-ok")
        ok.write_config(config_text(uid=user, pwd=good))
        ok.use_database(self.db, user=False)
        d_ok = ok.start("--active")
        wait_for(lambda: ok.log_lines("[DB:SELECT] Count: 0"), "a pass over the empty table",
                 context=d_ok.context)

        wrong = Node(self, "pw-bad")
        wrong.write_config(config_text(uid=user, pwd=bad))
        wrong.use_database(self.db, user=False)
        d_bad = wrong.start("--active")
        wait_for(lambda: len(wrong.log_lines("Try DB Connect Fail")) >= 2,
                 "two refused logins", context=d_bad.context)

        self.assertIn("[DB] Try DB Connect DSN=ALTIBASE_DSN;UID=%s;PWD=****" % user,
                      ok.log_text())
        self.assertIn("[DB] DB Connect Success", ok.log_text())
        self.assertIn("[DB] DSN=ALTIBASE_DSN;UID=%s;PWD=**** Try DB Connect Fail : " % user,
                      wrong.log_text())
        for node, d, password in ((ok, d_ok, good), (wrong, d_bad, bad)):
            for text in (node.log_text(), d.stdout(), d.stderr()):
                self.assertNotIn(password, text)
            self.assertNotIn(good, node.log_text())

    def test_database_outage_during_a_drain_loses_no_row(self):
        total, free = 300, 100
        rows = [Row(seq, "OK", str(seq % 50), seq % 999, "S%09d" % seq, "0101%07d" % seq,
                    "0202%07d" % seq, None, "20261207%06d" % seq, None)
                for seq in range(1, total + 1)]
        self.db.insert(rows)
        # Hold the rows above the first hundred, so that the drain stops in a
        # delete that waits for them; the server then goes away under it.
        holder = self.server.session(self, self.db.name)
        holder.stdin.write("BEGIN;\nSELECT COUNT(*) FROM TSMS_SND_MSG WHERE MSG_SEQ > %d "
                           "FOR UPDATE;\n" % free)
        holder.stdin.flush()
        self.assertEqual(holder.stdout.readline().strip(), str(total - free))
        node = self.node("outage")
        d = node.start("--active")
        wait_for(self.server.stuck_deletes, "a delete waiting for a held row",
                 context=d.context)
        # The row whose delete waits has its line on disk already; no other
        # row still in the table has one.
        held = set(self.db.seqs())
        self.assertLess(len(held), total, "the drain has begun")
        on_file = {int(l.split()[3][1:]) for l in node.bill_lines()}
        self.assertEqual(len(on_file & held), 1, "line written before its delete")
        self.server.stop()
        holder.stdin.close()
        wait_for(lambda: len(node.log_lines("Try DB Connect Fail")) >= 4,
                 "four failed reconnects", context=d.context)
        self.assertEqual(len(node.log_lines("[DB] Error: ")), 1, d.context())
        self.assert_about_once_a_second(node.log_lines("Try DB Connect Fail")[:4],
                                        "reconnect attempts")
        # The status file goes on showing the node active without a database,
        # not a file gone stale as if the daemon were hung.
        status = os.path.join(node.root, "log", "kest.prom")
        written = status_sample(status, "kest_status_time_seconds")
        wait_for(lambda: status_sample(status, "kest_status_time_seconds") > written,
                 "the status file written again while reconnecting", context=d.context)
        self.assertEqual(status_sample(status, "kest_db_connected"), 0)
        self.assertEqual(status_sample(status, 'kest_role{role="ACTIVE_SYSTEM"}'), 3)
        self.server.start()
        wait_for(lambda: self.db.pending() == 0, "the drain to finish", context=d.context)
        self.assertTrue(d.running())

        lines = node.bill_lines()
        self.assertTrue(all(len(l) == 104 for l in lines), "no torn or odd line")
        serials = Counter(l.split()[3] for l in lines)
        self.assertEqual(set(serials), {"S%09d" % seq for seq in range(1, total + 1)})
        # At least once: only the row whose delete the outage cut may come twice.
        twice = [serial for serial, n in serials.items() if n > 1]
        self.assertLessEqual(len(twice), 1, serials.most_common(3))
        self.assertTrue(all(int(serial[1:]) > free and serials[serial] == 2 for serial in twice),
                        serials.most_common(3))
        # Every new connection prepares both statements again.
        connects = len(node.log_lines("[DB] DB Connect Success"))
        self.assertGreaterEqual(connects, 2)
        self.assertEqual(len(node.log_lines("[DB] get Select preparedStmt Success")), connects)
        self.assertEqual(len(node.log_lines("[DB] get Delete preparedStmt Success")), connects)


if __name__ == "__main__":
    unittest.main()
