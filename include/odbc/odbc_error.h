// Public: the one exception type of the ODBC access layer. what() is "[" code "] " message; the
// code is an SQLSTATE, "-1" for the layer's own messages and unreadable diagnostics, or "-2" for an
// invalid handle.
#pragma once

#include <stdio.h>

#include <exception>
#include <string>

#include "odbc/odbc_def.h"

namespace odbctemplate {

class OdbcError : public std::exception {
public:
    explicit OdbcError(const std::string &message) : OdbcError(Ty_Result("-1", message)) {}

    explicit OdbcError(const Ty_Result &error)
        : error_code(std::get<CODE>(error)),
          error_msg(std::get<ERROR_MESSAGE>(error)),
          text("[" + error_code + "] " + error_msg) {}

    // From a failed call's return code on a handle of kind `type`; the code itself is not kept.
    OdbcError(SQLSMALLINT type, SQLHANDLE handle, SQLRETURN status)
        : OdbcError(status == SQL_INVALID_HANDLE ? invalid_handle(type)
                                                 : get_odbc_error(type, handle)) {}

    const char *what() const noexcept override { return text.c_str(); }

    const std::string &code() const { return error_code; }
    const std::string &message() const { return error_msg; }

    [[noreturn]] static void Throw(const std::string &error) { throw OdbcError(error); }
    [[noreturn]] static void Throw(Ty_Result error) { throw OdbcError(error); }
    [[noreturn]] static void Throw(SQLSMALLINT type, SQLHANDLE handle, SQLRETURN status) {
        throw OdbcError(type, handle, status);
    }

    // Reads diagnostic record 1 of the handle, echoing it to standard output. ("-1", "unknown
    // error") when there is none or it cannot be read whole.
    static Ty_Result get_odbc_error(SQLSMALLINT type, SQLHANDLE handle) {
        SQLCHAR state[32] = {0};
        SQLCHAR message[512] = {0};
        SQLINTEGER records = 0;
        SQLGetDiagField(type, handle, 0, SQL_DIAG_NUMBER, &records, 0, nullptr);
        if (records >= 1) {
            SQLINTEGER native = 0;
            SQLSMALLINT length = 0;
            SQLRETURN status = SQLGetDiagRec(type, handle, 1, state, &native, message,
                                             sizeof(message), &length);
            printf("state:%stext:%s\n", reinterpret_cast<char *>(state),
                   reinterpret_cast<char *>(message));
            if (status == SQL_SUCCESS) {
                return Ty_Result(reinterpret_cast<char *>(state),
                                 reinterpret_cast<char *>(message));
            }
        }
        return Ty_Result("-1", "unknown error");
    }

private:
    static Ty_Result invalid_handle(SQLSMALLINT type) {
        switch (type) {
            case SQL_HANDLE_ENV:
                return Ty_Result("-2", "[ENV]: SQL_INVALID_HANDLE");
            case SQL_HANDLE_DBC:
                return Ty_Result("-2", "[DBC]: SQL_INVALID_HANDLE");
            case SQL_HANDLE_STMT:
                return Ty_Result("-2", "[STMT]: SQL_INVALID_HANDLE");
            default:
                return Ty_Result("-2", "[Unkown]: SQL_INVALID_HANDLE");
        }
    }

    std::string error_code;
    std::string error_msg;
    std::string text;  // what(), kept so its characters live as long as the error
};

}  // namespace odbctemplate
