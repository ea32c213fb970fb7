// Public: a freshly allocated statement, the starting point for preparing or executing directly.
// Takes ownership of the handle.
#pragma once

#include <stdio.h>

#include <memory>
#include <string>

#include "odbc/odbc_def.h"
#include "odbc/odbc_error.h"
#include "odbc/odbc_fetcher.h"
#include "odbc/odbc_prepared_stmt.h"
#include "odbc/odbc_stmt.h"

namespace odbctemplate {

class OdbcResetedStmt {
public:
    explicit OdbcResetedStmt(SQLHSTMT handle) : stmt(std::make_shared<OdbcStmt>(handle)) {}

    OdbcpreparedStmt preparedStmt(const std::string &query) {
        SQLHSTMT handle = stmt->get();
        SQLRETURN status = SQLPrepare(
            handle, reinterpret_cast<SQLCHAR *>(const_cast<char *>(query.c_str())), SQL_NTS);
        printf("preparedStmt SQLPrepare status : %d\n", status);
        if (!odbc_ok(status)) {
            OdbcError::Throw(SQL_HANDLE_STMT, handle, status);
        }
        return OdbcpreparedStmt(stmt);
    }

    // Executes a statement without parameters once (schema set-up, clean-up). SQL_SUCCESS_WITH_INFO
    // is accepted here; SQL_NO_DATA throws "SQL NO DATA".
    OdbcFetcher directExecute(const std::string &query) {
        SQLHSTMT handle = stmt->get();
        SQLRETURN status = SQLExecDirect(
            handle, reinterpret_cast<SQLCHAR *>(const_cast<char *>(query.c_str())), SQL_NTS);
        if (status == SQL_NO_DATA) {
            OdbcError::Throw("SQL NO DATA");
        }
        if (status != SQL_SUCCESS && status != SQL_SUCCESS_WITH_INFO) {
            OdbcError::Throw(SQL_HANDLE_STMT, handle, status);
        }
        return OdbcFetcher(stmt);
    }

private:
    std::shared_ptr<OdbcStmt> stmt;
};

}  // namespace odbctemplate
