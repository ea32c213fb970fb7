// Bare loops over the ODBC C API that drain TSMS_SND_MSG into a bill file,
// as yardsticks for the daemon (no reactor, no logging, no layers):
//
//   drain_floor per-row CONN BILL SYNC   the daemon's own design: the same
//       select (rownum < 10), per row one write of the same line (synced when
//       SYNC is 1) and the same delete, until a pass finds nothing
//   drain_floor per-pass CONN BILL SYNC  the daemon's commit-per-pass design
//       (AUTO_COMMIT = 0): autocommit off; per pass the same lines, one write
//       each, one sync, the same single-row deletes, one commit
//   drain_floor batch CONN BILL SYNC     per pass: all lines in one write, one
//       sync, one delete of the pass's rows; shows what the per-row design costs
//   drain_floor large CONN BILL SYNC ROWS  the daemon's large pass (AUTO_COMMIT
//       = 0, PASS_ROWS = ROWS): autocommit off; per pass up to ROWS rows, their
//       lines in one write, one sync, one delete of all their keys, one commit
//   drain_floor growth CONN BILL PASSES [ROWS]  PASSES per-row passes without
//       sync (with ROWS: large passes of ROWS rows, synced); prints the median
//       and 90th percentile time of a pass and of its select, and the rows the
//       server read per pass
//
// CONN is an ODBC connection string such as "DSN=ALTIBASE_DSN".
#include <fcntl.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kSelectSql =
    "SELECT MSG_SEQ, PROC_RESULT, IN_GROUP, OUT_GROUP, SERIAL_NUM, CALLER_NO, CALLEE_NO, "
    "CALLBACK_NO, IN_TIME, REPORT_TIME FROM TSMS_SND_MSG WHERE PROC_STS = 0 and rownum < ?;";
constexpr const char *kDeleteSql = "DELETE FROM TSMS_SND_MSG WHERE MSG_SEQ = ?;";
constexpr int kRownum = 10;
constexpr int kMaxRows = 1000;  // the largest pass
constexpr const char *kLineFormat =
    "%3.3s %03ld %03ld %10s %16.16s %16.16s %16.16s %14.14s %14.14s\n";

struct Row {
    long MSG_SEQ;
    SQLLEN len_msg_seq;
    char PROC_RESULT[17];
    SQLLEN len_proc_result;
    char IN_GROUP[17];
    SQLLEN len_in_group;
    long OUT_GROUP;
    SQLLEN len_out_group;
    char SERIAL_NUM[33];
    SQLLEN len_serial_num;
    char CALLER_NO[41];
    SQLLEN len_caller_no;
    char CALLEE_NO[41];
    SQLLEN len_callee_no;
    char CALLBACK_NO[41];
    SQLLEN len_callback_no;
    char IN_TIME[17];
    SQLLEN len_in_time;
    char REPORT_TIME[17];
    SQLLEN len_report_time;
};

[[noreturn]] void Fail(const char *pcWhat, SQLSMALLINT nType, SQLHANDLE handle) {
    SQLCHAR szState[6] = {0};
    SQLCHAR szMsg[512] = {0};
    SQLINTEGER nNative = 0;
    SQLSMALLINT nLen = 0;
    if (handle != nullptr)
        SQLGetDiagRec(nType, handle, 1, szState, &nNative, szMsg, sizeof(szMsg), &nLen);
    throw std::runtime_error(std::string(pcWhat) + " [" + reinterpret_cast<char *>(szState) +
                             "] " + reinterpret_cast<char *>(szMsg));
}

void Check(SQLRETURN rc, const char *pcWhat, SQLSMALLINT nType, SQLHANDLE handle) {
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) Fail(pcWhat, nType, handle);
}

// Environment, connection and the statements made on it.
class Connection {
public:
    Connection(const std::string &conn, bool bAutocommit) {
        Check(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_), "env", SQL_HANDLE_ENV, nullptr);
        SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        Check(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_), "dbc", SQL_HANDLE_ENV, env_);
        SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(bAutocommit ? SQL_AUTOCOMMIT_ON
                                                                   : SQL_AUTOCOMMIT_OFF),
                          0);
        Check(SQLDriverConnect(dbc_, nullptr, (SQLCHAR *)conn.c_str(), SQL_NTS, nullptr, 0, nullptr,
                               SQL_DRIVER_NOPROMPT),
              "connect", SQL_HANDLE_DBC, dbc_);
    }
    ~Connection() {
        for (SQLHSTMT h : stmts_) SQLFreeHandle(SQL_HANDLE_STMT, h);
        SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    void commit() {
        Check(SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT), "commit", SQL_HANDLE_DBC, dbc_);
    }

    SQLHSTMT prepare(const std::string &sql) {
        SQLHSTMT h = nullptr;
        Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &h), "stmt", SQL_HANDLE_DBC, dbc_);
        stmts_.push_back(h);
        Check(SQLPrepare(h, (SQLCHAR *)sql.c_str(), SQL_NTS), sql.c_str(), SQL_HANDLE_STMT, h);
        return h;
    }
    // A statement run once, outside the measured loop.
    std::vector<std::string> query_pairs(const std::string &sql) {
        SQLHSTMT h = prepare(sql);
        Check(SQLExecute(h), sql.c_str(), SQL_HANDLE_STMT, h);
        std::vector<std::string> out;
        char szA[256], szB[256];
        SQLLEN nA = 0, nB = 0;
        SQLBindCol(h, 1, SQL_C_CHAR, szA, sizeof(szA), &nA);
        SQLBindCol(h, 2, SQL_C_CHAR, szB, sizeof(szB), &nB);
        while (SQLFetch(h) == SQL_SUCCESS) {
            out.push_back(szA);
            out.push_back(nB == SQL_NULL_DATA ? "" : szB);
        }
        SQLFreeStmt(h, SQL_CLOSE);
        return out;
    }

private:
    SQLHENV env_ = nullptr;
    SQLHDBC dbc_ = nullptr;
    std::vector<SQLHSTMT> stmts_;
};

// The select with its columns bound once to one row buffer.
class Selecter {
public:
    Selecter(Connection &con, Row &row, int nRows) : h_(con.prepare(kSelectSql)), rownum_(nRows + 1) {
        SQLUSMALLINT n = 0;
        auto bindLong = [&](long *p, SQLLEN *len) {
            Check(SQLBindCol(h_, ++n, SQL_C_LONG, p, 0, len), "bind", SQL_HANDLE_STMT, h_);
        };
        auto bindText = [&](char *p, SQLLEN size, SQLLEN *len) {
            Check(SQLBindCol(h_, ++n, SQL_C_CHAR, p, size, len), "bind", SQL_HANDLE_STMT, h_);
        };
        bindLong(&row.MSG_SEQ, &row.len_msg_seq);
        bindText(row.PROC_RESULT, sizeof(row.PROC_RESULT), &row.len_proc_result);
        bindText(row.IN_GROUP, sizeof(row.IN_GROUP), &row.len_in_group);
        bindLong(&row.OUT_GROUP, &row.len_out_group);
        bindText(row.SERIAL_NUM, sizeof(row.SERIAL_NUM), &row.len_serial_num);
        bindText(row.CALLER_NO, sizeof(row.CALLER_NO), &row.len_caller_no);
        bindText(row.CALLEE_NO, sizeof(row.CALLEE_NO), &row.len_callee_no);
        bindText(row.CALLBACK_NO, sizeof(row.CALLBACK_NO), &row.len_callback_no);
        bindText(row.IN_TIME, sizeof(row.IN_TIME), &row.len_in_time);
        bindText(row.REPORT_TIME, sizeof(row.REPORT_TIME), &row.len_report_time);
    }
    void execute() {
        Check(SQLBindParameter(h_, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                               &rownum_, sizeof(int), nullptr),
              "bind rownum", SQL_HANDLE_STMT, h_);
        Check(SQLExecute(h_), "select", SQL_HANDLE_STMT, h_);
    }
    // Next row into the buffer; the cursor is closed at the end.
    bool fetch() {
        SQLRETURN rc = SQLFetch(h_);
        if (rc == SQL_SUCCESS) return true;
        if (rc == SQL_ERROR) Fail("fetch", SQL_HANDLE_STMT, h_);
        SQLFreeStmt(h_, SQL_CLOSE);
        return false;
    }

private:
    SQLHSTMT h_;
    int rownum_;
};

// Deletes of 1 to kMaxRows keys, "... WHERE MSG_SEQ = ?" or "... MSG_SEQ IN (?,...)".
class Deleter {
public:
    explicit Deleter(Connection &con) : con_(con) {}
    void run(const long *plSeq, int nKeys) {
        SQLHSTMT h = statement(nKeys);
        for (int i = 0; i < nKeys; ++i)
            Check(SQLBindParameter(h, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT,
                                   SQL_C_SBIGINT, SQL_BIGINT, 0, 0, const_cast<long *>(plSeq + i),
                                   sizeof(long), nullptr),
                  "bind seq", SQL_HANDLE_STMT, h);
        SQLRETURN rc = SQLExecute(h);
        if (rc == SQL_NO_DATA) throw std::runtime_error("delete found no row");
        Check(rc, "delete", SQL_HANDLE_STMT, h);
        SQLLEN nRows = 0;
        Check(SQLRowCount(h, &nRows), "row count", SQL_HANDLE_STMT, h);
        SQLFreeStmt(h, SQL_CLOSE);
    }

private:
    SQLHSTMT statement(int nKeys) {
        auto it = stmts_.find(nKeys);
        if (it != stmts_.end()) return it->second;
        std::string sql = kDeleteSql;
        if (nKeys > 1) {
            sql = "DELETE FROM TSMS_SND_MSG WHERE MSG_SEQ IN (?";
            for (int i = 1; i < nKeys; ++i) sql += ",?";
            sql += ");";
        }
        return stmts_[nKeys] = con_.prepare(sql);
    }
    Connection &con_;
    std::map<int, SQLHSTMT> stmts_;
};

bool IsNull(SQLLEN len) { return len == SQL_NULL_DATA; }
const char *Text(const char *pc, SQLLEN len, const char *pcFiller) {
    return IsNull(len) ? pcFiller : pc;
}

// The bill line of a row, exactly as the daemon writes it.
int FormatLine(const Row &r, char *pcOut, size_t unSize) {
    long lIn = IsNull(r.len_in_group) ? 0 : std::stoi(r.IN_GROUP);
    long lOut = IsNull(r.len_out_group) ? 0 : static_cast<int>(r.OUT_GROUP);
    return snprintf(pcOut, unSize, kLineFormat, "000", lIn, lOut,
                    Text(r.SERIAL_NUM, r.len_serial_num, "__________"),
                    Text(r.CALLER_NO, r.len_caller_no, "________________"),
                    Text(r.CALLEE_NO, r.len_callee_no, "________________"),
                    Text(r.CALLBACK_NO, r.len_callback_no, "________________"),
                    Text(r.IN_TIME, r.len_in_time, "______________"),
                    Text(r.REPORT_TIME, r.len_report_time, "______________"));
}

class BillFile {
public:
    BillFile(const char *pcPath, bool bSync)
        : fd_(::open(pcPath, O_WRONLY | O_APPEND | O_CREAT, 0644)), sync_(bSync) {
        if (fd_ < 0) throw std::runtime_error(std::string("open ") + pcPath);
    }
    ~BillFile() { ::close(fd_); }
    BillFile(const BillFile &) = delete;
    BillFile &operator=(const BillFile &) = delete;
    void append(const char *pc, size_t unLen) {
        if (::write(fd_, pc, unLen) != static_cast<ssize_t>(unLen)) throw std::runtime_error("write");
    }
    void sync() {
        if (sync_ && fdatasync(fd_) != 0) throw std::runtime_error("fdatasync");
    }

private:
    int fd_;
    bool sync_;
};

// One pass of the daemon's design; returns the rows it moved.
int PerRowPass(Selecter &sel, Deleter &del, const Row &row, BillFile &bill) {
    char szLine[512];
    int nCount = 0;
    sel.execute();
    while (sel.fetch()) {
        ++nCount;
        int n = FormatLine(row, szLine, sizeof(szLine));
        bill.append(szLine, static_cast<size_t>(n));
        bill.sync();
        del.run(&row.MSG_SEQ, 1);
    }
    return nCount;
}

// Commit per pass: the lines one write each, one sync, the single-row
// deletes, one commit (also for a pass that found nothing, as the daemon).
int PerPass(Connection &con, Selecter &sel, Deleter &del, const Row &row, BillFile &bill) {
    char szLine[512];
    long alSeq[kMaxRows];
    int nCount = 0;
    sel.execute();
    while (sel.fetch()) {
        alSeq[nCount++] = row.MSG_SEQ;
        int n = FormatLine(row, szLine, sizeof(szLine));
        bill.append(szLine, static_cast<size_t>(n));
    }
    if (nCount > 0) bill.sync();
    for (int i = 0; i < nCount; ++i) del.run(&alSeq[i], 1);
    con.commit();
    return nCount;
}

// The lines of a pass in one write, one sync, one delete of its keys.
int BatchPass(Selecter &sel, Deleter &del, const Row &row, BillFile &bill) {
    static std::vector<char> lines(kMaxRows * 512);
    static long alSeq[kMaxRows];
    size_t unLen = 0;
    int nCount = 0;
    sel.execute();
    while (sel.fetch()) {
        alSeq[nCount++] = row.MSG_SEQ;
        unLen += static_cast<size_t>(FormatLine(row, lines.data() + unLen, 512));
    }
    if (nCount == 0) return 0;
    bill.append(lines.data(), unLen);
    bill.sync();
    del.run(alSeq, nCount);
    return nCount;
}

// The daemon's large pass: BatchPass in a transaction, committed once.
int LargePass(Connection &con, Selecter &sel, Deleter &del, const Row &row, BillFile &bill) {
    int nCount = BatchPass(sel, del, row, bill);
    con.commit();
    return nCount;
}

double Micros(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

double Quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

long HandlerReads(Connection &con) {
    long lTotal = 0;
    auto pairs = con.query_pairs("SHOW SESSION STATUS LIKE 'Handler_read%'");
    for (size_t i = 0; i + 1 < pairs.size(); i += 2) lTotal += atol(pairs[i + 1].c_str());
    return lTotal;
}

void Growth(Connection &con, Selecter &sel, Deleter &del, Row &row, BillFile &bill, int nPasses,
            bool bLarge) {
    std::vector<double> pass, select;
    long lReadsBefore = HandlerReads(con);
    for (int i = 0; i < nPasses; ++i) {
        auto t0 = Clock::now();
        if (bLarge) {
            int nCount = LargePass(con, sel, del, row, bill);
            if (nCount == 0) break;
            pass.push_back(Micros(t0, Clock::now()));
            select.push_back(0);
            continue;
        }
        sel.execute();
        auto t1 = Clock::now();
        char szLine[512];
        int nCount = 0;
        while (sel.fetch()) {
            ++nCount;
            int n = FormatLine(row, szLine, sizeof(szLine));
            bill.append(szLine, static_cast<size_t>(n));
            del.run(&row.MSG_SEQ, 1);
        }
        auto t2 = Clock::now();
        if (nCount == 0) break;
        select.push_back(Micros(t0, t1));
        pass.push_back(Micros(t0, t2));
    }
    if (pass.empty()) throw std::runtime_error("growth: the table is empty");
    // The status query itself reads a little; it is the same at every backlog.
    long lReads = HandlerReads(con) - lReadsBefore;
    printf("passes=%zu pass_median_us=%.0f pass_p90_us=%.0f select_median_us=%.0f "
           "handler_reads_per_pass=%.1f\n",
           pass.size(), Quantile(pass, 0.5), Quantile(pass, 0.9), Quantile(select, 0.5),
           static_cast<double>(lReads) / static_cast<double>(pass.size()));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: %s per-row|per-pass|batch|large|growth CONN BILL SYNC|PASSES [ROWS]\n",
                argv[0]);
        return 2;
    }
    std::string mode = argv[1];
    int nRows = argc == 6 ? atoi(argv[5]) : kRownum - 1;
    if (nRows < 1 || nRows > kMaxRows) {
        fprintf(stderr, "drain_floor: ROWS must be 1 to %d\n", kMaxRows);
        return 2;
    }
    bool bLarge = argc == 6;
    try {
        Connection con(argv[2], mode != "per-pass" && !bLarge);
        Row row{};
        Selecter sel(con, row, nRows);
        Deleter del(con);
        if (mode == "growth") {
            BillFile bill(argv[3], bLarge);
            Growth(con, sel, del, row, bill, atoi(argv[4]), bLarge);
            return 0;
        }
        BillFile bill(argv[3], atoi(argv[4]) != 0);
        if (mode != "batch" && mode != "per-row" && mode != "per-pass" && mode != "large")
            throw std::runtime_error("unknown mode " + mode);
        auto pass = [&]() {
            if (mode == "large") return LargePass(con, sel, del, row, bill);
            if (mode == "per-pass") return PerPass(con, sel, del, row, bill);
            return mode == "batch" ? BatchPass(sel, del, row, bill)
                                   : PerRowPass(sel, del, row, bill);
        };
        long lTotal = 0;
        for (int n; (n = pass()) > 0;) lTotal += n;
        printf("rows=%ld\n", lTotal);
    } catch (const std::exception &e) {
        fprintf(stderr, "drain_floor: %s\n", e.what());
        return 1;
    }
    return 0;
}
