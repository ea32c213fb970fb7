// Public: the process-wide ODBC environment. Created on first use, allocated once with ODBC 3
// behaviour, kept until the process ends. Not safe for concurrent first use.
#pragma once

#include "odbc/odbc_def.h"
#include "odbc/odbc_error.h"

namespace odbctemplate {

class OdbcManager {
public:
    static OdbcManager &getInstance() {
        // Never destroyed: connections may be released during process exit.
        static OdbcManager *instance = new OdbcManager();
        return *instance;
    }

    OdbcManager &init_odbc() {
        if (env != SQL_NULL_HENV) {
            return *this;
        }
        SQLHENV fresh = SQL_NULL_HENV;
        if (!odbc_ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &fresh))) {
            OdbcError::Throw("init_odbc SQLAllocHandle SQL_HANDLE_ENV fail");
        }
        SQLRETURN status = SQLSetEnvAttr(fresh, SQL_ATTR_ODBC_VERSION,
                                         reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        if (!odbc_ok(status)) {
            OdbcError error(SQL_HANDLE_ENV, fresh, status);
            SQLFreeEnv(fresh);
            throw error;
        }
        env = fresh;
        return *this;
    }

    SQLHENV getEnv() const { return env; }

    OdbcManager(const OdbcManager &) = delete;
    OdbcManager &operator=(const OdbcManager &) = delete;

private:
    OdbcManager() = default;
    ~OdbcManager() = default;

    SQLHENV env = SQL_NULL_HENV;
};

}  // namespace odbctemplate
