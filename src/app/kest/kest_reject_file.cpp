// Reject file: unbillable rows, read back whole from the table and kept as CSV before their delete.
#include "kest_reject_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace kest {

namespace {

constexpr const char *kRecordEnd = "\r\n";

std::string StoredSelect() {
    std::string sql = "SELECT ";
    for (size_t i = 0; i < kStoredColumns.size(); ++i)
        sql += std::string(i == 0 ? "" : ", ") + kStoredColumns[i];
    return sql + " FROM TSMS_SND_MSG WHERE MSG_SEQ = ?";
}

std::string Quoted(const std::string &value) {
    std::string out = "\"";
    for (char c : value) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string LocalTime(time_t t, const char *pcFormat) {
    tm stTm{};
    localtime_r(&t, &stTm);
    char szText[64];
    if (strftime(szText, sizeof(szText), pcFormat, &stTm) == 0)
        throw std::runtime_error("reject file : strftime fail");
    return szText;
}

// Size of the file up to its last whole record: a record torn by a killed process is cut off, or
// its open quote would swallow the records after it. Its row was not deleted and comes again.
off_t WholeRecordsSize(int fd) {
    off_t whole = 0;
    off_t offset = 0;
    bool bInQuotes = false;
    char szBuf[4096];
    for (;;) {
        ssize_t n = pread(fd, szBuf, sizeof(szBuf), offset);
        if (n < 0) return -1;
        if (n == 0) return whole;
        for (ssize_t i = 0; i < n; ++i) {
            if (szBuf[i] == '"') bInQuotes = !bInQuotes;  // "" toggles twice
            else if (szBuf[i] == '\n' && !bInQuotes) whole = offset + i + 1;
        }
        offset += n;
    }
}

std::string ErrnoText() { return strerror(errno); }

std::string Header() {
    std::string line = "time,reason";
    for (const char *pcColumn : kStoredColumns) line += std::string(",") + pcColumn;
    return line + kRecordEnd;
}

std::string Record(const std::string &time, const std::string &reason, const StoredRow &row) {
    std::string line = Quoted(time) + "," + Quoted(reason);
    for (const auto &value : row) {
        line += ',';
        if (value) line += Quoted(*value);
    }
    return line + kRecordEnd;
}

}  // namespace

std::vector<StoredRow> ReadStoredRows(odbctemplate::OdbcConnect &con, long lSeq) {
    static const std::string kSql = StoredSelect();
    odbctemplate::OdbcpreparedStmt stmt = con.preparedStmt(kSql);
    odbctemplate::OdbcFetcher fetcher = stmt.bindExecute(lSeq);
    std::vector<StoredRow> rows;
    std::string value;
    while (fetcher.fetch()) {
        StoredRow &row = rows.emplace_back();
        for (size_t i = 0; i < row.size(); ++i)
            if (fetcher.getText(static_cast<int>(i + 1), value)) row[i] = value;
    }
    return rows;
}

RejectFile::RejectFile(std::string folder, bool bSync)
    : folder_(std::move(folder)), bSync_(bSync), file_(WholeRecordsSize, bSync) {}

void RejectFile::open(const std::string &date) {
    path_ = folder_ + "/SMSC_REJECT_" + date + ".csv";
    switch (file_.open(path_)) {
        case fileutil::AppendFile::Opened::DirectorySyncFailed:
            throw std::runtime_error("reject file " + path_ + " directory sync fail : " +
                                     ErrnoText());
        case fileutil::AppendFile::Opened::OpenFailed:
            throw std::runtime_error("reject file " + path_ + " open fail : " + ErrnoText());
        default:
            return;
    }
}

void RejectFile::write(const std::string &reason, const std::vector<StoredRow> &rows) {
    time_t now = time(nullptr);
    open(LocalTime(now, "%Y-%m-%d"));
    std::string text = file_.end() == 0 ? Header() : std::string();
    std::string stamp = LocalTime(now, "%Y-%m-%d %H:%M:%S");
    for (const StoredRow &row : rows) text += Record(stamp, reason, row);
    // The caller deletes the rows next: they count only once all their records are in the file.
    if (!file_.append(text) || !file_.sync()) {
        file_.abandon();  // nothing of the records stays
        throw std::runtime_error("reject file " + path_ + " write fail : " + ErrnoText());
    }
    file_.settle();
}

void RejectFile::cutTornTailOfNewest() {
    if (enabled())
        fileutil::CutTornTails(folder_, "SMSC_REJECT_####-##-##.csv", {}, WholeRecordsSize, bSync_);
}

}  // namespace kest
