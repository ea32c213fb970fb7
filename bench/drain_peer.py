#!/usr/bin/python3
"""The drain loop as an operator might write it with python3-pyodbc: the same
select (rownum < 10), per row the same bill line written, flushed and synced
when asked, then the same delete; ends when a pass finds nothing. One cursor
per statement: pyodbc keeps only a cursor's last statement prepared, so one
cursor for both would prepare each statement again on every call.

    drain_peer.py CONN BILL SYNC          the per-row loop
    drain_peer.py CONN BILL SYNC ROWS     the batch script of an operator: per
        pass up to ROWS rows, their lines written and synced once, one
        DELETE ... WHERE MSG_SEQ IN (...), one commit
"""
import os
import sys

import pyodbc

SELECT = ("SELECT MSG_SEQ, PROC_RESULT, IN_GROUP, OUT_GROUP, SERIAL_NUM, CALLER_NO, CALLEE_NO, "
          "CALLBACK_NO, IN_TIME, REPORT_TIME FROM TSMS_SND_MSG WHERE PROC_STS = 0 and rownum < ?;")
DELETE = "DELETE FROM TSMS_SND_MSG WHERE MSG_SEQ = ?;"
LINE = "%3.3s %03d %03d %10s %16.16s %16.16s %16.16s %14.14s %14.14s\n"


def text(value, filler):
    return filler if value is None else value


def line_of(row):
    return LINE % (
        "000",
        0 if row.IN_GROUP is None else int(row.IN_GROUP),
        0 if row.OUT_GROUP is None else row.OUT_GROUP,
        text(row.SERIAL_NUM, "_" * 10),
        text(row.CALLER_NO, "_" * 16),
        text(row.CALLEE_NO, "_" * 16),
        text(row.CALLBACK_NO, "_" * 16),
        text(row.IN_TIME, "_" * 14),
        text(row.REPORT_TIME, "_" * 14))


def batch(conn_str, bill_path, sync, size):
    con = pyodbc.connect(conn_str, autocommit=False)
    cur = con.cursor()
    total = 0
    with open(bill_path, "a") as bill:
        while True:
            rows = cur.execute(SELECT, size + 1).fetchall()
            if not rows:
                con.commit()
                break
            bill.write("".join(line_of(row) for row in rows))
            bill.flush()
            if sync:
                os.fdatasync(bill.fileno())
            cur.execute("DELETE FROM TSMS_SND_MSG WHERE MSG_SEQ IN (%s);"
                        % ",".join("?" * len(rows)), *[row.MSG_SEQ for row in rows])
            con.commit()
            total += len(rows)
    print("rows=%d" % total)


def main():
    conn_str, bill_path, sync = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
    if len(sys.argv) > 4:
        return batch(conn_str, bill_path, sync, int(sys.argv[4]))
    con = pyodbc.connect(conn_str, autocommit=True)
    select, delete = con.cursor(), con.cursor()
    total = 0
    with open(bill_path, "a") as bill:
        while True:
            rows = select.execute(SELECT, 10).fetchall()
            if not rows:
                break
            for row in rows:
                bill.write(line_of(row))
                bill.flush()
                if sync:
                    os.fdatasync(bill.fileno())
                delete.execute(DELETE, row.MSG_SEQ)
                total += 1
    print("rows=%d" % total)


if __name__ == "__main__":
    main()
