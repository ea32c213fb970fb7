// Public: ODBC headers and the small types shared by the ODBC access layer.
#pragma once

#include <sql.h>
#include <sqlext.h>
#include <sqltypes.h>

#include <string>
#include <tuple>

namespace odbctemplate {

// (code, message) of a failure; see JackPotIndex for the positions.
using Ty_Result = std::tuple<std::string, std::string>;

enum JackPotIndex { CODE = 0, ERROR_MESSAGE = 1 };

// Every ODBC call of the layer counts as successful only with SQL_SUCCESS; SQL_SUCCESS_WITH_INFO is
// a failure like any other result.
inline bool odbc_ok(SQLRETURN status) { return status == SQL_SUCCESS; }

}  // namespace odbctemplate
