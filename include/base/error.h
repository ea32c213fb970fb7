// Public: per-thread error registry; callers that want a failure's reason print StrError(errno).
#pragma once

#include <cstddef>

enum __en_CmnLibErrno { E_LIB_INTERNAL = 1155 };
enum __en_CmnAppErrno { E_APP_BASE = 1156, E_APP_SIP_BASE = 1157 };

constexpr unsigned int ERR_MAX_ENTRIES = 31;    // entries kept per thread
constexpr size_t ERR_ENTRY_SIZE = 1024;         // bytes of one entry text
constexpr size_t ERR_REPORT_SIZE = 32768;       // bytes of the report buffer
constexpr size_t ERR_DETAIL_LIMIT = 1023;       // detail (function, line, message) cut here
constexpr int ERR_MAX_STRERR_FUNCS = 32;        // application error-text callbacks

// Records one entry; drops the new entry when the thread already holds 31.
void __Set_Error(int nErrno, const char *pcFunc, unsigned int unLine, const char *cFormat, ...)
    __attribute__((format(printf, 4, 5)));
// Same with a class name; drops the oldest entry when the thread already holds 31.
void __Set_Error(int nErrno, const char *pcClassName, const char *pcFunc, unsigned int unLine,
                 const char *cFormat, ...) __attribute__((format(printf, 5, 6)));

// Newest first, then cleared; with no entries, the system text of nErrno (empty above 130).
const char *StrError(int nErrno);
void Clr_Error();
int Init_BaseLib();
int Add_StrErrFunc(const char *(*pSigFunc)(int));

unsigned int Get_ErrorCount();
// Kernel thread id of the thread that recorded the calling thread's last entry.
unsigned int Get_ErrorThreadId();

#define SET_ERROR(nErrno, ...) __Set_Error((nErrno), __func__, __LINE__, __VA_ARGS__)
