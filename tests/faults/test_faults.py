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
import tempfile
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
JOURNAL_MAGIC = (0x4b4a524e).to_bytes(4, "little")  # first bytes of a journal record


def mode_config(auto_commit, journal, **config):
    """The node's configuration with a commit mode and the journal on or off."""
    text = config_text(**config).replace("[DB]\n", "JOURNAL = %d\n[DB]\n" % journal)
    return text + "AUTO_COMMIT = %d\n" % auto_commit


def mode_name(auto_commit, journal):
    return "%s, %s" % ("commit per row" if auto_commit else "commit per pass",
                       "journal" if journal else "no journal")


def extra_per_fault(auto_commit, journal):
    """Rows one kill may bill twice: none with the journal, else the rows
    written and not yet committed (one per row, a pass per pass)."""
    return 0 if journal else (1 if auto_commit else PASS_ROWS)


class DrainCheck:
    """What every drain must leave: an empty table, a line for every row,
    whole fixed-length lines only, and no more duplicates than allowed."""

    def assert_drained_at_least_once(self, node, db, rows, max_extra):
        self.assertEqual(db.pending(), 0)
        data = node.bill_bytes()
        self.assertTrue(data.endswith(b"\n"), "the file ends with a whole line")
        lines = data.decode().splitlines(keepends=True)
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

    def crash_drain(self, auto_commit, journal):
        total, kills = (10000, 30) if LONG else (2000, 5)
        if auto_commit == PER_PASS:
            total *= 5  # drained some five times as fast: the kills must fall inside
        self.db.sql("DELETE FROM TSMS_SND_MSG")
        rows = numbered_rows(total)
        self.db.insert(rows)
        node = Node(self, "crash")
        node.write_config(mode_config(auto_commit, journal))
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
               % (mode_name(auto_commit, journal), total, done, extra, recovered))
        return extra

    def test_sigkill_at_random_moments_bills_each_row_once_with_the_journal(self):
        for auto_commit in (PER_ROW, PER_PASS):
            with self.subTest(mode_name(auto_commit, 1)):
                self.assertEqual(self.crash_drain(auto_commit, 1), 0)

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


def start_traced(node, options, args=("--active",), stdout=None):
    """Starts the node's daemon (--active unless args say otherwise) under
    `strace -f -qq options`; the handle's pid is strace's."""
    wrapper = os.path.join(node.base, "traced-kest")
    with open(wrapper, "w") as f:
        f.write("#!/bin/sh\nexec strace -f -qq %s %s \"$@\"\n" % (options, test_daemon.BIN))
    os.chmod(wrapper, 0o755)
    old_bin, test_daemon.BIN = test_daemon.BIN, wrapper
    try:
        return node.start(*args, stdout=stdout)
    finally:
        test_daemon.BIN = old_bin


def traced_daemon_pid(node):
    """The pid of a daemon started by start_traced, from its lock file."""
    with open(node.lock) as f:
        return int(f.read().split()[0])


def kill_traced(node, d):
    """Kills a daemon started by start_traced: the daemon itself, named by its
    lock file, goes first, or it would run on detached from a killed tracer."""
    os.kill(traced_daemon_pid(node), signal.SIGKILL)
    os.kill(d.pid, signal.SIGKILL)
    d.proc.wait()


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


def delete_seq(buffer_text):
    """The parameter of a statement sent to the server: the number of a text
    DELETE, or the single integer of a binary statement execution (MySQL
    protocol COM_STMT_EXECUTE: header, command, statement id, flags,
    iterations, null map, new-types flag, type, value)."""
    raw = unescape(buffer_text)
    m = re.search(rb"DELETE FROM TSMS_SND_MSG WHERE MSG_SEQ\s*=\s*(\d+)", raw)
    if m:
        return int(m.group(1))
    if len(raw) >= 20 and raw[4] == 0x17:
        value = raw[18:] if raw[15] == 1 else raw[16:]
        if len(value) in (4, 8):
            return int.from_bytes(value, "little", signed=True)
    return None


class DurabilityOrder(FixtureTest):

    def traced_drain(self, auto_commit, first, bad_at=None):
        """Drains 60 rows under strace; returns the rows and the events of the
        trace in order: ("W", seq) a line written to the bill file, ("S",)
        the bill file synced, ("D", seq) a delete sent, ("C",) a commit sent,
        ("R", seq) a reject record written, ("s",) the reject file synced.
        The row at index bad_at, if any, cannot be billed."""
        self.db.sql("DELETE FROM TSMS_SND_MSG")
        rows = numbered_rows(60, first=first)  # never the select's parameter, 10
        if bad_at is not None:
            rows[bad_at] = rows[bad_at]._replace(in_group="abc")
        self.db.insert(rows)
        node = Node(self, "order")
        node.write_config(mode_config(auto_commit, 1))
        node.use_database(self.db)
        trace = os.path.join(node.base, "strace.txt")
        d = start_traced(node, "-s 512 -xx -o '%s' "
                         "-e trace=openat,write,pwrite64,fdatasync,fsync,sendto,sendmsg" % trace)
        wait_for(lambda: self.db.pending() == 0 or not d.running(), "the drain",
                 context=d.context)
        kill_traced(node, d)

        bill_fd = reject_fd = journal_fd = None
        written = set()
        events = []
        recorded = set()  # rows whose journal records were written, not yet synced
        journal_synced = set()
        unsynced = set()
        with open(trace, errors="replace") as f:
            for line in whole_calls(f):
                m = _SYSCALL.match(line)
                if not m:
                    continue
                _, call, fd, rest, result = m.groups()
                if call == "openat" and b"/KEST.journal" in unescape(rest) and int(result) >= 0:
                    journal_fd = int(result)
                elif call == "pwrite64" and fd is not None and int(fd) == journal_fd:
                    slot = unescape(rest.split('"')[1])
                    if slot[:4] == JOURNAL_MAGIC:
                        recorded.add(int.from_bytes(slot[16:24], "little", signed=True))
                elif call == "fdatasync" and fd is not None and int(fd) == journal_fd:
                    self.assertEqual(int(result), 0, line)
                    journal_synced |= recorded
                    recorded = set()
                elif call == "openat" and b"/SMSC_REJECT_" in unescape(rest) and int(result) >= 0:
                    reject_fd = int(result)
                elif call == "openat" and b"/SMSC_" in unescape(rest) and int(result) >= 0:
                    bill_fd = int(result)
                elif call == "write" and fd is not None and int(fd) == reject_fd:
                    data = unescape(rest.split('"')[1])
                    for seq in re.findall(rb'MSG_SEQ:(\d+)"', data):
                        written.add(int(seq))
                        events.append(("R", int(seq)))
                elif call in ("fdatasync", "fsync") and fd is not None and int(fd) == reject_fd:
                    self.assertEqual(int(result), 0, line)
                    events.append(("s",))
                elif call == "write" and fd is not None and int(fd) == bill_fd:
                    seq = int(unescape(rest.split('"')[1]).split()[3][1:])
                    self.assertEqual(int(result), LINE_LEN, line)
                    written.add(seq)
                    unsynced.add(seq)
                    events.append(("W", seq))
                elif call in ("fdatasync", "fsync") and fd is not None and int(fd) == bill_fd:
                    self.assertEqual(int(result), 0, line)
                    unsynced = set()
                    events.append(("S",))
                elif call in ("sendto", "sendmsg") and '"' in rest and bill_fd is not None:
                    text = rest.split('"')[1]
                    seq = delete_seq(text)
                    if seq in written:
                        events.append(("D", seq))
                        # The journal's record of a billed row is durable
                        # before its delete, as the line is.
                        self.assertTrue(seq not in unsynced and (
                            seq in journal_synced or ("R", seq) in events), seq)
                    elif re.search(rb"^....\x03COMMIT", unescape(text), re.S):
                        events.append(("C",))
        self.assertIsNotNone(bill_fd, "the trace shows the bill file opened")
        self.assertEqual(sorted({e[1] for e in events if e[0] == "D"}), [r.seq for r in rows],
                         "every delete seen")
        return rows, events

    def test_each_line_is_written_and_synced_before_its_delete_is_sent(self):
        if not shutil.which("strace"):
            self.skipTest("strace is not installed (scripts/deps.sh)")
        # A row that cannot be billed: its reject record, too, is written and
        # synced before its delete.
        rows, events = self.traced_drain(PER_ROW, 1001, bad_at=30)
        # Per row: its line (or record), the sync, its delete (which commits
        # on its own).
        shape = "".join(e[0] for e in events)
        self.assertRegex(shape, r"^(WSD)*RsD(WSD)*$")
        for k in range(0, len(events), 3):
            self.assertEqual(events[k][1], events[k + 2][1], events[k:k + 3])
        self.assertEqual([e[1] for e in events if e[0] == "R"], [rows[30].seq])
        report("durability order, commit per row: %d rows, each line or reject record written "
               "and synced before its delete" % len(rows))

    def test_commit_per_pass_writes_syncs_deletes_and_commits_each_pass(self):
        if not shutil.which("strace"):
            self.skipTest("strace is not installed (scripts/deps.sh)")
        rows, events = self.traced_drain(PER_PASS, 2001)
        # Per pass: its lines, one sync, its deletes, one commit; passes that
        # find nothing commit alone.
        shape = "".join(e[0] for e in events)
        self.assertRegex(shape, r"^(W+SD+C|C)+$")
        passes = re.findall(r"W+SD+C", shape)
        self.assertEqual(len(passes), -(-len(rows) // PASS_ROWS), shape)
        seqs = iter(e[1] for e in events if e[0] in "WD")
        for p in passes:
            n = p.count("W")
            self.assertEqual(n, p.count("D"))
            w = [next(seqs) for _ in range(n)]
            self.assertEqual(sorted(w), sorted(next(seqs) for _ in range(n)))
        report("durability order, commit per pass: %d rows in %d passes, each pass's lines "
               "written, synced once, then deleted and committed once" % (len(rows), len(passes)))


# --- journal: a kill between sync and commit ---------------------------------------

    def test_new_bill_file_whose_name_cannot_be_synced_deletes_nothing(self):
        """The directory entry of a new bill file is synced before any line
        in it counts; when that sync fails (EIO injected by strace) the name
        may never reach the disk, so the daemon ends with status 1 and
        deletes nothing."""
        if not shutil.which("strace"):
            self.skipTest("strace is not installed (scripts/deps.sh)")
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
        again = start_traced(node, "-o /dev/null -P '%s' -e trace=fdatasync "
                             "-e inject=fdatasync:error=EIO:when=1" % bill)
        wait_for(lambda: self.db.pending() == 0 or not again.running(),
                 "the restart to drain", context=again.context)
        self.assertTrue(again.running(), again.context())
        kill_traced(node, again)
        self.assertTrue(node.log_lines("cannot be synced"), again.context())
        self.assertEqual(node.log_lines("deleted without writing it again"), [])
        extra = self.assert_drained_at_least_once(node, self.db, rows, max_extra=PASS_ROWS)
        self.assertEqual(extra, PASS_ROWS)

    def test_journal_that_cannot_be_synced_is_shown_off_and_billing_goes_on(self):
        """The journal's first sync (on its own thread, beside the bill
        file's) fails with EIO, injected by strace: the journal is logged
        off and emptied, every row is still billed, and the status file no
        longer claims the journal."""
        if not shutil.which("strace"):
            self.skipTest("strace is not installed (scripts/deps.sh)")
        self.db.sql("DELETE FROM TSMS_SND_MSG")
        rows = numbered_rows(20, first=5001)
        self.db.insert(rows)
        node = Node(self, "journal-eio")
        node.write_config(mode_config(PER_PASS, 1))
        node.use_database(self.db)
        # In place already, so that the first sync of the journal is the pass's.
        journal = os.path.join(node.root, "key", "KEST.journal")
        os.makedirs(os.path.dirname(journal), exist_ok=True)
        with open(journal, "wb") as f:
            f.write(bytes(64 * 64))
        d = start_traced(node, "-o /dev/null -P '%s' -e trace=fdatasync "
                         "-e inject=fdatasync:error=EIO:when=1" % os.path.realpath(journal))
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
        total = 20000 if LONG else 2500
        rows = numbered_rows(total)
        bad = [self.bad_row(r.seq) for r in rows if r.seq % 500 == 0]
        good = [r for r in rows if r.seq % 500 != 0]
        self.db.insert(good + bad)
        node = self.active_node("reject")
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
        report("reject file: %d rows, %d set aside whole, every other row billed, no restart"
               % (total, len(bad)))

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


if __name__ == "__main__":
    unittest.main()
