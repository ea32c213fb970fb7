// A time-stamp format such as "MM/DD hh:mm:ss-uuu" is parsed once into fields, then reused.
#include "base/dynamic_time.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/error.h"

namespace {

constexpr int kMaxDividers = static_cast<int>(sizeof(((stTimeFormat *)nullptr)->cDivider));

char gSharedTimeBuf[TIME_SHARED_BUF_SIZE];

stTimeFormat DefaultFormat() {
    stTimeFormat st{};
    st.nYearCnt = st.nMonthCnt = st.nDayCnt = 2;
    st.nHourCnt = st.nMinuteCnt = st.nSecondCnt = 2;
    st.nUSecCnt = 3;
    const char szDiv[] = {'/', '/', ' ', ':', ':', '-'};
    memcpy(st.cDivider, szDiv, sizeof(szDiv));
    return st;
}

// A field letter's counter, upper bound, the letter that must not precede it, and its overflow name.
struct FieldRule {
    char cLetter;
    int stTimeFormat::*pCount;
    int nMax;
    char cForbiddenBefore;  // 0: no order rule
    const char *pcName;
};

constexpr FieldRule kRules[] = {
    {'Y', &stTimeFormat::nYearCnt, 4, 0, "Year"},
    {'M', &stTimeFormat::nMonthCnt, 2, 'D', "Month"},
    {'D', &stTimeFormat::nDayCnt, 2, 'h', "Day"},
    {'h', &stTimeFormat::nHourCnt, 2, 'm', "Hour"},
    {'m', &stTimeFormat::nMinuteCnt, 2, 's', "Minute"},
    {'s', &stTimeFormat::nSecondCnt, 2, 'u', "Second"},
    {'u', &stTimeFormat::nUSecCnt, 6, 0, "Microsecond"},
};

const FieldRule *FindRule(char c) {
    for (const FieldRule &rule : kRules)
        if (rule.cLetter == c) return &rule;
    return nullptr;
}

long Pow10(int n) {
    long v = 1;
    while (n-- > 0) v *= 10;
    return v;
}

bool AppendField(char *pszBuf, int nBufSize, int &nPos, long lValue, int nCnt, char cDivider) {
    char szFmt[16];
    if (__Make_PrintTimeFormat(szFmt, sizeof(szFmt), nCnt, cDivider) < 0) return false;
    if (nPos >= nBufSize - 1) return false;
    int n = snprintf(pszBuf + nPos, nBufSize - nPos, szFmt, lValue);
    if (n < 0) return false;
    nPos += n;
    if (nPos > nBufSize - 1) nPos = nBufSize - 1;
    return true;
}

// A zero time stands for now.
const char *PrintLocal(timespec ts, char *pszBuf, stTimeFormat stFormat, int nBufSize) {
    if (ts.tv_sec == 0 && ts.tv_nsec == 0) clock_gettime(CLOCK_REALTIME, &ts);
    tm stTm{};
    time_t tSec = ts.tv_sec;
    localtime_r(&tSec, &stTm);
    return __Time2Str(&ts, &stTm, pszBuf, &stFormat, nBufSize);
}

}  // namespace

_TIMEFORMAT TimeFormat2Val(const char *pcFormat) {
    if (pcFormat == nullptr || pcFormat[0] == '\0') return DefaultFormat();

    stTimeFormat st{};
    int nDividers = 0;
    bool bSeen[128] = {};
    for (const char *p = pcFormat; *p != '\0'; ++p) {
        const FieldRule *rule = FindRule(*p);
        if (rule == nullptr) {
            // Separators past the record's capacity are dropped; the fields still print.
            if (nDividers < kMaxDividers) st.cDivider[nDividers++] = *p;
            continue;
        }
        if (rule->cForbiddenBefore != 0 && bSeen[static_cast<int>(rule->cForbiddenBefore)]) {
            SET_ERROR(EINVAL, "Invalid Format[%s] (%s/%d)", pcFormat, "TimeFormat2Val", __LINE__);
            return DefaultFormat();
        }
        bSeen[static_cast<int>(rule->cLetter)] = true;
        int &nCount = st.*(rule->pCount);
        if (++nCount > rule->nMax) {
            SET_ERROR(EINVAL, "%s Count Over[%d] in Format[%s] (%s/%d)", rule->pcName, nCount,
                      pcFormat, "TimeFormat2Val", __LINE__);
            return DefaultFormat();
        }
    }
    return st;
}

int __Make_PrintTimeFormat(char *pszBuf, int nBufSize, int nCnt, char cDivider) {
    if (pszBuf == nullptr) {
        SET_ERROR(EINVAL, "pszBuf is NULL");
        return -1;
    }
    if (nCnt < 0) {
        SET_ERROR(EINVAL, "nCnt[%d] is small (%s/%d)", nCnt, "__Make_PrintTimeFormat", __LINE__);
        return -1;
    }
    int n = cDivider != 0 ? snprintf(pszBuf, nBufSize, "%s%d%s%c", "%0", nCnt, "d", cDivider)
                          : snprintf(pszBuf, nBufSize, "%s%d%s", "%0", nCnt, "d");
    return (n < 0 || n >= nBufSize) ? -1 : 0;
}

const char *__Time2Str(timespec *ptspec, tm *pstTm, char *pszBuf, _TIMEFORMAT *pstTFormat,
                       int nBufSize) {
    if (ptspec == nullptr) {
        SET_ERROR(EINVAL, "ptspec is NULL");
        return nullptr;
    }
    if (pszBuf == nullptr) {
        pszBuf = gSharedTimeBuf;
        nBufSize = sizeof(gSharedTimeBuf);
    }
    if (nBufSize <= 0 || pstTm == nullptr || pstTFormat == nullptr) {
        SET_ERROR(EINVAL, "Failed make time");
        return nullptr;
    }
    pszBuf[0] = '\0';

    long lMicro = ptspec->tv_nsec / 1000L;
    int nUSec = pstTFormat->nUSecCnt;
    const struct {
        int nCnt;
        long lValue;
    } fields[] = {
        {pstTFormat->nYearCnt, (pstTm->tm_year + 1900L) % Pow10(pstTFormat->nYearCnt)},
        {pstTFormat->nMonthCnt, pstTm->tm_mon + 1L},
        {pstTFormat->nDayCnt, pstTm->tm_mday},
        {pstTFormat->nHourCnt, pstTm->tm_hour},
        {pstTFormat->nMinuteCnt, pstTm->tm_min},
        {pstTFormat->nSecondCnt, pstTm->tm_sec},
        // Cut, never rounded: 999,999 us with three digits is 999.
        {nUSec, nUSec > 0 && nUSec <= 6 ? (lMicro / Pow10(6 - nUSec)) % Pow10(nUSec) : 0},
    };

    int nPos = 0;
    int nDivider = 0;
    for (const auto &field : fields) {
        if (field.nCnt <= 0) continue;
        char cDiv = nDivider < kMaxDividers ? pstTFormat->cDivider[nDivider] : 0;
        ++nDivider;
        if (nPos >= nBufSize - 1) break;
        if (!AppendField(pszBuf, nBufSize, nPos, field.lValue, field.nCnt, cDiv)) {
            SET_ERROR(EINVAL, "Failed make time");
            return nullptr;
        }
    }
    return pszBuf;
}

const char *Time2Str(time_t tTime) { return Time2Str(tTime, nullptr, DefaultFormat(), 0); }
const char *Time2Str(time_t tTime, char *pszBuf, int nBufSize) {
    return Time2Str(tTime, pszBuf, DefaultFormat(), nBufSize);
}
const char *Time2Str(time_t tTime, stTimeFormat stTFormat) {
    return Time2Str(tTime, nullptr, stTFormat, 0);
}
const char *Time2Str(time_t tTime, char *pszBuf, stTimeFormat stTFormat, int nBufSize) {
    // -1 stands for now too.
    time_t tSec = tTime == static_cast<time_t>(-1) ? 0 : tTime;
    return PrintLocal(timespec{tSec, 0}, pszBuf, stTFormat, nBufSize);
}
const char *Time2Str(timeval stTVal) { return Time2Str(stTVal, nullptr, DefaultFormat(), 0); }
const char *Time2Str(timespec tspec) { return Time2Str(tspec, nullptr, DefaultFormat(), 0); }
const char *Time2Str(timeval stTVal, char *pszBuf, int nBufSize) {
    return Time2Str(stTVal, pszBuf, DefaultFormat(), nBufSize);
}
const char *Time2Str(timespec tspec, char *pszBuf, int nBufSize) {
    return Time2Str(tspec, pszBuf, DefaultFormat(), nBufSize);
}
const char *Time2Str(timeval stTVal, stTimeFormat stTFormat) {
    return Time2Str(stTVal, nullptr, stTFormat, 0);
}
const char *Time2Str(timespec tspec, stTimeFormat stTFormat) {
    return Time2Str(tspec, nullptr, stTFormat, 0);
}
const char *Time2Str(timeval stTVal, char *pszBuf, stTimeFormat stTFormat, int nBufSize) {
    return PrintLocal(timespec{stTVal.tv_sec, stTVal.tv_usec * 1000L}, pszBuf, stTFormat, nBufSize);
}
const char *Time2Str(timespec tspec, char *pszBuf, stTimeFormat stTFormat, int nBufSize) {
    return PrintLocal(tspec, pszBuf, stTFormat, nBufSize);
}

time_t Time(time_t *ptloc, clockid_t clk_id) {
    timespec ts{};
    if (clock_gettime(clk_id, &ts) != 0) {
        SET_ERROR(errno, "clock_gettime fail[%d]", static_cast<int>(clk_id));
        return static_cast<time_t>(-1);
    }
    if (ptloc != nullptr) *ptloc = ts.tv_sec;
    return ts.tv_sec;
}
