// Per-thread error registry: each library failure leaves one time-stamped entry.
#include "base/error.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/dynamic_time.h"
#include "base/util.h"

namespace {

constexpr int kMaxSystemErrno = 130;
constexpr const char *kReportHeader = "============ Error Information ==============\n";

struct ErrorRegistry {
    unsigned int __unErrCnt;
    char __cErrDetail[ERR_MAX_ENTRIES + 1][ERR_ENTRY_SIZE];
    char __cErrOutBuf[ERR_REPORT_SIZE];
    char __cSystemStrerror[ERR_ENTRY_SIZE];
    unsigned int __unErrTId;
};

thread_local ErrorRegistry tRegistry;

const char *(*__pAppStrErrFunc[ERR_MAX_STRERR_FUNCS])(int);
int __AppErrFuncCnt = 0;

const char *SystemText(int nErrno, char *pcBuf, size_t unBufLen) {
    // The GNU variant may return a static text instead of filling the buffer.
    return strerror_r(nErrno, pcBuf, unBufLen);
}

const char *__StrErrorNo(int nErrno, char *pcBuf, size_t unBufLen) {
    if (nErrno >= 0 && nErrno <= kMaxSystemErrno) return SystemText(nErrno, pcBuf, unBufLen);
    if (nErrno == E_LIB_INTERNAL) return "Invalid Parameter";
    for (int i = 0; i < __AppErrFuncCnt; ++i) {
        const char *pcText = __pAppStrErrFunc[i] ? __pAppStrErrFunc[i](nErrno) : nullptr;
        if (pcText != nullptr && pcText[0] != '\0') return pcText;
    }
    return "";
}

void FormatDetail(char *pcDetail, size_t unSize, const char *pcPrefix, const char *cFormat,
                  va_list args) {
    int nLen = snprintf(pcDetail, unSize, " [%s] ", pcPrefix);
    if (nLen < 0) nLen = 0;
    if (static_cast<size_t>(nLen) < unSize) vsnprintf(pcDetail + nLen, unSize - nLen, cFormat, args);
    size_t unLen = strlen(pcDetail);
    if (unLen > 0 && pcDetail[unLen - 1] == '\n') pcDetail[unLen - 1] = '\0';
}

// Cuts the detail so the entry fits its slot: a long detail must not cost the report its error.
void StoreEntry(char *pcSlot, int nErrno, const char *pcDetail) {
    char szStamp[64];
    Time2Str(static_cast<time_t>(-1), szStamp, sizeof(szStamp));
    char szText[ERR_ENTRY_SIZE];
    const char *pcText = __StrErrorNo(nErrno, szText, sizeof(szText));
    snprintf(pcSlot, ERR_ENTRY_SIZE, "[%s] %s (%03d) - %s", szStamp, pcText, nErrno, pcDetail);
}

void Record(int nErrno, const char *pcPrefix, bool bDropOldest, const char *cFormat,
            va_list args) {
    if (cFormat == nullptr) {
        fputs("cFormat is NULL\n", stderr);
        return;
    }
    ErrorRegistry &reg = tRegistry;
    if (reg.__unErrCnt >= ERR_MAX_ENTRIES) {
        if (!bDropOldest) return;
        memmove(reg.__cErrDetail[0], reg.__cErrDetail[1],
                (ERR_MAX_ENTRIES - 1) * sizeof(reg.__cErrDetail[0]));
        reg.__unErrCnt = ERR_MAX_ENTRIES - 1;
    }
    char *pcSlot = reg.__cErrDetail[reg.__unErrCnt++];
    reg.__unErrTId = Get_ThrId();

    char szDetail[ERR_DETAIL_LIMIT + 1];
    FormatDetail(szDetail, sizeof(szDetail), pcPrefix, cFormat, args);
    StoreEntry(pcSlot, nErrno, szDetail);
    errno = nErrno;
}

}  // namespace

void __Set_Error(int nErrno, const char *pcFunc, unsigned int unLine, const char *cFormat, ...) {
    char szPrefix[256];
    snprintf(szPrefix, sizeof(szPrefix), "%s/%u", pcFunc ? pcFunc : "", unLine);
    va_list args;
    va_start(args, cFormat);
    Record(nErrno, szPrefix, false, cFormat, args);
    va_end(args);
}

void __Set_Error(int nErrno, const char *pcClassName, const char *pcFunc, unsigned int unLine,
                 const char *cFormat, ...) {
    char szPrefix[256];
    snprintf(szPrefix, sizeof(szPrefix), "%s/%s/%u", pcClassName ? pcClassName : "",
             pcFunc ? pcFunc : "", unLine);
    va_list args;
    va_start(args, cFormat);
    Record(nErrno, szPrefix, true, cFormat, args);
    va_end(args);
}

const char *StrError(int nErrno) {
    ErrorRegistry &reg = tRegistry;
    if (reg.__unErrCnt == 0) {
        if (nErrno < 0 || nErrno > kMaxSystemErrno) return "";
        const char *pcText =
            SystemText(nErrno, reg.__cSystemStrerror, sizeof(reg.__cSystemStrerror));
        if (pcText != reg.__cSystemStrerror)
            snprintf(reg.__cSystemStrerror, sizeof(reg.__cSystemStrerror), "%s", pcText);
        return reg.__cSystemStrerror;
    }

    size_t unLen = snprintf(reg.__cErrOutBuf, sizeof(reg.__cErrOutBuf), "%s", kReportHeader);
    unsigned int unPasses = 0;
    for (unsigned int i = reg.__unErrCnt; i > 0; --i) {
        if (++unPasses > ERR_MAX_ENTRIES + 1) {
            fputs("## infinity loop detected : \n", stderr);
            break;
        }
        int nWritten = snprintf(reg.__cErrOutBuf + unLen, sizeof(reg.__cErrOutBuf) - unLen,
                                "%s\n", reg.__cErrDetail[i - 1]);
        if (nWritten < 0) break;
        unLen += static_cast<size_t>(nWritten);
        if (unLen >= sizeof(reg.__cErrOutBuf)) break;
    }
    Clr_Error();
    return reg.__cErrOutBuf;
}

void Clr_Error() {
    ErrorRegistry &reg = tRegistry;
    for (unsigned int i = 0; i < reg.__unErrCnt && i <= ERR_MAX_ENTRIES; ++i)
        reg.__cErrDetail[i][0] = '\0';
    reg.__unErrCnt = 0;
    reg.__unErrTId = 0;
}

int Init_BaseLib() {
    Clr_Error();
    memset(__pAppStrErrFunc, 0, sizeof(__pAppStrErrFunc));
    __AppErrFuncCnt = 0;
    return 0;
}

int Add_StrErrFunc(const char *(*pSigFunc)(int)) {
    if (pSigFunc == nullptr) {
        SET_ERROR(EINVAL, "pSigFunc is NULL");
        return -1;
    }
    if (__AppErrFuncCnt >= ERR_MAX_STRERR_FUNCS) {
        SET_ERROR(ENOMEM, "StrErr Func table is full[%d]", __AppErrFuncCnt);
        return -1;
    }
    int nBefore = __AppErrFuncCnt;
    __pAppStrErrFunc[__AppErrFuncCnt++] = pSigFunc;
    fprintf(stderr, "Add App StrErr Func [%d->%d] (%s/%d)\n", nBefore, __AppErrFuncCnt,
            "__Add_AppStrErr", __LINE__);
    return 0;
}

unsigned int Get_ErrorCount() { return tRegistry.__unErrCnt; }

unsigned int Get_ErrorThreadId() { return tRegistry.__unErrTId; }
