"""The kest daemon under the HA framework, end to end: the real binary with the
project's HA master simulator (hafsim) as its master, role reports, the
liveness reports, the signals and the hang of the worker thread.

Environment (set by CTest): as test_daemon, plus KEST_HAFSIM (the simulator).
"""
import ctypes
import errno
import fcntl
import glob
import os
import pwd
import select
import signal
import socket
import subprocess
import time
import unittest

import test_daemon
from test_daemon import FixtureTest, Row, wait_for

HAFSIM = os.environ.get("KEST_HAFSIM", "")
WAIT = test_daemon.WAIT


def setUpModule():
    test_daemon.setUpModule()
    if not os.access(HAFSIM, os.X_OK):
        raise RuntimeError("no simulator at %s (set KEST_HAFSIM)" % HAFSIM)


class Simulator:
    """hafsim on a node's runtime root, driven through its standard input."""

    def __init__(self, test, node, role="active,standby"):
        self.out_path = os.path.join(node.base, "hafsim.out")
        with open(self.out_path, "wb") as out:
            self.proc = subprocess.Popen([HAFSIM, "--root", node.orvo, "--role", role],
                                         stdin=subprocess.PIPE, stdout=out,
                                         stderr=subprocess.STDOUT)
        test.addCleanup(self.stop)
        wait_for(lambda: "ready master=" in self.output(), "the simulator to be ready",
                 context=self.output)

    def output(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def lines(self, prefix):
        return [l for l in self.output().splitlines() if l.startswith(prefix)]

    def command(self, text):
        replies = len(self.lines("ok")) + len(self.lines("error"))
        self.proc.stdin.write((text + "\n").encode())
        self.proc.stdin.flush()
        wait_for(lambda: len(self.lines("ok")) + len(self.lines("error")) > replies,
                 "the reply to " + text, context=self.output)
        return (self.lines("ok") + self.lines("error"))[-1]

    def report(self, pid, role):
        reply = self.command("send %d 1002 %s" % (pid, role))
        assert reply.startswith("ok"), reply

    def received(self, msg_type, pid):
        return [l for l in self.lines("recv %d " % msg_type) if " pid=%d " % pid in l]

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
                self.proc.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


def rows(first, count):
    return [Row(seq, in_group="1", out_group=2, serial="S%d" % seq)
            for seq in range(first, first + count)]


def lock_is_free(path):
    with open(path, "r+") as f:
        try:
            fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            return False
        fcntl.lockf(f, fcntl.LOCK_UN)
        return True


def read_until(fd, needle, daemon):
    """What the daemon wrote on its stdout pipe, up to and including needle."""
    got = b""
    deadline = time.monotonic() + WAIT
    while needle not in got:
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            raise AssertionError("no %r on stdout\n%s" % (needle, daemon.context()))
        piece = os.read(fd, 4096)
        if not piece:
            raise AssertionError("stdout closed before %r\n%s" % (needle, daemon.context()))
        got += piece
    return got


# write(2)'s system call number, as /proc/<pid>/task/<tid>/syscall shows it.
WRITE_SYSCALL = {"x86_64": 1, "aarch64": 64}[os.uname().machine]


def threads_writing_to(pid, fd):
    """Threads of pid blocked in write(2) on descriptor fd."""
    found = []
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/syscall" % (pid, tid)) as f:
                words = f.read().split()
        except OSError:
            continue
        if len(words) > 1 and words[0] == str(WRITE_SYSCALL) and int(words[1], 16) == fd:
            found.append(tid)
    return found


class HaNode(FixtureTest):
    """A daemon started without a forced role beside its simulated master."""

    def ha_node(self, name, role="active,standby", log_level=3):
        node = self.active_node(name, log_level=log_level)
        sim = Simulator(self, node, role)
        d = node.start()
        d.wait_started()
        return node, sim, d

    def make_active(self, node, sim, d):
        sim.report(d.pid, "active")
        wait_for(lambda: node.log_lines("Current HA state:ACTIVE_SYSTEM"), "the active report",
                 context=d.context)


class Roles(HaNode):

    def test_waits_for_the_active_report_then_drains_cancels_on_standby_and_resumes(self):
        self.db.insert(rows(1, 5))
        node, sim, d = self.ha_node("roles")
        self.assertIn("haf mode : 0NO HAF\n", d.stdout())
        wait_for(lambda: len(node.log_lines("[DB] retryConnectDBWithInterval")) >= 3,
                 "role polling", context=d.context)
        self.assertEqual(node.log_lines("Try DB Connect"), [])
        self.assertEqual(self.db.pending(), 5)
        # Thread reports start once the role callbacks are registered.
        wait_for(lambda: sim.received(1001, d.pid), "a thread report", context=sim.output)

        self.make_active(node, sim, d)
        self.assertEqual(len(node.log_lines(
            "==> OnHafActiveCallback [NONE_SYSTEM -> ACTIVE_SYSTEM]")), 1)
        wait_for(lambda: self.db.pending() == 0, "the drain", context=d.context)
        self.assertEqual(len(node.bill_lines()), 5)

        # Standby with an empty table: the cycle goes on polling...
        sim.report(d.pid, "standby")
        wait_for(lambda: node.log_lines(
            "==> OnHafStandbyCallback [ACTIVE_SYSTEM -> STANDBY_SYSTEM]"), "the standby report",
            context=d.context)
        # ...until it meets a pending row: then it cancels, drops its
        # connection and waits for the active role as before the first one.
        self.db.insert(rows(100, 3))
        wait_for(lambda: node.log_lines("[CANCEL] Try STANDBY Cancel MSG_SEQ:"), "the cancel",
                 context=d.context)
        self.assertEqual(len(node.log_lines("[DB] Selecter -> State:Standby (SelectCdr/")), 1)
        polls = len(node.log_lines("[DB:SELECT] Count:"))
        connects = len(node.log_lines("Try DB Connect"))
        checks = len(node.log_lines("[DB] retryConnectDBWithInterval"))
        wait_for(lambda: len(node.log_lines("[DB] retryConnectDBWithInterval")) >= checks + 3,
                 "role checks after the cancel", context=d.context)
        # While it waits it neither selects nor connects.
        self.assertEqual(len(node.log_lines("[DB:SELECT] Count:")), polls)
        self.assertEqual(len(node.log_lines("Try DB Connect")), connects)
        self.assertEqual(self.db.pending(), 3)

        self.make_active(node, sim, d)
        wait_for(lambda: self.db.pending() == 0, "the drain after the switch-back",
                 context=d.context)
        self.assertEqual(len(node.bill_lines()), 8)
        self.assertEqual(len(node.log_lines("Try DB Connect")), connects + 1)
        self.assertTrue(d.running())

    def test_host_status_report_is_logged_and_changes_nothing(self):
        node, sim, d = self.ha_node("hoststatus")
        self.assertTrue(sim.command("send %d 1005 active" % d.pid).startswith("ok"))
        wait_for(lambda: node.log_lines("==> OnHafHostStatus :: Remote  Admin="),
                 "the host status lines", context=d.context)
        local = node.log_lines("==> OnHafHostStatus :: Local   Admin=")
        self.assertEqual(len(local), 1)
        self.assertEqual(node.log_lines("Current HA state"), [])
        self.assertEqual(node.log_lines("Try DB Connect"), [])

    def test_forced_role_never_starts_the_ha_library(self):
        node = self.active_node("forced")
        sim = Simulator(self, node, "standby,active")
        d = node.start("--active")
        d.wait_started()
        self.assertNotIn("NO HAF", d.stdout())
        self.db.insert(rows(1, 2))
        wait_for(lambda: self.db.pending() == 0, "the drain", context=d.context)
        # No process socket: a standby report cannot reach it.
        self.assertTrue(sim.command("send %d 1002 standby" % d.pid).startswith("error"))
        self.db.insert(rows(10, 2))
        wait_for(lambda: self.db.pending() == 0, "the drain after the report",
                 context=d.context)
        self.assertEqual(sim.received(1001, d.pid), [])
        self.assertEqual(node.log_lines("==> OnHaf"), [])


class Signals(HaNode):

    def tearDown(self):
        for path in glob.glob("/tmp/down_*_%d.log" % getattr(self, "pid", -1)):
            os.remove(path)

    def end_with(self, signum, then=None):
        node, sim, d = self.ha_node("sig%d" % signum)
        self.pid = d.pid
        self.make_active(node, sim, d)
        # Connected first: the connect's own lines would land in the listing's.
        wait_for(lambda: node.log_lines("[DB:SELECT] Count"), "the first pass", context=d.context)
        os.kill(d.pid, signum)
        if then is not None:
            os.kill(d.pid, then)
        self.assertEqual(d.wait(), 0, d.context())
        status = os.path.join(node.root, "log", "kest.prom")
        self.assertEqual(test_daemon.status_sample(status, "kest_up"), 0)
        self.assertEqual(test_daemon.status_sample(status, 'kest_exit_info{reason="stop"}'), 1)
        out = d.stdout()
        self.assertIn("## Catch The Signal %d\n## Exit KEST...\n" % signum, out)
        self.assertTrue(node.log_lines("Catch The Signal %d" % signum))
        wait_for(lambda: sim.received(2003, d.pid), "the switch-over request",
                 context=sim.output)
        request = sim.received(2003, d.pid)
        self.assertEqual(len(request), 1)
        self.assertIn('status=2 cause="Catch The Signal %d"' % signum, request[0])
        self.assertTrue(lock_is_free(node.lock))
        return node, d, out

    def test_terminate_and_interrupt_end_without_listing(self):
        # systemd follows its SIGTERM with SIGCONT: a planned stop all the same.
        for signum, then in ((signal.SIGTERM, None), (signal.SIGINT, None),
                             (signal.SIGTERM, signal.SIGCONT)):
            with self.subTest(signal=signum, then=then):
                node, d, out = self.end_with(signum, then)
                self.assertNotIn("Create_Core", out)
                self.assertFalse(os.path.exists(os.path.join(node.base,
                                                             "down_KEST_%d.core" % d.pid)))
                # The library's backtrace dump skips only a termination request.
                dumps = glob.glob("/tmp/down_*_%d.log" % d.pid)
                self.assertEqual(len(dumps), 0 if signum == signal.SIGTERM else 1)
                for path in dumps:
                    os.remove(path)

    def test_hang_up_and_quit_end_with_listing_and_dump(self):
        for signum in (signal.SIGHUP, signal.SIGQUIT):
            with self.subTest(signal=signum):
                node, d, out = self.end_with(signum)
                listing = os.path.join(node.base, "down_KEST_%d.core" % d.pid)
                self.assertIn("Create_Core\n[CORE] Core file path[./down_KEST_%d.core] \n"
                              " s_log != NULL\npopen\nend\n" % d.pid, out)
                self.assertTrue(os.path.exists(listing))
                if os.access("/usr/bin/pstack", os.X_OK):
                    with open(listing) as f:
                        text = f.read()
                    self.assertTrue(text.startswith("[PSTACK] "), text[:200])
                dumps = glob.glob("/tmp/down_*_%d.log" % d.pid)
                self.assertEqual(len(dumps), 1)
                with open(dumps[0]) as f:
                    self.assertIn(" Error : signal %d\n" % signum, f.read())
                for path in dumps:
                    os.remove(path)

    def test_terminate_is_acted_on_while_a_listing_is_stuck(self):
        node, sim, d = self.ha_node("stuck")
        self.pid = d.pid
        self.make_active(node, sim, d)
        # The hang-up's listing file is a FIFO that nobody reads: the listing
        # never gets past opening it.
        os.mkfifo(os.path.join(node.base, "down_KEST_%d.core" % d.pid))
        os.kill(d.pid, signal.SIGHUP)
        wait_for(lambda: glob.glob("/tmp/down_*_%d.log" % d.pid), "the hang-up's dump",
                 context=d.context)
        os.kill(d.pid, signal.SIGTERM)
        self.assertEqual(d.wait(), 0, d.context())
        out = d.stdout()
        self.assertIn("## Catch The Signal 1\n", out)
        self.assertIn("## Catch The Signal 15\n## Exit KEST...\n", out)
        self.assertTrue(node.log_lines("Catch The Signal 15"))
        wait_for(lambda: sim.received(2003, d.pid), "the switch-over request",
                 context=sim.output)
        request = sim.received(2003, d.pid)
        self.assertEqual(len(request), 1)
        self.assertIn('cause="Catch The Signal 15"', request[0])
        self.assertTrue(lock_is_free(node.lock))

    def test_ending_signals_are_acted_on_while_standard_output_is_stuck(self):
        """Nobody reads the daemon's standard output any more. SIGTERM comes
        while a thread is stuck writing there with the stdout lock held (the
        next flush after the pipe filled: SIGUSR1's line); SIGHUP while the
        pipe is full and the lock free, so that its own lines would wait."""
        for signum, holder in ((signal.SIGTERM, signal.SIGUSR1), (signal.SIGHUP, None)):
            with self.subTest(signal=signum):
                self.end_with_stuck_stdout(signum, holder)

    def end_with_stuck_stdout(self, signum, holder):
        node = self.active_node("stdout")
        sim = Simulator(self, node)
        out_r, out_w = os.pipe()
        self.addCleanup(os.close, out_r)
        d = node.start(stdout=out_w)
        os.close(out_w)
        said = read_until(out_r, b"LOG_FILE_SIZE_MB: ", d)
        self.make_active(node, sim, d)
        # Filled through a description of its own, so that the daemon's stays
        # blocking.
        filler = os.open("/proc/self/fd/%d" % out_r, os.O_WRONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, filler)
        try:
            while True:
                os.write(filler, b"x" * 4096)
        except BlockingIOError:
            pass
        if holder is not None:
            os.kill(d.pid, holder)
            wait_for(lambda: threads_writing_to(d.pid, 1), "a thread stuck writing its stdout",
                     context=d.context)
        os.kill(d.pid, signum)
        self.assertEqual(d.wait(), 0, "%s\nstdout: %r" % (d.context(), said))
        self.assertTrue(node.log_lines("Catch The Signal %d" % signum))
        wait_for(lambda: sim.received(2003, d.pid), "the switch-over request",
                 context=sim.output)
        self.assertIn('cause="Catch The Signal %d"' % signum, sim.received(2003, d.pid)[0])
        self.assertTrue(lock_is_free(node.lock))
        for path in glob.glob("/tmp/down_*_%d.log" % d.pid):
            os.remove(path)

    def test_user_signals_are_logged_and_ignored_signals_change_nothing(self):
        node, sim, d = self.ha_node("usr")
        self.make_active(node, sim, d)
        os.kill(d.pid, signal.SIGUSR1)
        wait_for(lambda: "Catch The Signal SIGUSR1(10)\n" in d.stdout(), "SIGUSR1",
                 context=d.context)
        os.kill(d.pid, signal.SIGUSR2)
        wait_for(lambda: "Catch The Signal SIGUSR2(12)\n" in d.stdout(), "SIGUSR2",
                 context=d.context)
        os.kill(d.pid, signal.SIGPIPE)
        os.kill(d.pid, signal.SIGCHLD)
        self.db.insert(rows(1, 4))
        wait_for(lambda: self.db.pending() == 0, "the drain after the signals",
                 context=d.context)
        self.assertTrue(d.running())
        self.assertEqual(len(node.log_lines("Catch The Signal SIGUSR1(10)")), 1)
        self.assertEqual(len(node.log_lines("Catch The Signal SIGUSR2(12)")), 1)
        self.assertNotIn("## Catch The Signal", d.stdout())


class Hang(HaNode):

    def test_hung_worker_ends_the_process_through_the_hang_callback(self):
        node, sim, d = self.ha_node("hang", log_level=4)
        self.make_active(node, sim, d)
        self.assertTrue(sim.command("send %d 1006 KEST" % d.pid).startswith("ok"))
        # The worker reports every 10 s with an allowed silence of 30 s.
        self.assertEqual(d.wait(timeout=90), 0, d.context())
        hung = node.log_lines("OnHangThrID  Thread-Id(")
        self.assertEqual(len(hung), 1)
        self.assertIn(") is hang up", hung[0])
        self.assertTrue(node.log_lines("Exit KEST..."))
        self.assertTrue(lock_is_free(node.lock))
        request = sim.received(2003, d.pid)
        self.assertEqual(len(request), 1)
        self.assertIn('cause="THREAD HANG-UP Detect: Thread-ID: ', request[0])
        self.assertEqual(test_daemon.status_sample(os.path.join(node.root, "log", "kest.prom"),
                                                   'kest_exit_info{reason="hand_over"}'), 1)
        for path in glob.glob(os.path.join(node.root, "log", "core", "pstack_*")):
            os.remove(path)


NOBODY = pwd.getpwnam("nobody")
LIBC = ctypes.CDLL(None, use_errno=True)
LIBC.shmat.restype = ctypes.c_void_p
LOG_REGISTRY_SIZE = 4721672


def as_nobody(action):
    """What action() returned (a short text) in a child that dropped root
    for nobody, as a local user in none of the daemon's groups."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.setgroups([])
            os.setgid(NOBODY.pw_gid)
            os.setuid(NOBODY.pw_uid)
            out = str(action())
        except OSError as e:
            out = errno.errorcode.get(e.errno, str(e.errno))
        os.write(w, out.encode())
        os._exit(0)
    os.close(w)
    with os.fdopen(r, "rb") as f:
        out = f.read().decode()
    os.waitpid(pid, 0)
    return out


def segment_write(key):
    """Attaches the segment of key for writing: "attached" or the errno name."""
    seg = LIBC.shmget(key, 0, 0)
    if seg < 0 or LIBC.shmat(seg, None, 0) == ctypes.c_void_p(-1).value:
        return errno.errorcode[ctypes.get_errno()]
    return "attached"


@unittest.skipUnless(os.geteuid() == 0, "acting as another user needs root")
class LocalUser(HaNode):
    """A local user in none of the daemon's groups tries to steer the HA link."""

    def start_beside_master(self, name, old_sock_modes=False):
        """A daemon and its master in a runtime root others may look into,
        as the packaged /opt/orvo/tmp; with old_sock_modes, in socket
        folders an older master left writable by all."""
        node = self.active_node(name)
        for path in (node.base, node.orvo):
            os.makedirs(path, exist_ok=True)
            os.chmod(path, 0o755)
        if old_sock_modes:
            os.makedirs(os.path.join(node.orvo, "haf", "sock"))
            for path in ("haf", "haf/sock"):
                os.chmod(os.path.join(node.orvo, path), 0o777)
        sim = Simulator(self, node)
        d = node.start()
        d.wait_started()
        return node, sim, d

    def test_sockets_and_tables_are_closed_to_another_user(self):
        node, sim, d = self.start_beside_master("outsider")
        sock = os.path.join(node.orvo, "haf", "sock")
        for name in (str(d.pid), "master"):
            self.assertEqual(as_nobody(lambda: os.rename(os.path.join(sock, name),
                                                         os.path.join(sock, name + ".x"))),
                             "EACCES", name)
        key = LIBC.ftok(os.path.join(node.orvo, "haf", "shm", "dupInfo.shm").encode(), 0)
        self.assertNotEqual(key, -1)
        self.assertEqual(as_nobody(lambda: segment_write(key)), "EACCES")
        self.make_active(node, sim, d)  # the master's report still arrives

    def test_master_socket_of_another_user_gets_nothing(self):
        node, sim, d = self.start_beside_master("squatter", old_sock_modes=True)
        sock = os.path.join(node.orvo, "haf", "sock")
        self.assertTrue(node.log_lines("[HA] %s is writable by every local user" % sock))
        master = os.path.join(sock, "master")
        trap = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(trap.close)

        def bind_in_place():
            os.rename(master, master + ".moved")
            trap.bind(master)
            return "bound"
        self.assertEqual(as_nobody(bind_in_place), "bound")
        wait_for(lambda: node.log_lines("Master socket %s belongs to uid %d" % (
            master, NOBODY.pw_uid)), "the refused send", context=d.context)
        trap.setblocking(False)
        self.assertRaises(BlockingIOError, trap.recv, 8192)
        self.assertTrue(d.running())

    @unittest.skipUnless(subprocess.run(["unshare", "-m", "-i", "true"]).returncode == 0,
                         "needs mount and IPC namespaces")
    def test_log_registry_planted_in_tmp_stops_the_start(self):
        # In namespaces of its own: the host's /tmp, /opt and registry stay
        # untouched. Another user holds the segment of the registry's key and
        # has planted the fallback's key file.
        node = self.active_node("fallback")
        env = node.env()
        del env["ORVO_TMP_ROOT"]
        squat = ("import ctypes; l = ctypes.CDLL(None); "
                 "assert l.shmget(l.ftok(b'/opt/orvo/tmp/olog.shm', 0), %d, 0o1666) >= 0; "
                 "open('/tmp/olog.shm', 'w')" % LOG_REGISTRY_SIZE)
        script = ("mount -t tmpfs kest-test /tmp && mount -t tmpfs kest-test /opt && "
                  "mkdir -p /opt/orvo/tmp && touch /opt/orvo/tmp/olog.shm && "
                  "setpriv --reuid nobody --regid nogroup --clear-groups python3 -c \"$1\" && "
                  "exec \"$2\" --standby")
        run = subprocess.run(["unshare", "-m", "-i", "--propagation", "private", "sh", "-c",
                              script, "sh", squat, test_daemon.BIN], env=env, cwd=node.base,
                             capture_output=True, text=True, timeout=WAIT)
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("Shm Owner Untrusted (/opt/orvo/tmp/olog", run.stdout)
        self.assertIn("Shm Key File Untrusted (/tmp/olog.shm: owner %d (nobody))"
                      % NOBODY.pw_uid, run.stdout)


if __name__ == "__main__":
    unittest.main()
