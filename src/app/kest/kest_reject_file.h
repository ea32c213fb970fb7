// Internal to the daemon: the reject file. A row whose values cannot make a bill line is set aside
// here, whole and as stored in the table, before it is deleted, so that one bad row never stops
// billing. One file per local date, ${REJECT_PATH}/SMSC_REJECT_YYYY-MM-DD.csv: CSV as in RFC 4180
// (CRLF after each record, a header line first), one record per row. Every value is double-quoted,
// quotes inside doubled; a NULL column is an empty unquoted field, so NULL ("...,,...") and empty
// text ("...,"",...") stay apart.
#pragma once

#include <sys/types.h>

#include <array>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "kest_file_util.h"
#include "odbc/odbc_connect.h"

namespace kest {

// Columns of the table in the order of a stored row and of the file.
constexpr std::array<const char *, 11> kStoredColumns = {
    "MSG_SEQ",   "PROC_RESULT", "IN_GROUP", "OUT_GROUP",   "SERIAL_NUM", "CALLER_NO",
    "CALLEE_NO", "CALLBACK_NO", "IN_TIME",  "REPORT_TIME", "PROC_STS"};

// A row as the table holds it: each column's complete text, none for NULL.
using StoredRow = std::array<std::optional<std::string>, kStoredColumns.size()>;

// The rows stored under key lSeq, every column read whole whatever its length (a third statement of
// its own, released before this returns). Throws odbctemplate::OdbcError.
std::vector<StoredRow> ReadStoredRows(odbctemplate::OdbcConnect &con, long lSeq);

class RejectFile {
public:
    // An empty folder disables the file: a bad row then ends the process.
    RejectFile(std::string folder, bool bSync);
    RejectFile(const RejectFile &) = delete;
    RejectFile &operator=(const RejectFile &) = delete;

    bool enabled() const { return !folder_.empty(); }

    // Appends one record per row to the file of the current local date, flushed (and synced when
    // configured) before it returns. Throws std::runtime_error, leaving nothing behind, when they
    // are not safely in the file.
    void write(const std::string &reason, const std::vector<StoredRow> &rows);

    // Path of the file last written; empty before the first record.
    const std::string &fileName() const { return path_; }
    // Cuts the torn tail a killed process may have left in the newest reject file of the folder,
    // whatever its date; logged.
    void cutTornTailOfNewest();

private:
    void open(const std::string &date);

    std::string folder_;
    bool bSync_;
    std::string path_;
    fileutil::AppendFile file_;
};

}  // namespace kest
