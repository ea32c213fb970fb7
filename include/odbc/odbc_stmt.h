// Public: owner of one ODBC statement handle, always held through a shared pointer; the last holder
// frees it. Statements do not keep their connection alive and must be released before it.
#pragma once

#include "odbc/odbc_def.h"

namespace odbctemplate {

class OdbcStmt {
public:
    explicit OdbcStmt(SQLHSTMT handle) : stmt(handle) {}

    ~OdbcStmt() {
        if (stmt != SQL_NULL_HSTMT) SQLFreeStmt(stmt, SQL_DROP);
    }

    OdbcStmt(const OdbcStmt &) = delete;
    OdbcStmt &operator=(const OdbcStmt &) = delete;

    SQLHSTMT get() const { return stmt; }

private:
    SQLHSTMT stmt;
};

}  // namespace odbctemplate
