// Entry points of records and dumps: argument checks and the early filter.
#include "base/error.h"
#include "log_internal.h"

namespace {

bool Is_Attached() { return __pstLogShm != nullptr; }

int CheckFormat(const char *pcFormat) {
    if (pcFormat == nullptr) {
        SET_ERROR(LOG_ERR_INVALID, "Invalid parameter [pcFormat is NULL]");
        return -1;
    }
    return 0;
}

int CheckCall(unsigned int unLogSect, const char *pcFormat, const char *pcSectError) {
    unsigned int unCount = __Get_LogSectCnt();
    if (unLogSect >= unCount) {
        SET_ERROR(LOG_ERR_INVALID, "%s [unLogSect:%d/ConfiguredSect:%d]", pcSectError,
                  static_cast<int>(unLogSect), static_cast<int>(unCount));
        return -1;
    }
    return CheckFormat(pcFormat);
}

// A rejected record costs no formatting. Level 0 skips this filter.
bool Is_Filtered(unsigned int unLogSect, unsigned int unLogLevel) {
    if (unLogLevel == LOG_F) return false;
    const _ST_LOG_LIST *pstList = __Get_LogList(unLogSect);
    return pstList != nullptr && __Filter_LogLevel(__Load_LogLevel(pstList), unLogLevel) != 0;
}

int LogChecked(unsigned int unLogSect, unsigned int unLogLevel, const char *pcFormat,
               va_list ap) {
    if (Is_Filtered(unLogSect, unLogLevel)) return 0;
    const _ST_LOG_SECT *pstSect = unLogLevel != LOG_F ? __Get_LogSect(unLogSect) : nullptr;
    if (pstSect != nullptr && __Get_LogQueue(*pstSect) != 0 && !__Is_LogPushing()) {
        return __Push_Log(unLogSect, unLogLevel, pcFormat, ap);
    }
    return __Log(unLogSect, unLogLevel, pcFormat, ap);
}

}  // namespace

int Log(unsigned int unLogSect, unsigned int unLogLevel, const char *pcFormat, ...) {
    if (!Is_Attached() || CheckCall(unLogSect, pcFormat, "Invalid sect-id") < 0) return -1;
    va_list ap;
    va_start(ap, pcFormat);
    int nRet = LogChecked(unLogSect, unLogLevel, pcFormat, ap);
    va_end(ap);
    return nRet;
}

int Log(unsigned int unLogLevel, const char *pcFormat, ...) {
    if (!Is_Attached() || CheckFormat(pcFormat) < 0) return -1;
    va_list ap;
    va_start(ap, pcFormat);
    int nRet = LogChecked(0, unLogLevel, pcFormat, ap);
    va_end(ap);
    return nRet;
}

int Log(unsigned int unLogLevel, const char *pcFormat, va_list *pAp) {
    if (!Is_Attached() || CheckFormat(pcFormat) < 0 || pAp == nullptr) return -1;
    va_list ap;
    va_copy(ap, *pAp);
    int nRet = LogChecked(0, unLogLevel, pcFormat, ap);
    va_end(ap);
    return nRet;
}

int H_Dump(unsigned int unLogSect, unsigned int unLogLevel, const char *pcData,
           unsigned int unDataLen, const char *pcFormat, ...) {
    if (!Is_Attached() || CheckCall(unLogSect, pcFormat, "Invalid sect-id") < 0) return -1;
    va_list ap;
    va_start(ap, pcFormat);
    int nRet = __H_Dump(unLogSect, unLogLevel, pcData, unDataLen, pcFormat, ap);
    va_end(ap);
    return nRet;
}

int H_Dump(unsigned int unLogLevel, const char *pcData, unsigned int unDataLen,
           const char *pcFormat, ...) {
    if (!Is_Attached() || CheckFormat(pcFormat) < 0) return -1;
    va_list ap;
    va_start(ap, pcFormat);
    int nRet = __H_Dump(0, unLogLevel, pcData, unDataLen, pcFormat, ap);
    va_end(ap);
    return nRet;
}

int T_Dump(unsigned int unLogSect, unsigned int unLogLevel, const char *pcText,
           const char *pcFormat, ...) {
    if (!Is_Attached() || CheckCall(unLogSect, pcFormat, "Invalid Sector") < 0) return -1;
    va_list ap;
    va_start(ap, pcFormat);
    int nRet = __T_Dump(unLogSect, unLogLevel, pcText, pcFormat, ap);
    va_end(ap);
    return nRet;
}

int T_Dump(unsigned int unLogLevel, const char *pcText, const char *pcFormat, ...) {
    if (!Is_Attached() || CheckFormat(pcFormat) < 0) return -1;
    va_list ap;
    va_start(ap, pcFormat);
    int nRet = __T_Dump(0, unLogLevel, pcText, pcFormat, ap);
    va_end(ap);
    return nRet;
}
