// Public: result access of an executed statement: fetching rows into the bound columns and reading
// the affected-row count. Shares the statement handle.
#pragma once

#include <memory>
#include <string>

#include "odbc/odbc_def.h"
#include "odbc/odbc_error.h"
#include "odbc/odbc_stmt.h"

namespace odbctemplate {

class OdbcFetcher {
public:
    explicit OdbcFetcher(std::shared_ptr<OdbcStmt> handle) : stmt(std::move(handle)) {}

    // True with a row in the bound buffers. False at the end of the result, and also on
    // SQL_SUCCESS_WITH_INFO (for example a truncated string): either way the cursor is closed and
    // the statement can be executed again. A row that ended the result because a value was cut is
    // still in the buffers, and lastRowTruncated() tells so.
    bool fetch() {
        SQLHSTMT handle = stmt->get();
        truncated = false;
        SQLSMALLINT columns = 0;
        SQLRETURN status = SQLNumResultCols(handle, &columns);
        if (!odbc_ok(status)) {
            OdbcError::Throw(SQL_HANDLE_STMT, handle, status);
        }
        status = SQLFetch(handle);
        atEnd = status == SQL_NO_DATA;
        if (status == SQL_SUCCESS) {
            return true;
        }
        if (status == SQL_ERROR) {
            OdbcError::Throw("SQL_NULL_DATA should bind nullable");
        }
        truncated = status == SQL_SUCCESS_WITH_INFO && isTruncation(handle);
        SQLFreeStmt(handle, SQL_CLOSE);
        return false;
    }

    bool lastRowTruncated() const { return truncated; }
    // True once fetch() met the end of the result, not a warning that closed the cursor early:
    // only then has every row of the result been seen.
    bool resultEnded() const { return atEnd; }

    // Rows affected by the executed statement; closes the cursor.
    long getRowCount() {
        if (!stmt || stmt->get() == SQL_NULL_HSTMT) {
            OdbcError::Throw("stmt is null");
        }
        SQLHSTMT handle = stmt->get();
        SQLLEN row = 0;
        SQLRETURN status = SQLRowCount(handle, &row);
        if (!odbc_ok(status)) {
            OdbcError::Throw(SQL_HANDLE_STMT, handle, status);
        }
        SQLFreeStmt(handle, SQL_CLOSE);
        return static_cast<long>(row);
    }

    long getDeleteRowCount() { return getRowCount(); }

    // The complete value of an unbound `column` (from 1) of the fetched row as text, read piece by
    // piece whatever its length; false for NULL. Columns are read in ascending order, each once.
    bool getText(int column, std::string &value) {
        SQLHSTMT handle = stmt->get();
        value.clear();
        char piece[1024];
        for (;;) {
            SQLLEN length = 0;
            SQLRETURN status = SQLGetData(handle, static_cast<SQLUSMALLINT>(column), SQL_C_CHAR,
                                          piece, sizeof(piece), &length);
            if (status == SQL_NO_DATA) return true;  // the last piece was read before
            if (status != SQL_SUCCESS && status != SQL_SUCCESS_WITH_INFO) {
                OdbcError::Throw(SQL_HANDLE_STMT, handle, status);
            }
            if (length == SQL_NULL_DATA) return false;
            // A piece that did not fit fills the buffer less its zero; the length counts bytes, so
            // zero bytes inside a value are kept.
            bool more = length == SQL_NO_TOTAL || length >= static_cast<SQLLEN>(sizeof(piece));
            value.append(piece, more ? sizeof(piece) - 1 : static_cast<size_t>(length));
            if (!more) return true;
        }
    }

private:
    // SQLSTATE 01004: string data, right truncated.
    static bool isTruncation(SQLHSTMT handle) {
        SQLCHAR state[6] = {0};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLRETURN status =
            SQLGetDiagRec(SQL_HANDLE_STMT, handle, 1, state, &native, nullptr, 0, &length);
        // Without a message buffer the record may come back "with info".
        return (status == SQL_SUCCESS || status == SQL_SUCCESS_WITH_INFO) &&
               std::string(reinterpret_cast<char *>(state)) == "01004";
    }

    std::shared_ptr<OdbcStmt> stmt;
    bool truncated = false;
    bool atEnd = false;
};

}  // namespace odbctemplate
