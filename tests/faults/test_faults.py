"""Fault tests of the kest daemon: the real binary killed, its database
killed, its disk filled, fed hostile rows and hostile configuration files,
and its outputs searched for credentials.

The promise under test: a pending row is never lost, whatever happens to
the process, the database or the disk, and no input crashes the daemon; with
the journal of written rows (the default) a row is billed exactly once across
kills of the process and of the database, without it at least once. Both
commit modes are tried: a commit per row (AUTO_COMMIT = 1) and per pass (0).

Environment (set by CTest): as tests/kest/test_daemon.py (KEST_BIN,
KEST_REPO, KEST_DB_DIR, KEST_TEST_TMP), KEST_HAFSIM (the HA master simulator,
for the silent database), plus KEST_FAULT_LONG=1 for the long forms
(scripts/fault-long.sh).
"""
import csv
import datetime
import glob
import io
import os
import random
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
import unittest
from collections import Counter
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kest"))

import test_daemon  # noqa: E402  (the shared daemon, node and database helpers)
import test_ha_daemon  # noqa: E402  (the simulated HA master)
from test_daemon import (ALL_NULL_LINE, FixtureTest, Node, OwnServerTest, Row,  # noqa: E402
                         bill_line, config_text, stamp_seconds, wait_for)

LONG = os.environ.get("KEST_FAULT_LONG", "0") == "1"
WAIT = test_daemon.WAIT
LINE_LEN = len(ALL_NULL_LINE)  # 104


def setUpModule():
    test_daemon.setUpModule()


def report(text):
    """A figure of the run for the reliability record (on standard error)."""
    sys.stderr.write("\n[fault] %s\n" % text)


def process_state(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split()[2]
    except OSError:
        return None


def serial(seq):
    return "S%09d" % seq


def numbered_rows(count, first=1):
    """Rows whose serial number names them, so that a line names its row."""
    return [Row(seq, "OK", str(seq % 1000), seq % 997, serial(seq), "0101%07d" % seq,
                "0202%07d" % seq, "0303%07d" % seq, "20261207%06d" % (seq % 1000000), None)
            for seq in range(first, first + count)]


def serials_in(lines):
    return Counter(l.split()[3] for l in lines)


# Commit modes and journal as the fault tests try them: (name, AUTO_COMMIT,
# JOURNAL, rows a kill may bill twice).
PER_ROW, PER_PASS = 1, 0
PASS_ROWS = 9
LARGE_PASS = 500  # PASS_ROWS of the large-pass runs
JOURNAL_MAGIC = (0x4b4a524e).to_bytes(4, "little")  # first bytes of a journal record
EMPTY_JOURNAL = bytes(2048 * 64)  # every slot empty


def mode_config(auto_commit, journal, pass_rows=PASS_ROWS, **config):
    """The node's configuration with a commit mode, the journal on or off and
    a pass size."""
    text = config_text(**config).replace("[DB]\n", "JOURNAL = %d\n[DB]\n" % journal)
    return text + "AUTO_COMMIT = %d\nPASS_ROWS = %d\n" % (auto_commit, pass_rows)


def mode_name(auto_commit, journal, pass_rows=PASS_ROWS):
    return "%s, %s%s" % ("commit per row" if auto_commit else "commit per pass",
                         "journal" if journal else "no journal",
                         "" if pass_rows == PASS_ROWS else ", passes of %d" % pass_rows)


def mode_node(test, name, auto_commit, pass_rows=PASS_ROWS):
    """A node of its own on the test's database, in the commit mode, journal on."""
    node = Node(test, name)
    node.write_config(mode_config(auto_commit, 1, pass_rows))
    node.use_database(test.db)
    return node


def extra_per_fault(auto_commit, journal):
    """Rows one kill may bill twice: none with the journal, else the rows
    written and not yet committed (one per row, a pass per pass)."""
    return 0 if journal else (1 if auto_commit else PASS_ROWS)


class DrainCheck:
    """What every drain must leave: an empty table, a line for every row,
    whole fixed-length lines only, and no more duplicates than allowed."""

    def assert_drained_at_least_once(self, node, db, rows, max_extra, pieces=None):
        # pieces: the contents of bill files and of files taken from them (else the node's)
        self.assertEqual(db.pending(), 0)
        lines = [l for data in pieces or [node.bill_bytes()]
                 for l in data.decode().splitlines(keepends=True)]
        torn = [l for l in lines if len(l) != LINE_LEN]
        self.assertEqual(torn, [], "only whole lines in the bill file")
        counts = serials_in(lines)
        missing = {serial(r.seq) for r in rows} - set(counts)
        self.assertEqual(missing, set(), "rows lost")
        expected = {bill_line(r) for r in rows}
        self.assertEqual(set(lines) - expected, set(), "lines that belong to no row")
        extra = sum(counts.values()) - len(rows)
        self.assertLessEqual(extra, max_extra, counts.most_common(5))
        return extra


# --- process crash ------------------------------------------------------------

class ProcessCrash(FixtureTest, DrainCheck):

    def crash_drain(self, auto_commit, journal, pass_rows=PASS_ROWS):
        total, kills = (10000, 30) if LONG else (2000, 5)
        if auto_commit == PER_PASS:
            total *= 5  # drained some five times as fast: the kills must fall inside
        if pass_rows != PASS_ROWS:
            total, kills = (300000, 15) if LONG else (40000, 3)
        self.db.sql("DELETE FROM TSMS_SND_MSG")
        rows = numbered_rows(total)
        self.db.insert(rows)
        node = Node(self, "crash")
        node.write_config(mode_config(auto_commit, journal, pass_rows))
        node.use_database(self.db)
        rng = random.Random(os.environ.get("KEST_FAULT_SEED", time.time()))
        done = 0
        for _ in range(kills):
            before = self.db.pending()
            if before == 0:
                break
            d = node.start("--active")
            # A random number of rows into the drain, so that every kill
            # falls inside it however fast the machine drains.
            step = rng.randint(1, max(1, total // (kills * 4)))
            wait_for(lambda: self.db.pending() <= before - step or not d.running(),
                     "the drain to move", context=d.context)
            self.assertTrue(d.running(), d.context())
            os.kill(d.pid, signal.SIGKILL)
            d.proc.wait()
            done += 1
        self.assertGreaterEqual(done, kills - 1, "the drain ended before the kills")
        final = node.start("--active")
        wait_for(lambda: self.db.pending() == 0 or not final.running(), "the last drain",
                 timeout=WAIT * 3, context=final.context)
        self.assertTrue(final.running(), final.context())
        final.kill()
        extra = self.assert_drained_at_least_once(
            node, self.db, rows, max_extra=done * extra_per_fault(auto_commit, journal))
        recovered = len(node.log_lines("deleted without writing it again"))
        report("process crash, %s: %d rows, %d SIGKILLs, %d rows billed twice, none lost, "
               "%d rows deleted on restart without a second line"
               % (mode_name(auto_commit, journal, pass_rows), total, done, extra, recovered))
        return extra

    def test_sigkill_at_random_moments_bills_each_row_once_with_the_journal(self):
        for auto_commit, pass_rows in ((PER_ROW, PASS_ROWS), (PER_PASS, PASS_ROWS),
                                       (PER_PASS, LARGE_PASS)):
            with self.subTest(mode_name(auto_commit, 1, pass_rows)):
                self.assertEqual(self.crash_drain(auto_commit, 1, pass_rows), 0)

    def test_sigkill_without_the_journal_loses_no_row(self):
        # A row written but not yet committed when the process died comes
        # twice: at most one row per kill, or one pass with a commit per pass.
        for auto_commit in (PER_ROW, PER_PASS):
            with self.subTest(mode_name(auto_commit, 0)):
                self.crash_drain(auto_commit, 0)


# --- database outage ------------------------------------------------------------

class DatabaseOutage(OwnServerTest, DrainCheck):

    def kill_server(self):
        with open(os.path.join(self.server_dir, "mariadbd.pid")) as f:
            pid = int(f.read())
        os.kill(pid, signal.SIGKILL)
        wait_for(lambda: process_state(pid) in (None, "Z"), "the server to die")

    def outage_drain(self, auto_commit, journal):
        total = 6000 if LONG else 3000
        self.db.sql("DELETE FROM TSMS_SND_MSG")
        rows = numbered_rows(total)
        self.db.insert(rows)
        node = self.node("outage")
        node.write_config(mode_config(auto_commit, journal))
        d = node.start("--active")
        outages = 2
        for n in range(1, outages + 1):
            before = self.db.pending()
            wait_for(lambda: self.db.pending() < before - 200 or not d.running(),
                     "the drain to move", context=d.context)
            self.kill_server()
            fails = len(node.log_lines("Try DB Connect Fail"))
            wait_for(lambda: len(node.log_lines("Try DB Connect Fail")) >= fails + 3,
                     "three failed reconnects", context=d.context)
            self.assertEqual(len(node.log_lines("[DB] Error: ")), n, d.context())
            self.server.start()
        wait_for(lambda: self.db.pending() == 0 or not d.running(), "the drain to finish",
                 timeout=WAIT * 3, context=d.context)
        self.assertTrue(d.running(), d.context())
        d.kill()
        self.assert_about_once_a_second(node.log_lines("Try DB Connect Fail"),
                                        "reconnect attempts")
        # The rows between their lines and their commit when the server died
        # come again; the journal knows their lines.
        extra = self.assert_drained_at_least_once(
            node, self.db, rows, max_extra=outages * extra_per_fault(auto_commit, journal))
        report("database outage, %s: %d rows, %d server kills, %d reconnect failures, "
               "%d rows billed twice, none lost, %d deleted without a second line"
               % (mode_name(auto_commit, journal), total, outages,
                  len(node.log_lines("Try DB Connect Fail")), extra,
                  len(node.log_lines("deleted without writing it again"))))
        self.assertGreaterEqual(len(node.log_lines("[DB] DB Connect Success")), outages + 1)
        return extra

    def test_server_killed_twice_during_a_drain_loses_no_row(self):
        for auto_commit, journal in ((PER_ROW, 1), (PER_PASS, 1), (PER_PASS, 0)):
            with self.subTest(mode_name(auto_commit, journal)):
                extra = self.outage_drain(auto_commit, journal)
                if journal:
                    self.assertEqual(extra, 0, "billed twice despite the journal")


# --- silent database ----------------------------------------------------------------

class StandIn:
    """A database server that hangs, on a loopback port of its own. Silent, it
    accepts connections and never sends a byte. Passing, it forwards each new
    connection to the fixture server, and when told so falls silent by itself
    at a client's n-th statement execution: that packet and everything after
    it, on every connection it forwarded, stays with it."""

    COM_STMT_EXECUTE = 0x17

    def __init__(self, test):
        with open(os.path.join(test_daemon.DB_DIR, "port")) as f:
            self.target = ("127.0.0.1", int(f.read()))
        self.lock = threading.Lock()
        self.generation = 0      # connections of an earlier one are never forwarded again
        self.passing = False
        self.executions_left = None
        self.silent_at = None    # monotonic time it fell silent mid-session
        self.sockets = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept_all, daemon=True).start()
        test.addCleanup(self.close)

    def pass_through(self, silent_at_execution=None):
        with self.lock:
            self.generation += 1
            self.passing = True
            self.executions_left = silent_at_execution

    def close(self):
        self.listener.close()
        with self.lock:
            for s in self.sockets:
                s.close()

    def forwarding(self, generation):
        with self.lock:
            return self.passing and generation == self.generation

    def accept_all(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.sockets.append(client)
                generation = self.generation if self.passing else None
            if generation is not None:
                threading.Thread(target=self.forward, args=(client, generation),
                                 daemon=True).start()

    def forward(self, client, generation):
        server = socket.create_connection(self.target)
        with self.lock:
            self.sockets.append(server)
        threading.Thread(target=self.pump, args=(server, client, generation),
                         daemon=True).start()
        self.pump(client, server, generation, count=True)

    def falls_silent(self, packet):
        """Counts a client's statement execution (a command packet, sequence
        number 0); True when it is the one to fall silent at."""
        if packet[3] != 0 or len(packet) < 5 or packet[4] != self.COM_STMT_EXECUTE:
            return False
        with self.lock:
            if self.executions_left is None:
                return False
            self.executions_left -= 1
            if self.executions_left > 0:
                return False
            self.passing = False
            self.silent_at = time.monotonic()
            return True

    def pump(self, src, dst, generation, count=False):
        buffered = b""
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b""
            if not self.forwarding(generation):
                return
            if not data:
                for s in (src, dst):
                    s.close()
                return
            if not count:
                dst.sendall(data)
                continue
            buffered += data
            while len(buffered) >= 4:
                end = 4 + int.from_bytes(buffered[:3], "little")
                if len(buffered) < end:
                    break
                packet, buffered = buffered[:end], buffered[end:]
                if self.falls_silent(packet):
                    return
                dst.sendall(packet)


class HaStartUp(FixtureTest):
    """The HA library's threads run before the daemon's log is set up."""

    def test_role_report_the_moment_start_up_ends_is_logged(self):
        """The HA threads run before the log is set up: a role report that
        comes the moment the start-up lines are out must reach the log. Here
        the start-up is held for half a second in its write of those lines
        (strace delays every write to standard output, a FIFO)."""
        if not shutil.which("strace"):
            self.skipTest("strace is not installed (scripts/deps.sh)")
        node = self.active_node("early")
        sim = test_ha_daemon.Simulator(self, node)
        fifo = os.path.join(node.base, "stdout.fifo")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        writer = os.open(fifo, os.O_WRONLY)
        d = start_traced(node, "-o /dev/null -P '%s' -e trace=write "
                         "-e inject=write:delay_exit=500000" % fifo, args=(), stdout=writer)
        os.close(writer)
        test_ha_daemon.read_until(reader, b"LOG_FILE_SIZE_MB: ", d)
        sim.report(traced_daemon_pid(node), "active")
        wait_for(lambda: node.log_lines("Current HA state:ACTIVE_SYSTEM"), "the active report",
                 context=d.context)
        kill_traced(node, d)


class SilentDatabase(FixtureTest, DrainCheck):
    """A database server that stops answering, at the connect or in the middle
    of a drain, under the simulated HA master: the daemon gives up on it within
    the time-outs, tries again every second, and is never declared hung."""

    TIMEOUT = 10  # [DB] LOGIN_TIMEOUT's default, the data source's READ_TIMEOUT

    def setUp(self):
        if not os.access(test_ha_daemon.HAFSIM, os.X_OK):
            raise RuntimeError("no simulator at %r (set KEST_HAFSIM)" % test_ha_daemon.HAFSIM)
        super().setUp()
        self.standin = StandIn(self)

    def start_active(self, name):
        """An HA node whose data source, as scripts/db.sh writes it, reaches the
        fixture server through the stand-in; made active by the simulator."""
        node = self.active_node(name)
        section = self.server.dsn_section()
        del section["SOCKET"]
        section.update(SERVER="127.0.0.1", PORT=str(self.standin.port), DATABASE=self.db.name)
        with open(os.path.join(node.odbc_dir, "odbc.ini"), "w") as out:
            out.write("[ALTIBASE_DSN]\n")
            out.writelines("%s=%s\n" % item for item in section.items())
        sim = test_ha_daemon.Simulator(self, node)
        d = node.start()
        d.wait_started()
        sim.report(d.pid, "active")
        wait_for(lambda: node.log_lines("Current HA state:ACTIVE_SYSTEM"), "the active report",
                 context=d.context)
        return node, sim, d

    def wait_for_lines(self, node, d, needle, count, seconds):
        wait_for(lambda: len(node.log_lines(needle)) >= count or not d.running(),
                 "%d lines %r" % (count, needle), timeout=seconds, context=d.context)
        self.assertTrue(d.running(), d.context())

    def assert_gave_up_in_time_and_retried_every_second(self, node):
        """Each failure within the time-out of its attempt, and the next
        attempt a second after each failure."""
        records = node.log_records()
        failures = [i for i, r in enumerate(records)
                    if "Try DB Connect Fail" in r or "[DB] Error: " in r]
        begun = None
        for i, record in enumerate(records):
            if "[DB] Try DB Connect DSN=" in record or "[DB:SELECT] Count: " in record:
                begun = stamp_seconds(record)
            if i in failures:
                waited = stamp_seconds(record) - begun
                self.assertLessEqual(waited, self.TIMEOUT + 3, record)
                retry = next(r for r in records[i:] if "[DB] Try DB Connect DSN=" in r)
                gap = stamp_seconds(retry) - stamp_seconds(record)
                self.assertTrue(0.5 <= gap <= 2.5, "retried after %.1f s: %s" % (gap, retry))

    def assert_never_hung(self, node, sim, d, silent_seconds):
        # Long enough that a stalled worker would have been declared hung.
        self.assertGreater(silent_seconds, 30)
        self.assertTrue(d.running(), d.context())
        self.assertEqual(node.log_lines("is hang up"), [])
        self.assertEqual(sim.received(2003, d.pid), [], "no switch-over requested")
        reports = sim.received(1001, d.pid)
        self.assertGreater(len(reports), silent_seconds / 2, "thread reports every second")
        self.assertEqual([r for r in reports if " down=0 " not in r], [])

    def test_server_that_never_answers_the_connect(self):
        rows = numbered_rows(30)
        self.db.insert(rows)
        node, sim, d = self.start_active("silent-connect")
        self.wait_for_lines(node, d, "[DB] Try DB Connect DSN=", 1, WAIT)
        started = time.monotonic()
        self.wait_for_lines(node, d, "Try DB Connect Fail", 1, self.TIMEOUT + 3)
        self.wait_for_lines(node, d, "Try DB Connect Fail", 3, 3 * (self.TIMEOUT + 3))
        silent_seconds = time.monotonic() - started
        self.standin.pass_through()
        wait_for(lambda: self.db.pending() == 0 or not d.running(), "the drain",
                 context=d.context)
        self.assertIn("handshake", node.log_lines("Try DB Connect Fail")[0])
        self.assert_gave_up_in_time_and_retried_every_second(node)
        self.assert_never_hung(node, sim, d, silent_seconds)
        self.assert_drained_at_least_once(node, self.db, rows, max_extra=0)

    def test_server_that_falls_silent_in_the_middle_of_a_drain(self):
        rows = numbered_rows(50)
        self.db.insert(rows)
        # Passes of a select and nine deletes: the 20th execution is a delete
        # of the second pass.
        self.standin.pass_through(silent_at_execution=20)
        node, sim, d = self.start_active("silent-drain")
        wait_for(lambda: self.standin.silent_at, "the stand-in to fall silent",
                 context=d.context)
        wait_for(lambda: node.log_lines("[DB] Error: ") or not d.running(),
                 "the pass to fail", timeout=self.standin.silent_at + self.TIMEOUT + 3
                 - time.monotonic(), context=d.context)
        self.wait_for_lines(node, d, "Try DB Connect Fail", 2, 2 * (self.TIMEOUT + 3))
        silent_seconds = time.monotonic() - self.standin.silent_at
        left = self.db.seqs()
        self.assertTrue(0 < len(left) < len(rows), "silent in the middle of the drain")
        self.standin.pass_through()
        wait_for(lambda: self.db.pending() == 0 or not d.running(), "the drain to finish",
                 context=d.context)
        self.assertEqual(len(node.log_lines("[DB] Error: ")), 1, d.context())
        self.assert_gave_up_in_time_and_retried_every_second(node)
        self.assert_never_hung(node, sim, d, silent_seconds)
        # Only the row whose delete the silence held may come twice.
        self.assert_drained_at_least_once(node, self.db, rows, max_extra=1)


# --- durability order -------------------------------------------------------------

_SYSCALL = re.compile(r"^(\d+)\s+(\w+)\((\d+)?(.*?)\)\s+=\s+(-?\d+)")
_UNFINISHED = re.compile(r"^(\d+)\s+(.*) <unfinished \.\.\.>$")
_RESUMED = re.compile(r"^(\d+)\s+<\.\.\. \w+ resumed>(.*)$")
needs_strace = unittest.skipUnless(shutil.which("strace"),
                                   "strace is not installed (scripts/deps.sh)")


def start_traced(node, options, args=("--active",), stdout=None, clock=""):
    """Starts the node's daemon (--active unless args say otherwise) under `strace -f -qq
    options`, on a fake clock if given, killed with the test; the handle's pid is strace's."""
    wrapper = os.path.join(node.base, "traced-kest")
    with open(wrapper, "w") as f:
        f.write("#!/bin/sh\nexec strace -f -qq %s %s %s \"$@\"\n"
                % (options, clock, test_daemon.BIN))
    os.chmod(wrapper, 0o755)
    old_bin, test_daemon.BIN = test_daemon.BIN, wrapper
    try:
        d = node.start(*args, stdout=stdout)
    finally:
        test_daemon.BIN = old_bin
    node.test.addCleanup(kill_traced, node, d)
    return d


def fake_clock(test, node, when):
    """A function that moves a local time, and the clock for start_traced that shows it:
    libfaketime (Debian's faketime) reads the offset from a file at every call."""
    libs = glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1")
    if not libs:
        test.skipTest("faketime is not installed (scripts/deps.sh)")
    path = os.path.join(node.base, "faketime.rc")

    def move(when):  # the file replaced whole: the daemon may read it at any moment
        Path(path + ".new").write_text("%+d\n" % round(when.timestamp() - time.time()))
        os.replace(path + ".new", path)
    move(when)
    return move, ("env LD_PRELOAD=%s FAKETIME_TIMESTAMP_FILE=%s FAKETIME_NO_CACHE=1 "
                  "FAKETIME_DONT_FAKE_MONOTONIC=1 NO_FAKE_STAT=1" % (libs[0], path))


def traced_daemon_pid(node):
    """The pid of a daemon started by start_traced, from its lock file."""
    with open(node.lock) as f:
        return int(f.read().split()[0])


def kill_traced(node, d):
    """Kills a daemon started by start_traced, if its tracer still runs: the daemon
    itself, named by its lock file, goes first, or it would run on detached."""
    try:
        if d.running():
            os.kill(traced_daemon_pid(node), signal.SIGKILL)
    except (OSError, ValueError):
        pass  # it ended meanwhile
    d.kill()


def whole_calls(lines):
    """strace's lines with each call that another thread's call interrupted
    ("<unfinished ...>", later "<... resumed>") joined again, placed where it
    returned."""
    pending = {}
    for line in lines:
        line = line.rstrip("\n")
        m = _UNFINISHED.match(line)
        if m:
            pending[m.group(1)] = m.group(2)
            continue
        m = _RESUMED.match(line)
        if m and m.group(1) in pending:
            yield "%s %s%s" % (m.group(1), pending.pop(m.group(1)), m.group(2))
            continue
        yield line


def unescape(text):
    return text.encode("latin-1").decode("unicode_escape").encode("latin-1")


@needs_strace
class DurabilityOrder(FixtureTest):

    def traced_drain(self, auto_commit, first, bad_at):
        """Drains 60 rows (the one at bad_at cannot be billed) under strace, then idles;
        returns the rows and the trace's events, as a list and as a string of kinds:
        ("D", seq) a delete sent, ("W", seq) a line written, ("S",) the bill file synced,
        ("R", seq) a reject record written, ("s",) the reject file synced, ("C",) a commit.
        The journal records of a pass's lines are durable before its commit (with a
        commit per row, before the row's delete)."""
        self.db.sql("DELETE FROM TSMS_SND_MSG")
        rows = numbered_rows(60, first=first)
        rows[bad_at] = rows[bad_at]._replace(in_group="abc")
        self.db.insert(rows)
        node = mode_node(self, "order", auto_commit)
        trace = os.path.join(node.base, "strace.txt")
        d = start_traced(node, "-s 262144 -xx -o '%s' -e trace=openat,write,pwrite64,fdatasync,"
                         "fsync,sendto,sendmsg,recvfrom,read" % trace)
        wait_idle(node, context=d.context, db=self.db)
        kill_traced(node, d)

        bill_fd = reject_fd = journal_fd = None
        events = []
        recorded = set()  # rows whose journal records were written, not yet synced
        journal_synced = set()
        uncommitted = []  # rows whose lines were written since the last commit
        # A delete is known by the id the server gives its prepare: the reject
        # file's select executes with a row's number too.
        prepares, deletes = {}, {}  # socket: prepare awaiting its answer; (socket, id): params
        with open(trace, errors="replace") as f:
            for line in whole_calls(f):
                m = _SYSCALL.match(line)
                if not m:
                    continue
                _, call, fd, rest, result = m.groups()
                fd, result = None if fd is None else int(fd), int(result)
                data = unescape(rest.split('"')[1]) if '"' in rest else b""
                if call == "openat" and result >= 0:  # data: the path
                    if b"/KEST.journal" in data:
                        journal_fd = result
                    elif b"/SMSC_REJECT_" in data:
                        reject_fd = result
                    elif b"/SMSC_" in data:
                        bill_fd = result
                elif call == "pwrite64" and fd == journal_fd:  # the slots of a pass
                    recorded |= {int.from_bytes(data[k + 16:k + 24], "little", signed=True)
                                 for k in range(0, len(data), 64)
                                 if data[k:k + 4] == JOURNAL_MAGIC}
                elif call == "fdatasync" and fd == journal_fd:
                    self.assertEqual(result, 0, line)
                    journal_synced |= recorded
                    recorded = set()
                elif call == "write" and fd == reject_fd:
                    for seq in re.findall(rb'MSG_SEQ:(\d+)"', data):
                        events.append(("R", int(seq)))
                elif call in ("fdatasync", "fsync") and fd == reject_fd:
                    self.assertEqual(result, 0, line)
                    events.append(("s",))
                elif call == "write" and fd == bill_fd:  # the lines of a commit
                    self.assertEqual((result, result % LINE_LEN), (len(data), 0), line)
                    for k in range(0, result, LINE_LEN):
                        seq = int(data[k:k + LINE_LEN].split()[3][1:])
                        events.append(("W", seq))
                        uncommitted.append(seq)
                elif call in ("fdatasync", "fsync") and fd == bill_fd:
                    self.assertEqual(result, 0, line)
                    events.append(("S",))
                elif call in ("sendto", "sendmsg"):
                    while len(data) >= 4:  # MySQL packets: 3-byte length, number, body
                        end = 4 + int.from_bytes(data[:3], "little")
                        body, data = data[4:end], data[end:]
                        if body[:1] == b"\x16":  # COM_STMT_PREPARE
                            prepares[fd] = body[1:]
                        elif body[:1] == b"\x03" and body[1:].strip().upper() == b"COMMIT":
                            self.assertEqual(set(uncommitted) - journal_synced, set(),
                                             "journal records durable before their commit")
                            uncommitted = []
                            events.append(("C",))
                        elif body[:1] == b"\x17" and (fd, int.from_bytes(body[1:5], "little")) \
                                in deletes:
                            # COM_STMT_EXECUTE: id, flags, iterations, null map,
                            # new-types flag (then a type per key), the keys; a
                            # claim repeats its last key up to its size.
                            n = deletes[(fd, int.from_bytes(body[1:5], "little"))]
                            at = 10 + (n + 7) // 8
                            at += 1 + (2 * n if body[at] == 1 else 0)
                            keys = [int.from_bytes(body[at + 8 * k:at + 8 * k + 8], "little",
                                                   signed=True) for k in range(n)]
                            for seq in sorted(set(keys)):
                                if seq in uncommitted:
                                    self.assertEqual(set(uncommitted) - journal_synced, set(), seq)
                                    uncommitted = []
                                events.append(("D", seq))
                elif call in ("recvfrom", "read") and fd in prepares and len(data) >= 13:
                    # The answer to a prepare: status 0, the statement's id, its columns and
                    # parameters.
                    if prepares.pop(fd).startswith(b"DELETE FROM TSMS_SND_MSG") and data[4] == 0:
                        deletes[(fd, int.from_bytes(data[5:9], "little"))] = \
                            int.from_bytes(data[11:13], "little")
        for kinds in ("D", "WR"):
            self.assertEqual(sorted(e[1] for e in events if e[0] in kinds),
                             [r.seq for r in rows], "every row claimed, and written, once")
        self.assertEqual([e[1] for e in events if e[0] == "R"], [rows[bad_at].seq])
        return rows, events, "".join(e[0] for e in events)

    def test_each_line_is_written_and_synced_before_its_delete_commits(self):
        # Per row: its line (or reject record) written and synced, then its
        # delete, which commits on its own and decides which node bills it.
        rows, events, shape = self.traced_drain(PER_ROW, 1001, bad_at=30)
        self.assertRegex(shape, r"^(?:WSD|RsD)+$")
        for k in (k for k, e in enumerate(events) if e[0] == "D"):
            self.assertEqual(events[k - 2][1], events[k][1], events[k - 2:k + 1])
        report("durability order, commit per row: %d rows, each line or reject record "
               "written and synced, then its delete" % len(rows))

    def test_commit_per_pass_claims_writes_syncs_and_commits_each_pass(self):
        # Per pass: its deletes, its lines (a reject record with its sync among them), one
        # sync, one commit; passes that find nothing commit alone.
        rows, events, shape = self.traced_drain(PER_PASS, 2001, bad_at=40)
        self.assertRegex(shape, r"^(?:D+(?:W|Rs)+SC|C)+$")
        self.assertRegex(shape, r"[^Ss]C", "a pass over the empty table commits alone")
        passes = [events[m.start():m.end()] for m in re.finditer(r"D+(?:W|Rs)+SC", shape)]
        self.assertEqual(len(passes), -(-len(rows) // PASS_ROWS), shape)
        for p in passes:
            self.assertEqual(sorted(e[1] for e in p if e[0] == "D"),
                             sorted(e[1] for e in p if e[0] in "WR"), p)
        report("durability order, commit per pass: %d rows in %d passes, each pass's rows "
               "claimed, written, synced once and committed once" % (len(rows), len(passes)))


# --- journal: a kill between sync and commit ---------------------------------------

    def test_new_bill_file_whose_name_cannot_be_synced_deletes_nothing(self):
        """The directory entry of a new bill file is synced before any line
        in it counts; when that sync fails (EIO injected by strace) the name
        may never reach the disk, so the daemon ends with status 1 and
        deletes nothing."""
        self.db.sql("DELETE FROM TSMS_SND_MSG")
        rows = numbered_rows(PASS_ROWS, first=7001)
        self.db.insert(rows)
        node = Node(self, "dirsync")
        node.write_config(mode_config(PER_ROW, 0))
        node.use_database(self.db)
        d = start_traced(node, "-o /dev/null -P '%s' -e trace=fsync "
                         "-e inject=fsync:error=EIO:when=1" % os.path.realpath(node.bill_dir))
        self.assertEqual(d.wait(), 1, d.context())
        errors = node.log_lines("[DB] Error: ")
        self.assertEqual(len(errors), 1, d.context())
        self.assertIn("Input/output error", errors[0])
        self.assertEqual(self.db.pending(), PASS_ROWS)
        self.assertEqual(node.bill_bytes(), b"")


class JournalRestart(FixtureTest, DrainCheck):
    """The daemon stopped by a debugger right after a sync of its bill file,
    before the deletes of the synced lines, and killed there: the restart
    deletes those rows without writing their lines again."""

    def kill_after_sync(self, node, d, syncs):
        """Lets the daemon run until its `syncs`-th fdatasync has returned
        (a pass's first sync of its bill file comes with the journal's), then
        kills it."""
        gdb = subprocess.Popen(
            ["gdb", "-q", "-batch", "-p", str(d.pid), "-ex", "set confirm off",
             "-ex", "break fdatasync", "-ex", "ignore 1 %d" % (syncs - 1), "-ex", "continue",
             "-ex", "finish", "-ex", "kill"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.addCleanup(lambda: gdb.poll() is None and gdb.kill())
        return gdb

    def killed_after_sync(self, auto_commit, syncs, rows):
        """A node (journal on) that drains the rows inserted once it idles and
        is killed right after its `syncs`-th fdatasync; returns the node and
        the debugger's output."""
        self.db.sql("DELETE FROM TSMS_SND_MSG")
        node = Node(self, "journal")
        node.write_config(mode_config(auto_commit, 1, log_level=5))
        node.use_database(self.db)
        d = node.start("--active")
        wait_for(lambda: node.log_lines("[DB:SELECT] Count: 0"), "the first idle pass",
                 context=d.context)
        gdb = self.kill_after_sync(node, d, syncs)
        # Attached: the breakpoint is set before the daemon runs on.
        wait_for(lambda: self.gdb_waits(d.pid) or gdb.poll() is not None,
                 "the debugger to attach", context=d.context)
        self.db.insert(rows)
        out, _ = gdb.communicate(timeout=WAIT)
        if "ptrace" in out and "not permitted" in out:
            self.skipTest("the debugger may not attach here: " + out[-300:])
        d.proc.wait(timeout=WAIT)
        self.assertEqual(d.proc.returncode, -signal.SIGKILL, out[-2000:])
        return node, out

    def test_kill_between_sync_and_commit_is_restarted_without_a_second_line(self):
        if not shutil.which("gdb"):
            self.skipTest("gdb is not installed (scripts/deps.sh)")
        # (mode, fdatasync calls before the kill, rows written and synced
        # but not deleted at the kill, rows billed and deleted before it)
        cases = ((PER_PASS, 2, PASS_ROWS, 0), (PER_ROW, 4, 1, 2))
        for auto_commit, syncs, held, gone in cases:
            with self.subTest(mode_name(auto_commit, 1)):
                rows = numbered_rows(PASS_ROWS, first=3001)
                node, out = self.killed_after_sync(auto_commit, syncs, rows)
                lines = node.bill_lines()
                self.assertEqual(len(lines), held + gone, out[-2000:])
                self.assertEqual(self.db.pending(), PASS_ROWS - gone)
                if auto_commit == PER_PASS:
                    # The pass's last line torn as a kill in its write would
                    # leave it: its record no longer matches, it is written
                    # again; the other eight are not.
                    path = os.path.join(node.bill_dir, node.bill_files()[0])
                    with open(path, "r+b") as f:
                        f.truncate(os.path.getsize(path) - LINE_LEN // 2)
                again = node.start("--active")
                wait_for(lambda: self.db.pending() == 0 or not again.running(),
                         "the restart to drain", context=again.context)
                self.assertTrue(again.running(), again.context())
                again.kill()
                self.assert_drained_at_least_once(node, self.db, rows, max_extra=0)
                recovered = node.log_lines("deleted without writing it again")
                rewritten = 1 if auto_commit == PER_PASS else 0
                self.assertEqual(len(recovered), held - rewritten, again.context())
                self.assertEqual(len(node.bill_lines()), PASS_ROWS)
                report("journal, %s: killed after the sync of %d lines, before their commit; "
                       "the restart deleted %d without a second line, wrote %d torn one again"
                       % (mode_name(auto_commit, 1), held, len(recovered), rewritten))

    def test_restart_that_cannot_sync_the_bill_file_writes_the_rows_again(self):
        """The lines a killed process left are synced at the restart before
        any row is deleted on their strength; when that sync fails (EIO
        injected by strace on the bill file's first fdatasync) they may never
        reach the disk, so their rows are written again: billed twice, not
        lost."""
        if not shutil.which("gdb") or not shutil.which("strace"):
            self.skipTest("gdb or strace is not installed (scripts/deps.sh)")
        rows = numbered_rows(PASS_ROWS, first=4001)
        node, out = self.killed_after_sync(PER_PASS, 2, rows)
        self.assertEqual(len(node.bill_lines()), PASS_ROWS, out[-2000:])
        bill = os.path.realpath(os.path.join(node.bill_dir, node.bill_files()[0]))
        again = start_traced(node, on_syncs("error=EIO:when=1", bill))
        wait_for(lambda: self.db.pending() == 0 or not again.running(),
                 "the restart to drain", context=again.context)
        self.assertTrue(again.running(), again.context())
        kill_traced(node, again)
        self.assertTrue(node.log_lines("cannot be synced"), again.context())
        self.assertEqual(node.log_lines("deleted without writing it again"), [])
        extra = self.assert_drained_at_least_once(node, self.db, rows, max_extra=PASS_ROWS)
        self.assertEqual(extra, PASS_ROWS)

    @needs_strace
    def test_journal_that_cannot_be_synced_is_shown_off_and_billing_goes_on(self):
        """The journal's first sync (on its own thread, beside the bill
        file's) fails with EIO, injected by strace: the journal is logged
        off and emptied, every row is still billed, and the status file no
        longer claims the journal."""
        self.db.sql("DELETE FROM TSMS_SND_MSG")
        rows = numbered_rows(20, first=5001)
        self.db.insert(rows)
        node = mode_node(self, "journal-eio", PER_PASS)
        # In place already, so that the first sync of the journal is the pass's.
        journal = os.path.join(node.root, "key", "KEST.journal")
        os.makedirs(os.path.dirname(journal), exist_ok=True)
        with open(journal, "wb") as f:
            f.write(EMPTY_JOURNAL)
        d = start_traced(node, on_syncs("error=EIO:when=1", journal))
        status = os.path.join(node.root, "log", "kest.prom")
        wait_for(lambda: self.db.pending() == 0 and os.path.exists(status)
                 and "\nkest_journal 0\n" in Path(status).read_text(),
                 "the drain and the journal shown off", context=d.context)
        kill_traced(node, d)
        self.assertEqual(len(node.log_lines("cannot be synced")), 1, d.context())
        self.assert_drained_at_least_once(node, self.db, rows, max_extra=0)
        # Emptied as it went off: no record of the pass it failed in may
        # name a place that the lines written after it fill.
        self.assertEqual(Path(journal).read_bytes().strip(b"\0"), b"")

    @staticmethod
    def gdb_waits(pid):
        """The daemon is stopped or traced: the debugger is attached."""
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("TracerPid:"):
                        return int(line.split()[1]) != 0
        except OSError:
            return False
        return False


# --- a pair of nodes on one database, and a collector of their files -------------------

def syncing_in(pid, folder):
    """Whether a thread of pid sits in fdatasync (call 75; 83 on aarch64) on a file of folder."""
    try:
        return any(w[0] == {"x86_64": "75", "aarch64": "83"}[os.uname().machine] and os.readlink(
            "/proc/%d/fd/%d" % (pid, int(w[1], 16))).startswith(os.path.realpath(folder) + "/")
            for w in (p.read_text().split() for p in Path("/proc/%d/task" % pid).glob("*/syscall")))
    except (OSError, ValueError, IndexError):
        return False  # a thread ended or left its call meanwhile


def on_syncs(inject, *paths, bills_of=None):
    """strace options that inject (in strace's terms) into the fdatasync calls on
    paths, and on the bill files of the node bills_of of the days around now."""
    paths += tuple("%s/SMSC_%s_000" % (bills_of.bill_dir, day) for day in
                   (test_daemon.today_dates() if bills_of else ()))
    return "-o /dev/null %s -e trace=fdatasync -e inject=fdatasync:%s" % (
        " ".join("-P '%s'" % os.path.realpath(p) for p in paths), inject)


def wait_idle(*nodes, context=None, db=None):
    """Waits for db's table to drain, if given, then for two more pass ends or
    role checks of each node: the second comes after a pass begun after that."""
    if db:
        wait_for(lambda: db.pending() == 0, "the drain", timeout=WAIT * 3, context=context)

    def ends(node):
        return len([r for r in node.log_records() if "[DB:SELECT] Count:" in r
                    or "[DB] retryConnectDBWithInterval" in r])
    counts = [ends(node) for node in nodes]
    wait_for(lambda: all(ends(n) >= c + 2 for n, c in zip(nodes, counts)),
             "the nodes to idle", context=context)


def top_up(db, rows, low, batch, bad_every=0):
    """Adds batch rows, numbered on from rows (which keeps them), when fewer than low
    are pending; every bad_every-th cannot be billed (IN_GROUP "abc")."""
    if db.pending() < low:
        rows += [r._replace(in_group="abc") if bad_every and r.seq % bad_every == 0 else r
                 for r in numbered_rows(batch, first=len(rows) + 1)]
        db.insert(rows[-batch:])


@needs_strace
class PairHandOver(FixtureTest, DrainCheck):
    """Two nodes under simulated HA masters: the role moves, or the active node
    stops, while rows are billed. A node claims its rows by their deletes
    before it writes their lines, so each row gets one line in all."""

    def pair(self, auto_commit, slow=None, pass_rows=PASS_ROWS):
        """Nodes a and b on a database of their own, started without a role as a
        pair's are (each sync of their bill files held slow[i] s), a active."""
        self.db = test_daemon.Database(self, self.server)  # the last mode's pair runs on in its
        self.rows, self.runs = [], {}  # running node -> (handle, daemon pid)
        self.nodes = [mode_node(self, name, auto_commit, pass_rows)
                      for name in ("pair-a", "pair-b")]
        self.sims = [test_ha_daemon.Simulator(self, n, "standby,active") for n in self.nodes]
        for i, node in enumerate(self.nodes):
            self.start(i, slow and on_syncs("delay_exit=%d" % (slow[i] * 1e6), bills_of=node))
        self.make_active(0)

    def start(self, i, trace=None):
        """Starts node i (under `strace trace` if given) as standby."""
        d = start_traced(self.nodes[i], trace, args=()) if trace else self.nodes[i].start()
        d.wait_started()
        self.runs[i] = (d, traced_daemon_pid(self.nodes[i]))
        self.sims[i].report(self.runs[i][1], "standby")

    def make_active(self, i):
        """The masters move the role to node i; the other hears standby first."""
        for j, own, peer in ((1 - i, "standby", "active"), (i, "active", "standby")):
            self.sims[j].command("role %s %s" % (own, peer))
            if j in self.runs:
                self.sims[j].report(self.runs[j][1], own)
        self.active = i

    def settle(self):
        """Once the table is drained and the running nodes idle, each row is billed once."""
        wait_idle(*(self.nodes[i] for i in self.runs), context=self.context, db=self.db)
        self.assert_drained_at_least_once(None, self.db, self.rows, 0, [
            Path(n.bill_dir, f).read_bytes() for n in self.nodes for f in n.bill_files()])

    def context(self):
        return "\n".join("node %s: %s" % ("ab"[i], d.context()) for i, (d, _) in self.runs.items())

    def test_role_moves_while_the_active_node_syncs_bill_each_row_once(self):
        # Each move comes while the active node sits in a held sync of its bill
        # file: the new one meets rows claimed and not committed yet.
        moves = 20 if LONG else 4
        for auto_commit, pass_rows in ((PER_ROW, PASS_ROWS), (PER_PASS, PASS_ROWS),
                                       (PER_PASS, LARGE_PASS)):
            with self.subTest(mode_name(auto_commit, 1, pass_rows)):
                self.pair(auto_commit, (1.2, 3.0), pass_rows)  # s a sync is held on a, on b
                low = 2 * pass_rows if auto_commit == PER_PASS else 3
                for _ in range(moves):
                    top_up(self.db, self.rows, low, 2 * low)
                    i = self.active
                    wait_for(lambda: syncing_in(self.runs[i][1], self.nodes[i].bill_dir),
                             "the active node in a sync of its bill file", context=self.context)
                    self.make_active(1 - i)
                self.settle()
                lost = sum(len(n.log_lines("already deleted by another")) for n in self.nodes)
                report("pair, %s: %d role moves in held syncs, %d rows billed once, %d claims lost"
                       % (mode_name(auto_commit, 1, pass_rows), moves, len(self.rows), lost))

    def test_stops_of_the_active_node_under_load_bill_each_row_once(self):
        # SIGTERM to the active node while it drains; the other is made active, the stopped one
        # comes back. Last, a SIGHUP to one held 10 s in its first pass's journal sync abandons
        # that pass after 3 s.
        stops = 10 if LONG else 3
        rng = random.Random(os.environ.get("KEST_FAULT_SEED", time.time()))
        for auto_commit in (PER_ROW, PER_PASS):
            with self.subTest(mode_name(auto_commit, 1)):
                self.pair(auto_commit)
                low = 3000 if auto_commit == PER_ROW else 10000
                for k in range(stops + 1):
                    i = self.active
                    d, pid = self.runs[i]
                    top_up(self.db, self.rows, low, low)
                    before, step = self.db.pending(), rng.randint(1, 300)
                    wait_for(lambda: syncing_in(pid, os.path.dirname(journal)) if k == stops
                             else self.db.pending() <= before - step,
                             "the drain to move (at last, the held sync)", context=self.context)
                    # Timed to the switch-over request, sent just before the
                    # exit: a tracer may hold on to the ending process longer.
                    started = time.monotonic()
                    signum = signal.SIGHUP if k == stops else signal.SIGTERM
                    os.kill(pid, signum)
                    wait_for(lambda: self.sims[i].received(2003, pid), "the switch-over request",
                             context=self.sims[i].output)
                    took = time.monotonic() - started
                    self.assertEqual((d.wait(), "## Catch The Signal %d\n## Exit KEST...\n" % signum
                                      in d.stdout(), self.db.pending() > 0), (0, True, True),
                                     "status 0, the signal's lines, under load\n" + d.context())
                    del self.runs[i]
                    self.make_active(1 - i)
                    if k == stops - 1:
                        # Held on the journal's own thread (strace counts `when`
                        # per thread), so the ending's cut and sync of the bill
                        # file are not; laid empty, so start-up syncs nothing.
                        journal = os.path.join(self.nodes[i].root, "key", "KEST.journal")
                        Path(journal).write_bytes(EMPTY_JOURNAL)
                        self.start(i, on_syncs("delay_exit=10000000:when=1", journal))
                        self.make_active(i)
                    elif k < stops:
                        self.start(i)
                self.settle()
                self.assertEqual(len(self.nodes[i].log_lines(
                    "[STOP] The pass in flight did not end within 3 s: abandoned, its rows come "
                    "again")), 1, d.context())
                self.assertLess(took, 8, "the stop waited for the sync held 10 s")
                report("pair, %s: %d SIGTERMs under load and a SIGHUP in a held sync, %d rows billed "
                       "once" % (mode_name(auto_commit, 1), stops, len(self.rows)))


@needs_strace
class Collector(FixtureTest, DrainCheck):
    """A collector moves or removes today's bill and reject files while the daemon
    writes them: each row keeps one line across the files at the path and taken."""

    def test_files_taken_mid_drain_leave_each_row_in_one_file(self):
        # Bill-file syncs held 0.3 s: both files moved while a pass sits in its sync, then
        # the new bill file removed while one does (the pass rolls back), then the reject file.
        for auto_commit in (PER_ROW, PER_PASS):
            with self.subTest(mode_name(auto_commit, 1)):
                self.db = test_daemon.Database(self, self.server)  # the last mode's runs on in its
                self.take_files_mid_drain(auto_commit)

    def take_files_mid_drain(self, auto_commit):
        node = mode_node(self, "collect", auto_commit)
        rows, low, kept = [], 12 if auto_commit == PER_ROW else 40, []  # kept: the files taken
        top_up(self.db, rows, low, 2 * low, 10)
        d = start_traced(node, on_syncs("delay_exit=300000", bills_of=node))

        def wait(what, condition):  # rows keep coming, so that passes (and their syncs) do
            wait_for(lambda: top_up(self.db, rows, low, low, 10) or condition(), what,
                     context=d.context)

        def noticed(path):
            return len(node.log_lines("[FILE] %s moved or removed: the file at its path is used "
                                      "from here on" % path))

        def keep(path):  # held open, to read what the daemon leaves in it
            kept.append(self.enterContext(open(path, "rb")))
            return path

        wait("a bill and a reject file", lambda: node.bill_files() and os.listdir(node.reject_dir))
        bill = os.path.join(node.bill_dir, node.bill_files()[-1])
        reject = os.path.join(node.reject_dir, sorted(os.listdir(node.reject_dir))[-1])
        wait("a pass in its sync", lambda: syncing_in(traced_daemon_pid(node), node.bill_dir))
        for path in (bill, reject):
            os.rename(keep(path), os.path.join(node.base, os.path.basename(path)))
        wait("notice of both moves", lambda: noticed(bill) and noticed(reject))
        wait("a pass in its sync", lambda: syncing_in(traced_daemon_pid(node), node.bill_dir))
        os.unlink(keep(bill))
        late = {serial(s) for s in self.db.seqs()}  # none may keep a line in the removed file
        wait_for(lambda: noticed(bill) == 2, "notice of the removal", context=d.context)
        wait("a new reject file", lambda: os.path.exists(reject))
        os.unlink(keep(reject))
        wait("notice of the removal", lambda: noticed(reject) == 2)
        late_rejects = set(self.db.seqs())  # still pending when the removal was noticed
        self.assertTrue(node.log_lines("[FILE] %s removed before the commit of its lines: the "
                                       "pass is rolled back, its rows come again" % bill))
        wait_idle(node, context=d.context, db=self.db)

        bills = [kept[0].read(), kept[2].read()] + [
            Path(node.bill_dir, f).read_bytes() for f in node.bill_files()]
        self.assert_drained_at_least_once(None, self.db, [r for r in rows if r.seq % 10], 0, bills)
        self.assertEqual(set(serials_in(bills[1].decode().splitlines())) & late, set(),
                         "lines of rows committed after the removal left in the removed file")
        rejects = [kept[1].read(), kept[3].read()] + [
            Path(node.reject_dir, f).read_bytes() for f in os.listdir(node.reject_dir)]
        self.assertTrue(all(data.endswith(b"\r\n") for data in rejects), "whole records only")
        records = [Counter(int(rec[2]) for rec in csv.reader(io.StringIO(
            data.decode(), newline=""), strict=True) if rec[0] != "time") for data in rejects]
        self.assertEqual(sum(records, Counter()), Counter(r.seq for r in rows if r.seq % 10 == 0),
                         "bad rows once")
        self.assertEqual(set(records[1]) & late_rejects, set(),
                         "records of rows committed after the removal noticed")
        self.assertEqual((noticed(bill), noticed(reject)), (2, 2))
        report("collector, %s: %d rows (%d set aside) billed once across today's files, moved "
               "and removed mid-drain" % (mode_name(auto_commit, 1), len(rows), len(rows) // 10))

    def test_lines_synced_before_a_failed_commit_stay_billed_after_collection_and_midnight(self):
        # The daemon's session is killed while the first sync of its bill file is held 3 s,
        # the file collected, the clock moved past midnight: the pass comes again, deleting.
        for auto_commit, held in ((PER_ROW, 1), (PER_PASS, PASS_ROWS)):
            with self.subTest(mode_name(auto_commit, 1)):
                self.db = test_daemon.Database(self, self.server)  # the last mode's runs on in its
                rows = []
                top_up(self.db, rows, 1, PASS_ROWS)
                node = mode_node(self, "midnight", auto_commit)
                move, clock = fake_clock(self, node, datetime.datetime(2026, 12, 7, 23, 58))
                first = os.path.join(node.bill_dir, "SMSC_2026-12-07_000")
                taken = os.path.join(node.base, "taken")
                d = start_traced(node, on_syncs("delay_exit=3000000:when=1", first), clock=clock)
                d.wait_started()
                pid = traced_daemon_pid(node)
                wait_for(lambda: syncing_in(pid, node.bill_dir), "the first sync of the bill file",
                         context=d.context)
                session, = self.db.sql("SELECT ID FROM information_schema.PROCESSLIST WHERE "
                                       "DB = DATABASE() AND ID <> CONNECTION_ID()").split()
                self.server.sql("KILL " + session)  # the daemon's: its commit fails
                os.rename(first, taken)
                move(datetime.datetime(2026, 12, 8, 0, 0, 5))
                self.assertTrue(syncing_in(pid, node.base), "all done within the held sync")
                wait_idle(node, context=d.context, db=self.db)  # the pass came again
                recovered = node.log_lines("deleted without writing it again")
                self.assertEqual([l.startswith("[12/08 ") and "already billed in SMSC_2026-12-07_"
                                  "000 at " in l for l in recovered], [True] * held, recovered)
                self.assertEqual(len(Path(taken).read_bytes()), held * LINE_LEN)
                self.assertLessEqual(set(node.bill_files()), {"SMSC_2026-12-08_000"})
                self.assert_drained_at_least_once(None, self.db, rows, 0, [
                    Path(taken).read_bytes()] + [
                    Path(node.bill_dir, f).read_bytes() for f in node.bill_files()])
                report("midnight, %s: commit failed after the sync of %d lines, file collected, "
                       "date changed; retried: billed once" % (mode_name(auto_commit, 1), held))


# --- start-up: torn tails and the journal's lock -----------------------------------------

class StartUpGuards(FixtureTest):

    @needs_strace
    def test_standby_start_cuts_torn_tails_and_a_second_instance_is_refused(self):
        # A run two days ago (fake clock) is killed as it begins its first pass's sync: the
        # journal names its bill file; yesterday's files are the newest. A standby start cuts
        # their torn tails, syncs the cuts and says so; its journal's lock refuses a second
        # instance on the key folder and goes with the process.
        old, newest = (datetime.date.today() - datetime.timedelta(days=n) for n in (2, 1))
        top_up(self.db, [], 1, PASS_ROWS, PASS_ROWS)
        node = mode_node(self, "torn", PER_PASS)
        old_bill = os.path.join(node.bill_dir, "SMSC_%s_000" % old)
        _, clock = fake_clock(self, node, datetime.datetime.combine(old, datetime.time(12)))
        killed = start_traced(node, on_syncs("signal=SIGKILL:when=1", old_bill), clock=clock)
        killed.wait()
        lines = Path(old_bill).read_bytes()
        self.assertEqual((self.db.pending(), len(lines)), (PASS_ROWS, (PASS_ROWS - 1) * LINE_LEN),
                         "killed before its commit\n" + killed.context())
        rejected = Path(node.reject_dir, "SMSC_REJECT_%s.csv" % old).read_bytes()
        record = rejected[rejected.index(b"\r\n") + 2:]
        self.assertIn(b'MSG_SEQ:%d"' % PASS_ROWS, record)

        newest_bill = os.path.join(node.bill_dir, "SMSC_%s_000" % newest)
        newest_reject = os.path.join(node.reject_dir, "SMSC_REJECT_%s.csv" % newest)
        whole = {old_bill: lines, newest_bill: lines[:2 * LINE_LEN], newest_reject: rejected}
        half = lines[-LINE_LEN:][:LINE_LEN // 2]
        test_ha_daemon.Simulator(self, node, "standby,active")
        other = os.path.join(node.base, "other.ini")  # the same key folder, a lock file of its own
        Path(other).write_text(Path(node.config).read_text().replace(
            "[COMMON]\n", "[COMMON]\nLOCK_FILE = %s/other/KEST.EXE\n" % node.base))
        for run, tail in enumerate((record[:12], record[:-2]), 1):  # an open quote; no CR LF
            with self.subTest(reject_tail=tail[-12:]):
                torn = {old_bill: lines + half, newest_bill: whole[newest_bill] + half,
                        newest_reject: rejected + tail}
                for path, data in torn.items():
                    Path(path).write_bytes(data)
                trace = os.path.join(node.base, "cut%d.trace" % run)

                def cut(path):
                    return len(node.log_lines("[FILE] %s ended in a torn line: %d bytes cut off"
                                              % (path, len(torn[path]) - len(whole[path]))))
                before = {p: cut(p) for p in torn}
                d = start_traced(node, "-y -o '%s' %s -e trace=ftruncate,truncate,fdatasync,fsync"
                                 % (trace, " ".join("-P '%s'" % os.path.realpath(p) for p in torn)),
                                 args=())
                wait_for(lambda: all(cut(p) > before[p] for p in torn), "the torn tails cut",
                         context=d.context)
                wait_idle(node, context=d.context)
                second = node.start("-s", "-c", other)
                self.assertEqual(second.wait(), 1, second.context())
                self.assertIn(os.path.join(node.root, "key"), second.stderr())
                self.assertTrue(d.running())
                kill_traced(node, d)  # and its journal's lock with it: the next run starts
                with open(trace, errors="replace") as f:
                    calls = [l for l in whole_calls(f) if l.endswith("= 0")]
                for path in torn:
                    real = os.path.realpath(path)
                    self.assertEqual(cut(path), before[path] + 1, path)
                    self.assertEqual(Path(path).read_bytes(), whole[path], path)
                    self.assertRegex("".join("T" if "truncate(" in l else "S" for l in calls
                                             if "<%s>" % real in l or '"%s"' % real in l),
                                     "T.*S", "%s cut, then synced" % path)
                self.assertEqual(self.db.pending(), PASS_ROWS, "a standby node bills nothing")
                self.assertEqual(node.bill_files(), ["SMSC_%s_000" % day for day in (old, newest)])


# --- disk full --------------------------------------------------------------------

class DiskFull(FixtureTest):

    def mount_small_fs(self, where, size="64k"):
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0755" % size,
                               "tmpfs", where], capture_output=True, text=True)
        if done.returncode != 0:
            self.skipTest("cannot mount a small tmpfs here (needs root): %s"
                          % (done.stderr.strip() or done.returncode))
        self.addCleanup(subprocess.run, ["umount", "-l", where], capture_output=True)

    def test_full_bill_disk_ends_the_process_and_deletes_only_whole_lines(self):
        node = self.active_node("full")
        self.mount_small_fs(node.bill_dir)
        rows = numbered_rows(1500)  # 156,000 bytes of lines for 64 KiB
        self.db.insert(rows)
        d = node.start("--active")
        self.assertEqual(d.wait(timeout=WAIT * 2), 1, d.context())
        errors = node.log_lines("[DB] Error: ")
        self.assertEqual(len(errors), 1, d.context())
        self.assertIn("FileManager write fail : No space left on device", errors[0])
        data = node.bill_bytes()
        self.assertGreater(len(data), 0)
        self.assertEqual(len(data) % LINE_LEN, 0, "no torn line left behind")
        lines = data.decode().splitlines(keepends=True)
        self.assertEqual(set(lines) - {bill_line(r) for r in rows}, set())
        in_file = set(serials_in(lines))
        left = set(self.db.seqs())
        gone = {serial(r.seq) for r in rows if r.seq not in left}
        self.assertEqual(gone - in_file, set(), "rows deleted without their whole line")
        self.assertEqual(in_file - gone, set(), "a line whose row is still pending")
        self.assertEqual(len(lines), len(gone))
        report("disk full: %d of %d rows billed and deleted before the disk filled, "
               "%d left pending, no torn line" % (len(gone), len(rows), len(left)))


# --- hostile rows -------------------------------------------------------------------

def leading_number(text):
    """IN_GROUP as the daemon reads it: blanks, a sign, then digits up to the
    first non-digit."""
    m = re.match(r"\s*([+-]?\d+)", text)
    return int(m.group(1))


def shown(text):
    """A text column as the line shows it: control characters as '?'."""
    return None if text is None else re.sub(r"[\x00-\x1f\x7f]", "?", text)


class HostileRows(FixtureTest, DrainCheck):
    # Widths of the fetch buffers less the terminating zero.
    WIDTH = {"PROC_RESULT": 16, "IN_GROUP": 16, "SERIAL_NUM": 32, "CALLER_NO": 40,
             "CALLEE_NO": 40, "CALLBACK_NO": 40, "IN_TIME": 16, "REPORT_TIME": 16}

    def setUp(self):
        super().setUp()
        # Wider columns than the buffers, so that over-long values can be stored.
        self.db.sql("ALTER TABLE TSMS_SND_MSG " + ", ".join(
            "MODIFY %s VARCHAR(200) NULL" % c for c in self.WIDTH))

    def expected_line(self, row):
        # Widths count bytes: compare byte for byte (as latin-1 text).
        texts = {f: shown(None if getattr(row, f) is None
                          else getattr(row, f).encode().decode("latin-1"))
                 for f in ("serial", "caller", "callee", "callback", "in_time", "report_time")}
        if row.in_group is not None:
            texts["in_group"] = str(leading_number(row.in_group))
        return bill_line(row._replace(**texts))

    def test_odd_but_valid_rows_are_billed_one_line_each(self):
        w = self.WIDTH
        rows = [
            Row(1),  # NULL everywhere
            Row(2, "P" * w["PROC_RESULT"], "0" * 15 + "7", 999, "S" * w["SERIAL_NUM"],
                "1" * w["CALLER_NO"], "2" * w["CALLEE_NO"], "3" * w["CALLBACK_NO"],
                "4" * w["IN_TIME"], "5" * w["REPORT_TIME"]),            # every buffer full
            Row(3, "", None, None, "", "", "", "", "", ""),            # empty texts
            Row(4, "OK", " -5", -1, "S4", "x", None, None, None, None),  # negative groups
            Row(5, "OK", "+42abc", 1000, "S5"),                         # leading digits only
            Row(6, "OK", "2147483647", 2147483647, "S6"),
            Row(7, "OK", "-2147483648", -2147483648, "S7"),
            Row(8, "OK", "1", 1, "S\n8", "010\n12345678", "02\r99", "03\t77", "2026\x01",
                "\x7f\x1b[2J"),                                         # control characters
            Row(9, "OK", "9", 9, "S9", "7" * 60, "8" * 41, None, "6" * 17, "9" * 200),  # cut
            Row(10, "OK", "10", 10, "S10", "\u00e9\u00e8" * 5),          # UTF-8 text
            # As long as its buffer: some drivers leave out the terminating
            # zero; the whole value is billed and nothing beyond it is read.
            Row(11, "OK", "11", 11, "T" * 33, "1" * 41),
        ]
        self.db.insert(rows)
        node = self.active_node("hostile")
        d = node.start("--active")
        wait_for(lambda: self.db.pending() == 0 or not d.running(), "the table to drain",
                 context=d.context)
        self.assertTrue(d.running(), d.context())
        lines = node.bill_bytes().decode("latin-1").split("\n")
        self.assertEqual(lines.pop(), "", "the file ends with a line feed")
        lines = [l + "\n" for l in lines]
        expected = [self.expected_line(r) for r in rows]
        # Values longer than their buffer are billed as cut: the line shows
        # only the first 16 or 14 characters anyway.
        self.assertEqual(sorted(lines), sorted(expected))
        self.assertEqual(expected[0], ALL_NULL_LINE)
        for line in lines:
            self.assertFalse(re.search(r"[\x00-\x09\x0b-\x1f\x7f]", line), repr(line))
        # Fixed columns: 104 bytes while groups lie in 0-999 and serials are
        # at most 10 characters.
        by_seq = dict(zip((r.seq for r in rows), expected))
        self.assertEqual(len(by_seq[1].encode()), LINE_LEN)
        self.assertEqual(len(by_seq[8].encode()), LINE_LEN)
        self.assertIn(" -05 -01 ", by_seq[4])

    def bad_row(self, seq):
        """A row that cannot be billed, of one of five kinds, with values
        that test the reject file's quoting: separators, quotes, line feeds,
        empty texts, NULLs and values far longer than their buffers."""
        kind = (seq // 500) % 5
        if kind == 0:
            return Row(seq, 'a,"b"', "", 1, "S%d" % seq, "line\nfeed\tx")
        if kind == 1:
            return Row(seq, "OK", "abc", None, "", None, '"', ",")
        if kind == 2:
            return Row(seq, None, "99999999999", 7, "S%d" % seq)
        if kind == 3:
            return Row(seq, "OK", "1" * 18, 1, "S%d" % seq, "7" * 200)
        return Row(seq, "", "1", 1, "S" * 34 + ',"\n' + "s" * 100, "", "", "", "", "")

    def test_rows_that_cannot_be_billed_are_set_aside_whole_and_billing_goes_on(self):
        # Rows one by one, and a bad row inside each pass of 500.
        for name, pass_rows in (("reject", PASS_ROWS), ("reject-500", LARGE_PASS)):
            with self.subTest(name):
                self.db.sql("DELETE FROM TSMS_SND_MSG")
                self.set_aside_drain(name, pass_rows)

    def set_aside_drain(self, name, pass_rows):
        total = 20000 if LONG else 2500
        rows = numbered_rows(total)
        bad = [self.bad_row(r.seq) for r in rows if r.seq % 500 == 0]
        good = [r for r in rows if r.seq % 500 != 0]
        self.db.insert(good + bad)
        node = self.active_node(name)
        if pass_rows != PASS_ROWS:
            node.write_config(mode_config(PER_PASS, 1, pass_rows))
        d = node.start("--active")
        wait_for(lambda: self.db.pending() == 0 or not d.running(), "the table to drain",
                 timeout=WAIT * 3, context=d.context)
        self.assertTrue(d.running(), d.context())
        # Every good row billed, once: the daemon never ended.
        self.assert_drained_at_least_once(node, self.db, good, max_extra=0)

        files = os.listdir(node.reject_dir)
        self.assertEqual(len(files), 1, files)
        self.assertIn(files[0], {"SMSC_REJECT_%s.csv" % day for day in test_daemon.today_dates()})
        raw = Path(node.reject_dir, files[0]).read_bytes().decode()
        records = list(csv.reader(io.StringIO(raw, newline=""), strict=True))
        header = ["time", "reason"] + list(test_daemon.COLUMNS) + ["PROC_STS"]
        self.assertEqual(records[0], header)
        self.assertEqual(len(records), 1 + len(bad))
        by_seq = {int(rec[2]): rec for rec in records[1:]}
        self.assertEqual(sorted(by_seq), [r.seq for r in bad])

        def field(value):  # NULL: empty and unquoted; text: quoted, quotes doubled
            return "" if value is None else '"%s"' % str(value).replace('"', '""')

        for row in bad:
            rec = by_seq[row.seq]
            self.assertRegex(rec[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
            column = "SERIAL_NUM" if len(row.serial or "") > 32 else "IN_GROUP"
            self.assertIn(column, rec[1])
            # Complete values as stored, not the buffers' cut ones.
            stored = ["" if v is None else str(v) for v in row] + ["0"]
            self.assertEqual(rec[2:], stored)
            self.assertIn("," + ",".join(field(v) for v in list(row) + [0]) + "\r\n", raw)
            self.assertEqual(len(node.log_lines("[REJECT] MSG_SEQ:%d set aside in " % row.seq)),
                             1, d.context())
        status = os.path.join(node.root, "log", "kest.prom")
        wait_for(lambda: "\nkest_rows_rejected_total %d\n" % len(bad) in Path(status).read_text(),
                 "the rejected rows counted in the status file", context=d.context)
        report("reject file, %s: %d rows, %d set aside whole, every other row billed, no restart"
               % (name, total, len(bad)))

    def test_without_a_reject_folder_a_bad_row_ends_the_process_and_stays(self):
        """A good row before it in the pass is billed once either way: with a
        commit per pass its delete is never committed, so its line, not yet
        synced, is cut off as the process ends (left there, the row came
        again after the restart and was billed twice)."""
        for auto_commit in (PER_ROW, PER_PASS):
            with self.subTest(mode=mode_name(auto_commit, 0)):
                self.db.sql("DELETE FROM TSMS_SND_MSG")
                good, bad = Row(21, "OK", "7", 1, "S21"), Row(22, "OK", "abc", 1, "S22")
                self.db.insert([good, bad])
                node = Node(self, "refused")
                node.write_config(mode_config(auto_commit, 0, reject_path=""))
                node.use_database(self.db)
                d = node.start("--active")
                self.assertEqual(d.wait(), 1, d.context())
                errors = node.log_lines("[DB] Error: ")
                self.assertEqual(len(errors), 1, d.context())
                self.assertIn("IN_GROUP is not a number [abc] MSG_SEQ:22", errors[0])
                billed = [l.split()[3] for l in node.bill_lines()]
                if auto_commit == PER_ROW:
                    self.assertEqual((self.db.seqs(), billed), ([bad.seq], ["S21"]))
                else:
                    self.assertEqual((self.db.seqs(), billed), ([good.seq, bad.seq], []))
                self.assertEqual(os.listdir(node.reject_dir), [])
                self.assertNotIn("AddressSanitizer", d.stderr())


# --- configuration --------------------------------------------------------------

class Configuration(unittest.TestCase):
    """Every hostile configuration ends in a clear start-up failure (status
    1, a "Failed" line) or a start with the documented defaults; never in a
    crash or a hang."""

    def run_standby(self, node, *args, **kw):
        d = node.start("-s", *args, **kw)
        wait_for(lambda: "LOG_FILE_SIZE_MB: " in d.stdout() or not d.running(),
                 "start-up to end", context=d.context)
        if d.running():
            out = d.stdout()
            d.kill()
            return None, out, d.stderr()
        rc = d.wait()
        self.assertGreaterEqual(rc, 0, "ended by signal %d\n%s" % (-rc, d.context()))
        self.assertNotIn("Sanitizer", d.stderr())
        return rc, d.stdout(), d.stderr()

    def assert_defaults(self, node, out):
        self.assertIn("LOG_PATH: %s\n" % node.log_prefix, out)
        self.assertIn("LOG_LEVEL: 3\n", out)
        self.assertIn("LOG_FILE_COUNT: 10\n", out)

    def assert_clear_failure(self, rc, err, *parts):
        self.assertEqual(rc, 1, err)
        last = err.splitlines()[-1] if err else ""
        self.assertTrue(last.startswith("Failed"), err)
        for part in parts:
            self.assertIn(part, last)

    def test_empty_binary_huge_and_directory_files_give_values_or_defaults(self):
        node = Node(self, "cfgfiles")
        node.write_config("")
        rc, out, _ = self.run_standby(node)
        self.assertIsNone(rc)
        self.assert_defaults(node, out)

        with open(node.config, "wb") as f:
            f.write(bytes(random.Random(11).randrange(256) for _ in range(64 * 1024)))
            f.write(b"\0\0[COMMON\0]\n\xff\xfe[COMMON]\n\0LOG_LEVEL=9\n")
        rc, out, _ = self.run_standby(node)
        self.assertIsNone(rc)
        self.assert_defaults(node, out)

        # 8 MB of long junk lines before the sections: read, not choked on.
        with open(node.config, "w") as f:
            junk = ("x" * 3000 + "[COMMON] LOG_LEVEL=1 =\n") * 2700
            f.write(junk + "[COMMON]\nLOG_LEVEL = 4\n[BILL]\n")
        started = time.monotonic()
        rc, out, _ = self.run_standby(node)
        self.assertIsNone(rc)
        self.assertIn("LOG_LEVEL: 4\n", out)
        self.assertLess(time.monotonic() - started, WAIT)

        # Words where numbers belong: the defaults, said on the way, never a
        # silent 0 (which would turn the sync and the journal off).
        node.write_config("[COMMON]\nLOG_LEVEL = verbose\n[BILL]\nJOURNAL = on\n"
                          "BILL_SYNC = 7x\n")
        rc, out, _ = self.run_standby(node)
        self.assertIsNone(rc)
        self.assert_defaults(node, out)
        self.assertIn("Value of [COMMON] LOG_LEVEL is not a number [verbose]: "
                      "its default 3 is used\n", out)
        self.assertIn("Value of [BILL] JOURNAL is not a number [on]: its default 1 is used\n",
                      out)
        self.assertNotIn("BILL_SYNC", out)  # leading digits count
        self.assertEqual(len(node.log_lines("is not a number [")), 2)

        # A directory where the file should be: it exists, nothing is read.
        os.remove(node.config)
        os.makedirs(node.config)
        rc, out, _ = self.run_standby(node)
        self.assertIsNone(rc)
        self.assert_defaults(node, out)

    def test_unreadable_file_gives_the_defaults(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run the daemon as another user")
        node = Node(self, "cfgperm")
        node.write_config(config_text(log_level=5))
        os.chmod(node.config, 0)
        for dirpath, dirnames, _ in os.walk(node.base):
            os.chmod(dirpath, 0o777)
        os.chmod(node.base, 0o777)
        env = node.env()
        with open(os.path.join(node.base, "out"), "wb") as out, \
                open(os.path.join(node.base, "err"), "wb") as err:
            proc = subprocess.Popen([test_daemon.BIN, "-s"], stdout=out, stderr=err, env=env,
                                    cwd=node.base, preexec_fn=lambda: (os.setgid(65534),
                                                                       os.setuid(65534)))
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(), proc.wait()))
        def text(name):
            with open(os.path.join(node.base, name), errors="replace") as f:
                return f.read()
        wait_for(lambda: "LOG_FILE_SIZE_MB" in text("out") or proc.poll() is not None,
                 "start-up to end")
        self.assertIsNone(proc.poll(), text("err"))
        self.assert_defaults(node, text("out"))

    def test_overlong_values_and_lines_are_refused_by_name(self):
        node = Node(self, "cfglong")
        for section, key in (("COMMON", "LOG_PATH"), ("COMMON", "LOCK_FILE"),
                             ("BILL", "BILL_PATH"), ("DB", "PWD")):
            size = 63 if key == "PWD" else 1023
            value = "/" + "v" * size  # one more than fits
            node.write_config("[%s]\n%s = %s\n" % (section, key, value))
            rc, out, err = self.run_standby(node)
            self.assert_clear_failure(rc, err, "[%s] %s" % (section, key), str(size))
            self.assertNotIn(value, err, "the value itself is not echoed")
        # A value that fits but expands beyond its field is cut at the field's
        # 1,023 characters, never written past it.
        node.write_config("[COMMON]\nLOG_PATH = ${KEST_FAULT_HUGE}/log\n")
        rc, out, err = self.run_standby(node, extra_env={"KEST_FAULT_HUGE": "/h" * 1500})
        self.assertIsNone(rc, err)
        self.assertIn("LOG_PATH: %s\n" % ("/h" * 1500)[:1023], out)

    def test_paths_that_do_not_expand_are_used_as_written_or_refused(self):
        node = Node(self, "cfgexp")
        odd = os.path.join(node.base, "odd")
        os.makedirs(odd)
        cases = [
            # shell syntax wordexp refuses: the text stays as written
            ("LOG_PATH = %s/a|b/K" % odd, "%s/a|b/K" % odd),
            ("LOG_PATH = %s/c;d/K" % odd, "%s/c;d/K" % odd),
            ("LOG_PATH = %s/$(unclosed/K" % odd, "%s/$(unclosed/K" % odd),
            # an undefined variable is empty
            ("LOG_PATH = %s/${KEST_FAULT_UNSET}x/K" % odd, "%s/x/K" % odd),
        ]
        for line, used in cases:
            with self.subTest(line):
                node.write_config("[COMMON]\n%s\n" % line)
                rc, out, err = self.run_standby(node)
                if rc is None:
                    self.assertIn("LOG_PATH: %s\n" % used, out)
                else:
                    self.assert_clear_failure(rc, err)
        # A lock file where no directory can be made: refused by name.
        node.write_config("[COMMON]\nLOCK_FILE = /proc/kest-fault/KEST\n")
        rc, out, err = self.run_standby(node)
        self.assert_clear_failure(rc, err, "Failed Lock.. Check your/proc/kest-fault/KEST")


# --- credentials and file modes ------------------------------------------------------

class Secrets(FixtureTest):

    def test_credentials_reach_no_log_output_or_dump(self):
        user, password = "kest_fault_user", "Pw-Fault-9x7Q"
        node = Node(self, "secret")
        # Every level, hex and text dumps included; a data source that does
        # not exist, so that every attempt fails and is reported.
        level = 5 | 0x02000000 | 0x01000000
        node.write_config(config_text(log_level=level, dsn="KEST_FAULT_NO_DSN", uid=user,
                                      pwd=password))
        d = node.start("--active")
        d.wait_started()
        wait_for(lambda: len(node.log_lines("Try DB Connect Fail")) >= 2,
                 "two failed connection attempts", context=d.context)
        self.assertIn("UID=%s;PWD=****" % user, node.log_text())
        # A general signal: stack listing and crash dump.
        os.kill(d.pid, signal.SIGHUP)
        self.assertEqual(d.wait(), 0, d.context())
        dumps = glob.glob("/tmp/down_*_%d.log" % d.pid)
        for dump in dumps:
            self.addCleanup(os.remove, dump)
        listing = os.path.join(node.base, "down_KEST_%d.core" % d.pid)
        self.assertTrue(os.path.exists(listing), os.listdir(node.base))
        outputs = {"stdout": d.stdout(), "stderr": d.stderr()}
        for path in dumps + [p for p in glob.glob(os.path.join(node.base, "**"), recursive=True)
                             if os.path.isfile(p) and p != node.config]:
            with open(path, "rb") as f:
                outputs[path] = f.read().decode("latin-1")
        self.assertGreater(len(outputs), 4)
        for name, text in outputs.items():
            self.assertNotIn(password, text, name)

    def test_files_the_daemon_creates_get_deliberate_modes(self):
        self.db.insert(numbered_rows(3))
        node = self.active_node("modes")
        old = os.umask(0)  # the modes the daemon asks for, unmasked
        try:
            d = self.drain(node, 3)
        finally:
            os.umask(old)
        bill = os.path.join(node.bill_dir, node.bill_files()[0])
        self.assertEqual(stat.S_IMODE(os.stat(bill).st_mode), 0o640, "bill file")
        d.kill()

    def as_nobody(self, act):
        """act() in a forked child that runs as nobody:nogroup."""
        if os.geteuid() != 0:
            self.skipTest("needs root to act as another user")
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
                act()
                code = 0
            finally:
                os._exit(code)
        self.assertEqual(os.waitpid(pid, 0)[1], 0, "as nobody")

    def test_link_planted_beside_the_status_file_is_never_followed(self):
        # Sticky and writable by all, like /tmp; owned by the planter so
        # that the kernel's protected_symlinks would not hide a follow.
        shared = "/tmp/kest-shared-%d-%d" % (os.getpid(), time.monotonic_ns())
        os.mkdir(shared)
        self.addCleanup(shutil.rmtree, shared, True)
        os.chown(shared, 65534, 65534)
        os.chmod(shared, 0o1777)
        status = os.path.join(shared, "kest.prom")
        self.db.insert(numbered_rows(1))
        node = self.active_node("statuslink")
        node.write_config(config_text().replace("[COMMON]", "[COMMON]\nSTATUS_FILE = " + status))
        victim = Path(node.base, "victim")
        victim.write_text("kept\n")
        self.as_nobody(lambda: os.symlink(victim, status + ".tmp"))
        old = os.umask(0o077)  # the mode is set, not left to the umask
        try:
            d = node.start("--active")
        finally:
            os.umask(old)
        wait_for(lambda: os.path.exists(status) and
                 test_daemon.status_sample(status, "kest_rows_billed_total") == 1,
                 "the status after the row", context=d.context)
        self.assertEqual(victim.read_text(), "kept\n")
        self.assertEqual(stat.S_IMODE(os.stat(status).st_mode), 0o640)
        self.assertEqual(sorted(os.listdir(shared)), ["kest.prom", "kest.prom.tmp"])
        d.kill()

    def test_crash_dump_goes_to_a_new_file_when_its_name_is_taken(self):
        node = Node(self, "dumpname")
        node.write_config(config_text())
        d = node.start("--active")
        d.wait_started()
        now = int(time.time())
        taken = ["/tmp/down_%s_%d.log" % (time.strftime("%Y%m%d_%H%M%S", time.localtime(t)),
                                          d.pid) for t in range(now - 1, now + 30)]
        self.as_nobody(lambda: [open(path, "x").close() for path in taken])
        for path in taken:
            self.addCleanup(os.remove, path)
        os.kill(d.pid, signal.SIGHUP)
        self.assertEqual(d.wait(), 0, d.context())
        dumps = glob.glob("/tmp/down_*_%d.*.log" % d.pid)
        for dump in dumps:
            self.addCleanup(os.remove, dump)
        self.assertEqual([os.path.getsize(path) for path in taken], [0] * len(taken))
        self.assertEqual(len(dumps), 1, dumps)
        self.assertEqual(stat.S_IMODE(os.stat(dumps[0]).st_mode), 0o600)
        with open(dumps[0]) as f:
            self.assertIn("Error : signal 1\n", f.read())


if __name__ == "__main__":
    unittest.main()
