// Public: a database connection, its settings and its builder. The connection handle is shared
// between the builder and the connections built from it; the last holder disconnects and frees it.
// Statements made from a connection must be released before it.
#pragma once

#include <memory>
#include <string>

#include "odbc/odbc_dbc.h"
#include "odbc/odbc_def.h"
#include "odbc/odbc_error.h"
#include "odbc/odbc_fetcher.h"
#include "odbc/odbc_manager.h"
#include "odbc/odbc_prepared_stmt.h"
#include "odbc/odbc_reseted_stmt.h"

namespace odbctemplate {

struct OdbcConnectProperties {
    std::string dsn;           // the complete connection string
    long login_timeout = 0;    // seconds
    bool autocommit = true;
};

class OdbcConnect {
public:
    class OdbcConnectBuilder;

    OdbcConnect(const OdbcConnectProperties &props, std::shared_ptr<OdbcDbc> handle)
        : dbc(std::move(handle)), properties(props) {}

    OdbcResetedStmt allocStmt() {
        SQLHSTMT handle = SQL_NULL_HSTMT;
        SQLRETURN status = SQLAllocHandle(SQL_HANDLE_STMT, dbc->get(), &handle);
        if (!odbc_ok(status)) {
            // The statement never existed: its diagnostics are on the connection.
            OdbcError::Throw(SQL_HANDLE_DBC, dbc->get(), status);
        }
        return OdbcResetedStmt(handle);
    }

    OdbcpreparedStmt preparedStmt(const std::string &query) {
        return allocStmt().preparedStmt(query);
    }

    // Executes a statement without parameters on a statement of its own and returns its fetcher
    // (which keeps that statement alive).
    OdbcFetcher directExecute(const std::string &query) { return allocStmt().directExecute(query); }

    const OdbcConnectProperties &getProperties() const { return properties; }

    // End the open transaction of a connection built with autocommit off.
    void commit() { endTransaction(SQL_COMMIT); }
    void rollback() { endTransaction(SQL_ROLLBACK); }

private:
    void endTransaction(SQLSMALLINT nType) {
        SQLRETURN status = SQLEndTran(SQL_HANDLE_DBC, dbc->get(), nType);
        if (!odbc_ok(status)) OdbcError::Throw(SQL_HANDLE_DBC, dbc->get(), status);
    }

    std::shared_ptr<OdbcDbc> dbc;
    OdbcConnectProperties properties;
};

class OdbcConnect::OdbcConnectBuilder {
public:
    explicit OdbcConnectBuilder(const std::string &dsn) {
        properties.dsn = dsn;
        SQLHENV env = OdbcManager::getInstance().init_odbc().getEnv();
        SQLHDBC handle = SQL_NULL_HDBC;
        SQLRETURN status = SQLAllocHandle(SQL_HANDLE_DBC, env, &handle);
        if (!odbc_ok(status)) {
            OdbcError::Throw("get_connection SQLAllocHandle SQL_HANDLE_DBC fail :" +
                             std::to_string(status));
        }
        dbc = std::make_shared<OdbcDbc>(handle);
    }

    OdbcConnectBuilder &setLoginTimeout(long login_timeout) {
        properties.login_timeout = login_timeout;
        check(SQLSetConnectAttr(dbc->get(), SQL_ATTR_LOGIN_TIMEOUT,
                                reinterpret_cast<SQLPOINTER>(login_timeout), 0));
        return *this;
    }

    OdbcConnectBuilder &setAutocommit(bool autocommit) {
        SQLULEN mode = autocommit ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
        check(SQLSetConnectAttr(dbc->get(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(mode),
                                0));
        properties.autocommit = autocommit;
        return *this;
    }

    OdbcConnect build() {
        SQLHDBC handle = dbc->get();
        // Makes the builder usable on a handle that was connected before.
        SQLDisconnect(handle);
        const std::string dsn = connectString();
        // No prompting: there is no window, and asking the driver to complete the string makes some
        // drivers report "Dialog failed" instead of the real reason (wrong password, server down).
        check(SQLDriverConnect(handle, nullptr,
                               reinterpret_cast<SQLCHAR *>(const_cast<char *>(dsn.c_str())),
                               static_cast<SQLSMALLINT>(dsn.size()), nullptr, 0, nullptr,
                               SQL_DRIVER_NOPROMPT));
        return OdbcConnect(properties, dbc);
    }

private:
    // The MariaDB driver does not bound its wait for the server's greeting by the login time-out
    // attribute: a server that accepts and never answers would hold the connect for ever. The
    // driver's CONN_TIMEOUT option bounds it; other drivers ignore keys they do not know.
    std::string connectString() const {
        if (properties.login_timeout <= 0) return properties.dsn;
        std::string text = properties.dsn;
        if (!text.empty() && text.back() != ';') text += ';';
        return text + "CONN_TIMEOUT=" + std::to_string(properties.login_timeout);
    }

    // On failure the diagnostics are read before the handle is freed; the builder is then left
    // without a usable handle.
    void check(SQLRETURN status) {
        if (odbc_ok(status)) {
            return;
        }
        OdbcError error(SQL_HANDLE_DBC, dbc->get(), status);
        dbc->release();
        throw error;
    }

    std::shared_ptr<OdbcDbc> dbc;
    OdbcConnectProperties properties;
};

}  // namespace odbctemplate
