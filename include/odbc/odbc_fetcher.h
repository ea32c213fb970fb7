// Public: result access of an executed statement: fetching rows into the bound
// columns and reading the affected-row count. Shares the statement handle.
#pragma once

#include <memory>

#include "odbc/odbc_def.h"
#include "odbc/odbc_error.h"
#include "odbc/odbc_stmt.h"

namespace odbctemplate {

class OdbcFetcher {
public:
    explicit OdbcFetcher(std::shared_ptr<OdbcStmt> handle) : stmt(std::move(handle)) {}

    // True with a row in the bound buffers. False at the end of the result, and
    // also on SQL_SUCCESS_WITH_INFO (for example a truncated string): either
    // way the cursor is closed and the statement can be executed again.
    bool fetch() {
        SQLHSTMT handle = stmt->get();
        SQLSMALLINT columns = 0;
        SQLRETURN status = SQLNumResultCols(handle, &columns);
        if (!odbc_ok(status)) {
            OdbcError::Throw(SQL_HANDLE_STMT, handle, status);
        }
        status = SQLFetch(handle);
        if (status == SQL_SUCCESS) {
            return true;
        }
        if (status == SQL_ERROR) {
            OdbcError::Throw("SQL_NULL_DATA should bind nullable");
        }
        SQLFreeStmt(handle, SQL_CLOSE);
        return false;
    }

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

private:
    std::shared_ptr<OdbcStmt> stmt;
};

}  // namespace odbctemplate
