// Public: a prepared statement. Copies share the statement handle. Parameters are bound by address
// at every bindExecute, so the values only have to live until it returns.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "odbc/odbc_def.h"
#include "odbc/odbc_error.h"
#include "odbc/odbc_fetcher.h"
#include "odbc/odbc_helper.h"
#include "odbc/odbc_stmt.h"

namespace odbctemplate {

class OdbcpreparedStmt {
public:
    explicit OdbcpreparedStmt(std::shared_ptr<OdbcStmt> handle) : stmt(std::move(handle)) {}

    // Binds the result columns in select-list order through `help`, once.
    OdbcpreparedStmt bindCol(const std::function<void(BindColHelper &)> &help) {
        BindColHelper helper(stmt->get());
        help(helper);
        return *this;
    }

    // Binds the values to parameters 1, 2, ... and executes. A statement that affects or finds
    // nothing in the driver's eyes (SQL_NO_DATA) throws "SQL NO DATA".
    template <typename T, typename... Args>
    OdbcFetcher bindExecute(const T &p1, const Args &...rest) {
        bindForParams(1, p1, rest...);
        return execute();
    }

    // Binds values[0..count) to parameters 1..count and executes, as bindExecute does.
    OdbcFetcher bindExecuteKeys(const long *values, size_t count) {
        for (size_t i = 0; i < count; ++i) bind(static_cast<int>(i + 1), values[i]);
        return execute();
    }

private:
    OdbcFetcher execute() {
        SQLHSTMT handle = stmt->get();
        SQLRETURN status = SQLExecute(handle);
        if (status == SQL_NO_DATA) {
            OdbcError::Throw("SQL NO DATA");
        }
        if (!odbc_ok(status)) {
            OdbcError::Throw(SQL_HANDLE_STMT, handle, status);
        }
        return OdbcFetcher(stmt);
    }

    template <typename T, typename... Args>
    void bindForParams(int index, const T &param, const Args &...rest) {
        bind(index, param);
        if constexpr (sizeof...(rest) > 0) {
            bindForParams(index + 1, rest...);
        }
    }

    // Other types would become a temporary whose address dies before the execution reads it.
    template <typename U>
    void bind(int index, const U &param) = delete;

    void bind(int index, const int &param) {
        bindValue(index, SQL_C_SLONG, SQL_INTEGER, &param, sizeof(int));
    }

    // All 64 bits reach the database.
    void bind(int index, const long &param) {
        static_assert(sizeof(long) == sizeof(SQLBIGINT), "long must be a 64-bit integer");
        bindValue(index, SQL_C_SBIGINT, SQL_BIGINT, &param, sizeof(long));
    }

    void bindValue(int index, SQLSMALLINT value_type, SQLSMALLINT param_type, const void *value,
                   SQLLEN length) {
        SQLHSTMT handle = stmt->get();
        SQLRETURN status = SQLBindParameter(handle, static_cast<SQLUSMALLINT>(index),
                                            SQL_PARAM_INPUT, value_type, param_type, 0, 0,
                                            const_cast<void *>(value), length, nullptr);
        if (!odbc_ok(status)) {
            OdbcError::Throw(SQL_HANDLE_STMT, handle, status);
        }
    }

    std::shared_ptr<OdbcStmt> stmt;
};

}  // namespace odbctemplate
