#!/usr/bin/python3
"""Drain benchmarks of the daemon against a private MariaDB (started by
scripts/bench-drain.sh, which also builds the programs and passes the paths).

  throughput  N rows drained by (a) the daemon started as active (commit per
              row, journal on: the shipped settings), (b) the bare per-row ODBC
              loop, (c) the pyodbc peer, (d) the batch loop, (e) the daemon
              with one commit per pass (AUTO_COMMIT = 0), (f) the bare
              commit-per-pass loop, (g) and (h) the daemon as a and e without
              the journal, (i) the daemon with large passes (AUTO_COMMIT = 0,
              PASS_ROWS = --pass-rows), (j) the pyodbc batch peer and (k) the C
              floor of that design, with bill syncing on and off; rows/s and
              the ratios
  growth      time of one pass (select + nine writes and deletes) as the backlog
              grows, with the server's row reads per pass and the plan; then
              the same for a large pass of the floor k
  passes      rows/s of the daemon with a commit per pass and of its floor k
              against PASS_ROWS (1, 9, 50, 100, 500, 1,000), sync on
  footprint   the daemon's memory, CPU and descriptors idle and while draining

Each throughput variant starts from a new table holding the same rows. Its
time runs from the start of its process until the bill file holds N lines and
the table is empty; the bill file is polled every few milliseconds and the
table only once the lines are all there, so the poll loads nothing but the
file system while the drain runs.
"""
import argparse
import glob
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

import pyodbc

COLUMNS = ("MSG_SEQ,PROC_RESULT,IN_GROUP,OUT_GROUP,SERIAL_NUM,CALLER_NO,CALLEE_NO,"
           "CALLBACK_NO,IN_TIME,REPORT_TIME")
POLL_SEC = 0.005
VARIANTS = ("a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "o")
# The daemon's variants and their settings (PASS_ROWS of i: --pass-rows).
DAEMON = {"a": {"AUTO_COMMIT": "1", "JOURNAL": "1"}, "e": {"AUTO_COMMIT": "0", "JOURNAL": "1"},
          "g": {"AUTO_COMMIT": "1", "JOURNAL": "0"}, "h": {"AUTO_COMMIT": "0", "JOURNAL": "0"},
          "i": {"AUTO_COMMIT": "0", "JOURNAL": "1"}, "o": {"AUTO_COMMIT": "0", "JOURNAL": "1"}}
FLOOR = {"b": "per-row", "d": "batch", "f": "per-pass", "k": "large"}
LARGE = ("i", "j", "k")  # the variants of large passes
PASS_SIZES = (1, 9, 50, 100, 500, 1000)
# Printed ratios: (numerator, denominator, target or None).
RATIOS = (("a", "b", None), ("a", "c", None), ("e", "c", 3.0), ("e", "f", 0.8),
          ("a", "g", 0.85), ("e", "h", 0.9), ("i", "j", 1.0), ("i", "k", 0.7), ("e", "o", 1.0))


def log(text):
    print(text, flush=True)


class Database:
    """The private server: table resets and loads through the mariadb client,
    counts through one ODBC connection of the bench."""

    def __init__(self, args):
        self.args = args
        self.conn_str = "DSN=%s;UID=%s;PWD=%s" % (args.dsn, args.user, args.password)
        self.con = pyodbc.connect(self.conn_str, autocommit=True)

    def sql(self, text, admin=False):
        """Runs `text` as the bench's user, or as the server's root (admin)."""
        login = ["-uroot"] if admin else ["-u" + self.args.user, "-p" + self.args.password, "kest"]
        return subprocess.run(["mariadb", "--socket=" + self.args.socket, "-N"] + login,
                              input=text, text=True, check=True, capture_output=True).stdout

    def reset(self):
        with open(self.args.schema) as schema:
            self.sql("DROP TABLE IF EXISTS TSMS_SND_MSG;\n" + schema.read())

    def settle(self, timeout=120):
        """Until the server has written out what a load dirtied, as a backlog
        built up over an outage would be: flushing is forced meanwhile."""
        query = "SHOW GLOBAL STATUS LIKE 'Innodb_buffer_pool_pages_dirty'"
        self.sql("SET GLOBAL innodb_max_dirty_pages_pct = 0", admin=True)
        deadline = time.monotonic() + timeout
        while int(self.sql(query).split()[-1]) > 0 and time.monotonic() < deadline:
            time.sleep(0.2)
        self.sql("SET GLOBAL innodb_max_dirty_pages_pct = DEFAULT", admin=True)

    def load(self, rows, first_seq=1, status=0):
        """Adds `rows` rows with keys from first_seq and PROC_STS `status`;
        every seventh to thirty-seventh row has one NULL column, as real
        traffic has."""
        if rows <= 0:
            return
        self.sql(
            "INSERT INTO TSMS_SND_MSG (%s,PROC_STS) SELECT seq + %d,"
            " IF(seq %% 11 = 0, NULL, 'OK'),"
            " IF(seq %% 13 = 0, NULL, CAST(seq %% 120 + 1 AS CHAR)),"
            " IF(seq %% 17 = 0, NULL, seq %% 999 + 1),"
            " IF(seq %% 19 = 0, NULL, CONCAT('S', LPAD(seq, 9, '0'))),"
            " IF(seq %% 23 = 0, NULL, CONCAT('010', LPAD(seq * 7919 %% 100000000, 8, '0'))),"
            " IF(seq %% 29 = 0, NULL, CONCAT('010', LPAD(seq * 104729 %% 100000000, 8, '0'))),"
            " IF(seq %% 7 = 0, NULL, CONCAT('010', LPAD(seq * 1299709 %% 100000000, 8, '0'))),"
            " IF(seq %% 31 = 0, NULL, CONCAT('202612', LPAD(seq %% 28 + 1, 2, '0'), '101500')),"
            " IF(seq %% 37 = 0, NULL, CONCAT('202612', LPAD(seq %% 28 + 1, 2, '0'), '101502')),"
            " %d FROM seq_1_to_%d;" % (COLUMNS, first_seq - 1, status, rows))

    def count(self):
        return self.con.cursor().execute("SELECT COUNT(*) FROM TSMS_SND_MSG").fetchone()[0]

    def max_seq(self):
        value = self.con.cursor().execute("SELECT MAX(MSG_SEQ) FROM TSMS_SND_MSG").fetchone()[0]
        return value or 0

    def explain(self):
        return self.sql("SET sql_mode=ORACLE; EXPLAIN SELECT MSG_SEQ FROM TSMS_SND_MSG "
                        "WHERE PROC_STS = 0 and rownum < 10;").strip().replace("\t", " ")


class BillCounter:
    """Counts the lines of the bill files in a directory, reading only what
    was appended since the last look."""

    def __init__(self, directory):
        self.directory = directory
        self.offsets = {}
        self.lines = 0

    def poll(self):
        for path in glob.glob(os.path.join(self.directory, "*")):
            with open(path, "rb") as f:
                f.seek(self.offsets.get(path, 0))
                data = f.read()
            self.offsets[path] = self.offsets.get(path, 0) + len(data)
            self.lines += data.count(b"\n")
        return self.lines


class DaemonRun:
    """A private installation of the daemon: configuration, bill and log
    folders under `root`; the runtime root is shared by all runs."""

    def __init__(self, args, root, sync, settings=None):
        self.args = args
        self.root = root
        shutil.rmtree(root, ignore_errors=True)
        for sub in ("config", "bill"):
            os.makedirs(os.path.join(root, sub))
        with open(os.path.join(args.source, "config", "kest.ini")) as f:
            ini = f.read().splitlines()
        values = {"DSN": args.dsn, "UID": args.user, "PWD": args.password,
                  "BILL_SYNC": str(sync)}
        values.update(settings or {})
        values.update(item.split("=", 1) for item in args.daemon_set)
        out = []
        for line in ini:
            key = line.split("=")[0].strip()
            out.append("%s = %s" % (key, values[key]) if key in values and "=" in line else line)
        with open(os.path.join(root, "config", "kest.ini"), "w") as f:
            f.write("\n".join(out) + "\n")
        self.bill = os.path.join(root, "bill")

    def start(self, kest=None):
        env = dict(os.environ, PKG_ROOT=self.root, ORVO_TMP_ROOT=self.args.orvo_root)
        self.out = open(os.path.join(self.root, "stdout.txt"), "w")
        return subprocess.Popen([kest or self.args.kest, "--active"], cwd=self.root, env=env,
                                stdout=self.out, stderr=subprocess.STDOUT)

    def log_text(self):
        text = ""
        for path in sorted(glob.glob(os.path.join(self.root, "log", "KEST", "*"))):
            with open(path, errors="replace") as f:
                text += f.read()
        return text


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGKILL)  # a general signal would write a stack listing
    proc.wait()


def wait_drained(db, counter, proc, rows, timeout):
    """Seconds since `start` until the bill holds `rows` lines and the table
    is empty; None if the process ends or the time-out passes first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if counter.poll() >= rows and db.count() == 0:
            return time.monotonic()
        if proc.poll() is not None and counter.poll() < rows:
            return None
        time.sleep(POLL_SEC)
    return None


def command_of(args, variant, bill_dir, sync, pass_rows):
    bill = os.path.join(bill_dir, "SMSC_bench_000")
    conn = "DSN=%s;UID=%s;PWD=%s" % (args.dsn, args.user, args.password)
    large = [str(pass_rows)] if variant in LARGE else []
    if variant in FLOOR:
        return [args.floor, FLOOR[variant], conn, bill, str(sync)] + large
    return ["/usr/bin/python3", args.peer, conn, bill, str(sync)] + large


def drain_once(args, db, variant, rows, sync, pass_rows=None):
    pass_rows = pass_rows or args.pass_rows
    db.reset()
    db.load(rows)
    if variant in DAEMON:
        settings = dict(DAEMON[variant], PASS_ROWS=str(pass_rows if variant in LARGE else 9))
        run = DaemonRun(args, os.path.join(args.work, "daemon"), sync, settings)
        bill_dir = run.bill
        start = time.monotonic()
        proc = run.start(args.before if variant == "o" else args.kest)
    else:
        bill_dir = os.path.join(args.work, "bill-" + variant)
        shutil.rmtree(bill_dir, ignore_errors=True)
        os.makedirs(bill_dir)
        start = time.monotonic()
        proc = subprocess.Popen(command_of(args, variant, bill_dir, sync, pass_rows),
                                stdout=subprocess.DEVNULL)
    end = wait_drained(db, BillCounter(bill_dir), proc, rows, args.timeout)
    stop(proc)
    if end is None:
        sys.exit("drain: variant %s with %d rows did not finish (exit %s)"
                 % (variant, rows, proc.returncode))
    return rows / (end - start)


def throughput(args, db):
    log("== drain throughput (rows/s; a daemon, b per-row floor, c pyodbc peer, d batch,"
        " e daemon AUTO_COMMIT=0, f commit-per-pass floor, g a without journal,"
        " h e without journal, i daemon AUTO_COMMIT=0 PASS_ROWS=%d, j pyodbc batch peer,"
        " k floor of i, o the --before daemon as e)" % args.pass_rows)
    variants = [v for v in VARIANTS if v in args.variants and (v != "o" or args.before)]
    ratios = [r for r in RATIOS if r[0] in variants and r[1] in variants]
    log("%8s %4s" % ("rows", "sync") + "".join("%8s" % v for v in variants) +
        "".join("%7s" % ("%s/%s" % (n, d)) for n, d, _ in ratios))
    results = []
    for rows in args.sizes:
        for sync in (1, 0):
            # Round after round of every variant, so that the load of the
            # machine, which drifts over minutes, weighs on all alike.
            runs = {v: [] for v in variants}
            for _ in range(args.repeat):
                for variant in variants:
                    runs[variant].append(drain_once(args, db, variant, rows, sync))
            rate = {v: statistics.median(runs[v]) for v in variants}
            results.append((rows, sync, rate))
            log("%8d %4d" % (rows, sync) + "".join("%8.0f" % rate[v] for v in variants) +
                "".join("%7.2f" % (rate[n] / rate[d]) for n, d, _ in ratios))
    log("targets (sync on): " + ", ".join(
        "%s/%s >= %.2f: %s" % (n, d, t, " ".join(
            "%.2f" % (rate[n] / rate[d]) for _, sync, rate in results if sync == 1))
        for n, d, t in ratios if t is not None))
    with open(os.path.join(args.results, "drain.dat"), "w") as f:
        f.write("# rows sync %s (rows/s)\n" % " ".join(variants))
        for rows, sync, rate in results:
            f.write("%d %d %s\n" % (rows, sync, " ".join("%.1f" % rate[v] for v in variants)))


def growth(args, db):
    log("== growth: one pass (select + 9 writes and deletes, no sync) against the backlog")
    log("%9s %8s %11s %11s %13s %12s" % ("backlog", "passes", "median_us", "p90_us",
                                         "select_us", "reads/pass"))
    db.reset()
    bill = os.path.join(args.work, "growth-bill")
    lines = ["# backlog pass_median_us pass_p90_us select_median_us handler_reads_per_pass"]

    def measure(label):
        out = subprocess.run([args.floor, "growth", db.conn_str, bill, str(args.passes)],
                             check=True, capture_output=True, text=True).stdout
        fields = dict(item.split("=") for item in out.split())
        log("%9s %8s %11s %11s %13s %12s" % (
            label, fields["passes"], fields["pass_median_us"], fields["pass_p90_us"],
            fields["select_median_us"], fields["handler_reads_per_pass"]))
        return fields

    for backlog in args.backlogs:
        db.load(backlog - db.count(), db.max_seq() + 1)
        fields = measure(str(backlog))
        lines.append("%d %s %s %s %s" % (backlog, fields["pass_median_us"],
                                         fields["pass_p90_us"], fields["select_median_us"],
                                         fields["handler_reads_per_pass"]))
    large_growth(args, db)
    log("plan: " + db.explain())
    # Rows some other party holds back (PROC_STS other than 0) in front of the
    # pending ones: the select must not read past them on every pass.
    held = args.backlogs[-1]
    db.reset()
    db.load(held, 1, status=1)
    db.load(1000, held + 1)
    log("(1,000 pending rows behind %d rows with PROC_STS = 1:)" % held)
    measure("1000+held")
    log("plan: " + db.explain())
    os.remove(bill)
    with open(os.path.join(args.results, "growth.dat"), "w") as f:
        f.write("\n".join(lines) + "\n")


def large_growth(args, db):
    """Time of one large pass as the backlog grows: the floor k (select, lines
    in one write, one sync, one delete, one commit), median of ten passes,
    each topped up to the backlog first; and the daemon's own pass, the mean
    over three rounds that visit every backlog in turn, so that the disk's
    drifting flush times weigh on all backlogs alike."""
    rows = args.pass_rows
    log("== growth: one pass of %d rows (sync on) against the backlog" % rows)
    db.reset()
    bill = os.path.join(args.work, "growth-bill")
    floor = {}
    for backlog in args.backlogs:
        times = []
        for _ in range(10):
            db.load(backlog - db.count(), db.max_seq() + 1)
            out = subprocess.run([args.floor, "growth", db.conn_str, bill, "1", str(rows)],
                                 check=True, capture_output=True, text=True).stdout
            times.append(float(dict(item.split("=") for item in out.split())["pass_median_us"]))
        floor[backlog] = statistics.median(times)
    os.remove(bill)
    daemon = {backlog: [] for backlog in args.backlogs}
    for _ in range(3):
        for backlog in args.backlogs:
            daemon[backlog] += daemon_pass_times(args, db, backlog, rows, samples=40)
    log("%9s %11s %11s" % ("backlog", "floor_us", "daemon_us"))
    lines = ["# backlog large_pass_median_us daemon_pass_mean_us"]
    for backlog in args.backlogs:
        # The mean: the log's 1 ms stamps make a median jump by whole milliseconds.
        daemon[backlog] = statistics.mean(daemon[backlog])
        log("%9d %11.0f %11.0f" % (backlog, floor[backlog], daemon[backlog]))
        lines.append("%d %.0f %.0f" % (backlog, floor[backlog], daemon[backlog]))
    first, last = args.backlogs[0], args.backlogs[-1]
    log("daemon's pass at %d / at %d: %.2f (target <= 1.5)" % (last, first, daemon[last] / daemon[first]))
    with open(os.path.join(args.results, "growth-large.dat"), "w") as f:
        f.write("\n".join(lines) + "\n")


SELECT_RECORD = re.compile(r"^\[\d\d/\d\d (\d\d):(\d\d):(\d\d)-(\d{3})\].*\[DB:SELECT\] Count: (\d+) ",
                           re.M)


def daemon_pass_times(args, db, backlog, rows, samples=60, sync=1):
    """Times in µs of the daemon's full passes (i) at `backlog`
    pending rows: from the count record that ends one pass to the one that
    ends the next. A small backlog is laid anew for each run."""
    times = []
    while len(times) < samples:
        db.reset()
        db.load(backlog)
        db.settle()
        run = DaemonRun(args, os.path.join(args.work, "daemon"), sync,
                        dict(DAEMON["i"], PASS_ROWS=str(rows), LOG_LEVEL="3"))
        proc = run.start()
        wanted = min(samples - len(times), backlog // rows) + 1
        deadline = time.monotonic() + args.timeout
        while len(SELECT_RECORD.findall(run.log_text())) < wanted:
            if proc.poll() is not None or time.monotonic() > deadline:
                sys.exit("growth: the daemon made no %d passes at a backlog of %d" % (wanted, backlog))
            time.sleep(POLL_SEC)
        stop(proc)
        records = SELECT_RECORD.findall(run.log_text())[:wanted]
        stamps = [((int(h) * 60 + int(m)) * 60 + int(sec)) * 1000000 + int(ms) * 1000
                  for h, m, sec, ms, _ in records]
        times += [b - a for (a, b, rec) in zip(stamps, stamps[1:], records[1:]) if int(rec[4]) == rows]
    return times


def passes(args, db):
    """Rows/s against PASS_ROWS: the daemon with a commit per pass (i) and its
    floor (k), side by side, sync on."""
    rows = args.sweep_rows
    log("== pass size: %d rows, sync on (rows/s; i daemon AUTO_COMMIT=0, k its floor)" % rows)
    log("%9s %9s %9s %6s" % ("PASS_ROWS", "i", "k", "i/k"))
    lines = ["# pass_rows daemon_rows_per_s floor_rows_per_s"]
    for size in PASS_SIZES:
        runs = {"i": [], "k": []}
        for _ in range(args.repeat):
            for variant in runs:
                runs[variant].append(drain_once(args, db, variant, rows, 1, size))
        rate = {v: statistics.median(runs[v]) for v in runs}
        log("%9d %9.0f %9.0f %6.2f" % (size, rate["i"], rate["k"], rate["i"] / rate["k"]))
        lines.append("%d %.1f %.1f" % (size, rate["i"], rate["k"]))
    with open(os.path.join(args.results, "passes.dat"), "w") as f:
        f.write("\n".join(lines) + "\n")


def proc_cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def proc_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def footprint(args, db):
    log("== footprint of the daemon (active)")
    db.reset()
    run = DaemonRun(args, os.path.join(args.work, "daemon"), 1)
    proc = run.start()
    lines = []
    try:
        deadline = time.monotonic() + 30
        while "[DB:SELECT] Count: 0" not in run.log_text():
            if time.monotonic() > deadline or proc.poll() is not None:
                sys.exit("footprint: the daemon did not reach its idle poll")
            time.sleep(0.1)
        fds_idle = proc_fds(proc.pid)
        cpu0, t0 = proc_cpu_seconds(proc.pid), time.monotonic()
        rss = []
        while time.monotonic() - t0 < args.idle:
            rss.append(proc_rss_kib(proc.pid))
            time.sleep(1)
        idle_cpu = (proc_cpu_seconds(proc.pid) - cpu0) / (time.monotonic() - t0)
        lines.append("idle %.0f s: cpu %.3f%% of one core, rss %d..%d KiB, descriptors %d"
                     % (args.idle, 100 * idle_cpu, min(rss), max(rss), fds_idle))

        counter = BillCounter(run.bill)
        cpu0, t0 = proc_cpu_seconds(proc.pid), time.monotonic()
        db.load(args.footprint_rows)
        samples = []  # (bill lines, rss KiB)
        while True:
            done = counter.poll()
            samples.append((done, proc_rss_kib(proc.pid)))
            if done >= args.footprint_rows and db.count() == 0:
                break
            if proc.poll() is not None:
                sys.exit("footprint: the daemon ended during the drain")
            time.sleep(0.05)
        wall = time.monotonic() - t0
        cpu = proc_cpu_seconds(proc.pid) - cpu0
        after_first = [r for n, r in samples if n >= 1000] or [samples[-1][1]]
        lines.append("drain of %d rows in %.1f s: cpu %.1f%% of one core; rss after the first "
                     "1,000 rows %d KiB, highest %d KiB, at the end %d KiB"
                     % (args.footprint_rows, wall, 100 * cpu / wall, after_first[0],
                        max(after_first), samples[-1][1]))
        lines.append("descriptors: %d idle before the drain, %d after it"
                     % (fds_idle, proc_fds(proc.pid)))
    finally:
        stop(proc)
    for line in lines:
        log(line)
    with open(os.path.join(args.results, "footprint.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--source", required=True)
    p.add_argument("--kest", required=True)
    p.add_argument("--floor", required=True)
    p.add_argument("--peer", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--orvo-root", required=True)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--only", default="throughput,growth,footprint,passes")
    p.add_argument("--before", help="another build of kest, run as variant o (e's settings)")
    p.add_argument("--pass-rows", type=int, default=500, help="PASS_ROWS of the variants i, j, k")
    p.add_argument("--footprint-rows", dest="footprint_rows_set", type=int,
                   help="rows of the footprint's drain (default 100,000, quick 10,000)")
    p.add_argument("--sweep-rows", type=int, default=20000, help="rows of each drain of passes")
    p.add_argument("--repeat", type=int, default=1)
    p.add_argument("--sizes", dest="only_sizes", help="row counts of the throughput part, e.g. 10000,50000")
    p.add_argument("--backlogs", dest="only_backlogs", help="backlogs of the growth part, e.g. 1000,1000000")
    p.add_argument("--timeout", type=float, default=1800)
    p.add_argument("--variants", default=",".join(VARIANTS),
                   help="throughput variants to run, e.g. a,g (the plot needs all)")
    p.add_argument("--daemon-set", action="append", default=[], metavar="KEY=VALUE",
                   help="a setting of the daemon's configuration file, e.g. STATUS_FILE=")
    args = p.parse_args()
    args.dsn = os.environ["KEST_DB_DSN"]
    args.user = os.environ["KEST_DB_USER"]
    args.password = os.environ["KEST_DB_PASSWORD"]
    args.socket = os.environ["KEST_DB_SOCKET"]
    # KEST_BENCH_SCHEMA: another table definition, to compare schemas.
    args.schema = os.environ.get("KEST_BENCH_SCHEMA") or os.path.join(
        args.source, "scripts", "sql", "schema.sql")
    args.results = os.path.join(args.work, "results")
    os.makedirs(args.results, exist_ok=True)
    if args.quick:
        args.sizes, args.backlogs = [1000, 10000], [1000, 10000, 100000]
        args.idle, args.footprint_rows = 10, 10000
    else:
        args.sizes, args.backlogs = [1000, 10000, 100000], [1000, 10000, 100000, 1000000]
        args.idle, args.footprint_rows = 60, 100000
    if args.footprint_rows_set:
        args.footprint_rows = args.footprint_rows_set
    if args.only_backlogs:
        args.backlogs = [int(n) for n in args.only_backlogs.split(",")]
    if args.only_sizes:
        args.sizes = [int(n) for n in args.only_sizes.split(",")]
    args.passes = 50
    db = Database(args)
    for part in args.only.split(","):
        {"throughput": throughput, "growth": growth, "footprint": footprint,
         "passes": passes}[part](args, db)


if __name__ == "__main__":
    main()
