// Public: the column-binding cursor handed to OdbcpreparedStmt::bindCol callbacks. Each call binds
// the next column, starting at 1. Every binding is nullable: the length field receives the value's
// length, or SQL_NULL_DATA (-1) for NULL. Buffers must stay at their addresses while the statement
// is fetched from.
#pragma once

#include <cstddef>

#include "odbc/odbc_def.h"
#include "odbc/odbc_error.h"

namespace odbctemplate {

class OdbcpreparedStmt;

static_assert(sizeof(long) == sizeof(SQLLEN), "length fields are long");

class BindColHelper {
public:
    // The full 64 bits of `buffer` are written.
    void setBindColLongNullable(long *buffer, long *len) {
        static_assert(sizeof(long) == sizeof(SQLBIGINT), "long must be a 64-bit integer");
        bind(SQL_C_SBIGINT, buffer, sizeof(long), len);
    }

    // `buffer_size` counts the terminating zero; a longer value is truncated.
    void setBindColStringNullable(char *buffer, size_t buffer_size, long *len) {
        bind(SQL_C_CHAR, buffer, static_cast<SQLLEN>(buffer_size), len);
    }

private:
    friend class OdbcpreparedStmt;

    explicit BindColHelper(SQLHSTMT handle) : index(1), stmt(handle) {}

    void bind(SQLSMALLINT target, SQLPOINTER buffer, SQLLEN buffer_size, long *len) {
        // The column number advances also when the binding fails.
        SQLUSMALLINT column = static_cast<SQLUSMALLINT>(index++);
        SQLRETURN status = SQLBindCol(stmt, column, target, buffer, buffer_size, len);
        if (!odbc_ok(status)) {
            OdbcError::Throw(SQL_HANDLE_STMT, stmt, status);
        }
    }

    int index;
    SQLHSTMT stmt;
};

}  // namespace odbctemplate
