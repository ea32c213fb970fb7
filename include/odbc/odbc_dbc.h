// Public: owner of one ODBC connection handle, always held through a shared
// pointer. The last holder disconnects and frees the handle.
#pragma once

#include "odbc/odbc_def.h"

namespace odbctemplate {

class OdbcDbc {
public:
    explicit OdbcDbc(SQLHDBC handle) : dbc(handle) {}

    ~OdbcDbc() {
        if (dbc != SQL_NULL_HDBC) {
            SQLDisconnect(dbc);
            release();
        }
    }

    OdbcDbc(const OdbcDbc &) = delete;
    OdbcDbc &operator=(const OdbcDbc &) = delete;

    SQLHDBC get() const { return dbc; }

    // Frees a handle that was never connected; afterwards the owner holds none.
    void release() {
        if (dbc != SQL_NULL_HDBC) {
            SQLFreeConnect(dbc);
            dbc = SQL_NULL_HDBC;
        }
    }

private:
    SQLHDBC dbc;
};

}  // namespace odbctemplate
