// Public: time-stamp format language ("MM/DD hh:mm:ss-uuu") and printing.
#pragma once

#include <sys/time.h>

#include <ctime>

typedef struct _TIMEFORMAT {
    int nYearCnt;
    int nMonthCnt;
    int nDayCnt;
    int nHourCnt;
    int nMinuteCnt;
    int nSecondCnt;
    int nUSecCnt;
    char cDivider[8];
} stTimeFormat;
typedef stTimeFormat _TIMEFORMAT;
static_assert(sizeof(stTimeFormat) == 36, "stTimeFormat is 36 bytes");

constexpr int TIME_SHARED_BUF_SIZE = 64;

_TIMEFORMAT TimeFormat2Val(const char *pcFormat);
int __Make_PrintTimeFormat(char *pszBuf, int nBufSize, int nCnt, char cDivider);
const char *__Time2Str(timespec *ptspec, tm *pstTm, char *pszBuf, _TIMEFORMAT *pstTFormat,
                       int nBufSize);

const char *Time2Str(time_t tTime);
const char *Time2Str(time_t tTime, char *pszBuf, int nBufSize);
const char *Time2Str(time_t tTime, stTimeFormat stTFormat);
const char *Time2Str(time_t tTime, char *pszBuf, stTimeFormat stTFormat, int nBufSize);
const char *Time2Str(timeval stTVal);
const char *Time2Str(timespec tspec);
const char *Time2Str(timeval stTVal, char *pszBuf, int nBufSize);
const char *Time2Str(timespec tspec, char *pszBuf, int nBufSize);
const char *Time2Str(timeval stTVal, stTimeFormat stTFormat);
const char *Time2Str(timespec tspec, stTimeFormat stTFormat);
const char *Time2Str(timeval stTVal, char *pszBuf, stTimeFormat stTFormat, int nBufSize);
const char *Time2Str(timespec tspec, char *pszBuf, stTimeFormat stTFormat, int nBufSize);

time_t Time(time_t *ptloc, clockid_t clk_id);
