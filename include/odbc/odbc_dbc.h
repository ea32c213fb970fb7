// Public: owner of one ODBC connection handle, always held through a shared pointer. The last
// holder disconnects and frees the handle.
#pragma once

#include "odbc/odbc_def.h"

namespace odbctemplate {

class OdbcDbc {
public:
    explicit OdbcDbc(SQLHDBC handle) : dbc(handle) {}

    ~OdbcDbc() { release(); }

    OdbcDbc(const OdbcDbc &) = delete;
    OdbcDbc &operator=(const OdbcDbc &) = delete;

    SQLHDBC get() const { return dbc; }

    // Frees the handle; afterwards the owner holds none. A connect refused for its warnings leaves
    // the handle connected: it is disconnected first (harmless on a handle that never connected),
    // or it could not be freed.
    void release() {
        if (dbc != SQL_NULL_HDBC) {
            SQLDisconnect(dbc);
            SQLFreeConnect(dbc);
            dbc = SQL_NULL_HDBC;
        }
    }

private:
    SQLHDBC dbc;
};

}  // namespace odbctemplate
