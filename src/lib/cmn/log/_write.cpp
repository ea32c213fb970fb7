// The direct write path: stamp and prefix, handlers, filter, dumps and the flushed write.
#include <stdio_ext.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/error.h"
#include "base/memctrl.h"
#include "log_internal.h"

namespace {

constexpr size_t STAMP_BUF_SIZE = 64;
constexpr int MAX_FRACTION_DIGITS = 6;
constexpr time_t SECONDS_PER_DAY = 86400;
constexpr int HEX_BYTES_PER_LINE = 16;
// A hex line after its prefix: offset, 16 bytes in four groups, their characters.
constexpr size_t HEX_LINE_SIZE = 128;
// The dumps record their own spelling of it.
constexpr const char *TIME_FAIL = "Failed make time value";
constexpr const char *DUMP_TIME_FAIL = "Falied make time value";
constexpr const char *DUMP_SEPARATOR =
    "------------------------------------------------------------\n";

// Within one second only the fraction digits change: they are patched in place.
struct LogStamp {
    bool bValid;
    time_t tSec;
    struct tm stLocal;
    char szText[STAMP_BUF_SIZE];
    size_t unLen;
    size_t unFracPos;
    int nFracCnt;
};

LogStamp g_stStamp[LOG_SECT_SLOTS];

// Per section, the stream where a record did not get out whole; used under the stream's lock.
FILE *g_pTornIn[LOG_SECT_SLOTS];

void PrintFraction(char *pcOut, int nCnt, long lUsec) {
    for (int i = MAX_FRACTION_DIGITS - 1; i >= 0; --i) {
        if (i < nCnt) pcOut[i] = static_cast<char>('0' + lUsec % 10);
        lUsec /= 10;
    }
}

int WrittenFieldCount(const _TIMEFORMAT &stFormat) {
    const int anCnt[] = {stFormat.nYearCnt,   stFormat.nMonthCnt,  stFormat.nDayCnt,
                         stFormat.nHourCnt,   stFormat.nMinuteCnt, stFormat.nSecondCnt,
                         stFormat.nUSecCnt};
    return static_cast<int>(
        std::count_if(std::begin(anCnt), std::end(anCnt), [](int nCnt) { return nCnt > 0; }));
}

// The stamp is cached only when its fraction digits are where the format says.
bool LocateFraction(LogStamp &stStamp, const _TIMEFORMAT &stFormat, long lUsec) {
    stStamp.nFracCnt = stFormat.nUSecCnt;
    if (stStamp.nFracCnt <= 0) return stStamp.unLen + 1 < STAMP_BUF_SIZE;
    if (stStamp.nFracCnt > MAX_FRACTION_DIGITS) return false;
    int nSepIndex = WrittenFieldCount(stFormat) - 1;
    size_t unSuffix = static_cast<size_t>(stStamp.nFracCnt);
    if (nSepIndex < static_cast<int>(sizeof(stFormat.cDivider)) &&
        stFormat.cDivider[nSepIndex] != '\0') {
        ++unSuffix;
    }
    if (stStamp.unLen < unSuffix || stStamp.unLen + 1 >= STAMP_BUF_SIZE) return false;
    stStamp.unFracPos = stStamp.unLen - unSuffix;
    char szDigits[MAX_FRACTION_DIGITS];
    PrintFraction(szDigits, stStamp.nFracCnt, lUsec);
    return memcmp(szDigits, stStamp.szText + stStamp.unFracPos,
                  static_cast<size_t>(stStamp.nFracCnt)) == 0;
}

int BuildStamp(LogStamp &stStamp, _TIMEFORMAT stFormat, const timeval &tTime) {
    if (stStamp.bValid && stStamp.tSec == tTime.tv_sec) {
        if (stStamp.nFracCnt > 0) {
            PrintFraction(stStamp.szText + stStamp.unFracPos, stStamp.nFracCnt, tTime.tv_usec);
        }
        return 0;
    }
    stStamp.bValid = false;
    localtime_r(&tTime.tv_sec, &stStamp.stLocal);
    timespec tSpec{tTime.tv_sec, tTime.tv_usec * 1000};
    if (__Time2Str(&tSpec, &stStamp.stLocal, stStamp.szText, &stFormat,
                   static_cast<int>(sizeof(stStamp.szText))) == nullptr) {
        return -1;
    }
    stStamp.unLen = strlen(stStamp.szText);
    stStamp.tSec = tTime.tv_sec;
    stStamp.bValid = LocateFraction(stStamp, stFormat, tTime.tv_usec);
    return 0;
}

// The message and then its dump, cut at the record size.
class LogRecord {
public:
    int Format(const char *pcFormat, va_list ap) {
        int nLen = vsnprintf(szText_, sizeof(szText_), pcFormat, ap);
        if (nLen < 0) return -1;
        unLen_ = static_cast<size_t>(nLen) < sizeof(szText_) ? static_cast<size_t>(nLen)
                                                             : sizeof(szText_) - 1;
        return 0;
    }
    void Append(const char *pcData, size_t unLen) {
        size_t unRoom = sizeof(szText_) - 1 - unLen_;
        if (unLen > unRoom) unLen = unRoom;
        memcpy(szText_ + unLen_, pcData, unLen);
        unLen_ += unLen;
        szText_[unLen_] = '\0';
    }
    void EndLine() {
        if (unLen_ == 0 || szText_[unLen_ - 1] != '\n') Append("\n", 1);
    }
    bool Full() const { return unLen_ + 1 >= sizeof(szText_); }
    const char *Text() const { return szText_; }
    size_t Length() const { return unLen_; }

private:
    char szText_[LOG_MSG_BUF_SIZE];
    size_t unLen_ = 0;
};

void AppendSeparator(LogRecord &stRecord, const char *pcPrefix, size_t unPrefixLen) {
    stRecord.Append(pcPrefix, unPrefixLen);
    stRecord.Append(DUMP_SEPARATOR, strlen(DUMP_SEPARATOR));
}

char DumpChar(unsigned char ucByte) {
    if (ucByte == 0) return '.';
    return ucByte >= 0x20 && ucByte < 0x7F ? static_cast<char>(ucByte) : '_';
}

void AppendHexLine(LogRecord &stRecord, const char *pcPrefix, size_t unPrefixLen,
                   const unsigned char *pucData, unsigned int unOffset, int nCnt) {
    char szHex[HEX_LINE_SIZE];
    int nLen = snprintf(szHex, sizeof(szHex), "%03u | ", unOffset);
    char szChars[HEX_BYTES_PER_LINE + 1];
    for (int i = 0; i < nCnt; ++i) {
        const char *pcGap = i == 4 || i == 8 || i == 12 ? "  " : "";
        nLen += snprintf(szHex + nLen, sizeof(szHex) - nLen, "%s%02X ", pcGap, pucData[i]);
        szChars[i] = DumpChar(pucData[i]);
    }
    szChars[nCnt] = '\0';
    // A short last line is padded after its last byte; its missing group gaps are not.
    char szLine[HEX_LINE_SIZE];
    nLen = snprintf(szLine, sizeof(szLine), "%s%*s| %s\n", szHex, (HEX_BYTES_PER_LINE - nCnt) * 3,
                    "", szChars);
    stRecord.Append(pcPrefix, unPrefixLen);
    stRecord.Append(szLine, static_cast<size_t>(nLen));
}

void AppendHexDump(LogRecord &stRecord, const char *pcPrefix, size_t unPrefixLen,
                   const char *pcData, unsigned int unDataLen) {
    const unsigned char *pucData = reinterpret_cast<const unsigned char *>(pcData);
    AppendSeparator(stRecord, pcPrefix, unPrefixLen);
    for (unsigned int unOffset = 0; unOffset < unDataLen && !stRecord.Full();
         unOffset += HEX_BYTES_PER_LINE) {
        unsigned int unLeft = unDataLen - unOffset;
        int nCnt = unLeft < HEX_BYTES_PER_LINE ? static_cast<int>(unLeft) : HEX_BYTES_PER_LINE;
        AppendHexLine(stRecord, pcPrefix, unPrefixLen, pucData + unOffset, unOffset, nCnt);
    }
    AppendSeparator(stRecord, pcPrefix, unPrefixLen);
}

// Lines end at LF, CR or CR LF; a line end at the very end adds no line.
void AppendTextDump(LogRecord &stRecord, const char *pcPrefix, size_t unPrefixLen,
                    const char *pcText) {
    AppendSeparator(stRecord, pcPrefix, unPrefixLen);
    const char *pcLine = pcText != nullptr ? pcText : "";
    while (*pcLine != '\0' && !stRecord.Full()) {
        size_t unLen = strcspn(pcLine, "\r\n");
        stRecord.Append(pcPrefix, unPrefixLen);
        stRecord.Append(pcLine, unLen);
        stRecord.Append("\n", 1);
        const char *pcEnd = pcLine + unLen;
        if (pcEnd[0] == '\r' && pcEnd[1] == '\n') {
            pcEnd += 2;
        } else if (pcEnd[0] != '\0') {
            pcEnd += 1;
        }
        pcLine = pcEnd;
    }
    AppendSeparator(stRecord, pcPrefix, unPrefixLen);
}

enum class DumpKind { NONE, HEX, TEXT };

struct DumpRequest {
    DumpKind eKind;
    const char *pcData;
    unsigned int unDataLen;
};

struct RecordPrefix {
    char szText[LOG_PREFIX_BUF_SIZE];
    size_t unLen;
    struct tm stLocal;
};

int BuildPrefix(unsigned int unLogSect, unsigned int unLogLevel, const timeval &tTime,
                RecordPrefix &stPrefix, const char *pcTimeFail) {
    int nPrefixLen = __Mk_TimeValue(unLogSect, tTime, unLogLevel, stPrefix.szText,
                                    sizeof(stPrefix.szText), &stPrefix.stLocal);
    if (nPrefixLen < 0) {
        SET_ERROR(E_LIB_INTERNAL, "%s", pcTimeFail);
        return -1;
    }
    stPrefix.unLen = static_cast<size_t>(nPrefixLen);
    return 0;
}

// Handlers see every record; the level word (given back for the dumps) decides the write.
bool PassRecord(const _ST_LOG_SECT &stSect, unsigned int unLogLevel, const timeval &tTime,
                const char *pcText, unsigned int *punWord) {
    for (unsigned int i = 0; i < stSect.unHandlerCnt && i < LOG_MAX_HANDLER; ++i) {
        stSect.pHandlerFunc[i](unLogLevel, tTime, pcText);
    }
    *punWord = __Load_LogLevel(&__pstLogInfo->stList[stSect.unLogId]);
    return __Filter_LogLevel(*punWord, unLogLevel) == 0;
}

// A record of another day than the open file's closes it, so that the write opens the new file.
bool WriteOut(unsigned int unLogSect, _ST_LOG_SECT &stSect, const timeval &tTime,
              const RecordPrefix &stPrefix, const char *pcText, size_t unTextLen) {
    unsigned int unDay = __Get_LogDayIndex(tTime, stPrefix.stLocal);
    if (unDay != stSect.logfileOpenMDay) {
        __Close_LogFP(&stSect);
        stSect.logfileOpenMDay = unDay;
    }
    return __Write(unLogSect, stPrefix.stLocal, stPrefix.szText, stPrefix.unLen, pcText,
                   unTextLen) >= 0;
}

int EmitRecord(unsigned int unLogSect, unsigned int unLogLevel, const timeval &tTime,
               LogRecord &stRecord, const DumpRequest &stDump, const char *pcTimeFail) {
    _ST_LOG_SECT &stSect = __pstLogCtrl->stSect[unLogSect];
    RecordPrefix stPrefix;
    if (BuildPrefix(unLogSect, unLogLevel, tTime, stPrefix, pcTimeFail) < 0) return -1;
    unsigned int unWord = 0;
    if (!PassRecord(stSect, unLogLevel, tTime, stRecord.Text(), &unWord)) return 0;

    if (stDump.eKind != DumpKind::NONE) stRecord.EndLine();  // the dump starts a line of its own
    if (stDump.eKind == DumpKind::HEX && stDump.pcData != nullptr && stDump.unDataLen != 0 &&
        (unWord & LOG_D) != 0) {
        AppendHexDump(stRecord, stPrefix.szText, stPrefix.unLen, stDump.pcData, stDump.unDataLen);
    } else if (stDump.eKind == DumpKind::TEXT && (unWord & LOG_T) != 0) {
        AppendTextDump(stRecord, stPrefix.szText, stPrefix.unLen, stDump.pcData);
    }
    if (!WriteOut(unLogSect, stSect, tTime, stPrefix, stRecord.Text(), stRecord.Length())) {
        SET_ERROR(LOG_ERR_NOSPACE, "Log record not written whole [%s]", strerror(errno));
        return -1;
    }
    return 0;
}

_ST_LOG_SECT *SectionOrError(unsigned int unLogSect) {
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    if (pstSect == nullptr) {
        SET_ERROR(LOG_ERR_INVALID, "Invalid LogSect[%d]", static_cast<int>(unLogSect));
    }
    return pstSect;
}

int FormatRecord(unsigned int unLogSect, unsigned int unLogLevel, const DumpRequest &stDump,
                 const char *pcTimeFail, const char *pcFormat, va_list ap) {
    _ST_LOG_SECT *pstSect = SectionOrError(unLogSect);
    if (pstSect == nullptr) return -1;
    LogRecord stRecord;
    if (stRecord.Format(pcFormat, ap) < 0) {
        SET_ERROR(E_LIB_INTERNAL, "Failed make log data");
        return -1;
    }
    timeval tTime;
    gettimeofday(&tTime, nullptr);

    MutexLocker stLock(&pstSect->tLock);
    stLock.Lock();
    return EmitRecord(unLogSect, unLogLevel, tTime, stRecord, stDump, pcTimeFail);
}

}  // namespace

void __Reset_LogStamp(unsigned int unLogSect) {
    if (unLogSect < LOG_SECT_SLOTS) g_stStamp[unLogSect].bValid = false;
}

int __Mk_TimeValue(unsigned int unLogSect, const timeval &tTime, unsigned int unLogLevel,
                   char *pcPrefix, size_t unSize, struct tm *pstLocal) {
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    if (pstSect == nullptr || pcPrefix == nullptr || unSize < 8) return -1;
    LogStamp &stStamp = g_stStamp[unLogSect];
    if (BuildStamp(stStamp, pstSect->stTimeFormat, tTime) < 0) return -1;
    *pstLocal = stStamp.stLocal;

    size_t unStampLen = stStamp.unLen;
    if (unStampLen > unSize - 6) unStampLen = unSize - 6;  // room for "[]C) " and the end
    size_t unLen = 0;
    pcPrefix[unLen++] = '[';
    memcpy(pcPrefix + unLen, stStamp.szText, unStampLen);
    unLen += unStampLen;
    pcPrefix[unLen++] = ']';
    pcPrefix[unLen++] = __Char_LogLevel(unLogLevel);
    pcPrefix[unLen++] = ')';
    pcPrefix[unLen++] = ' ';
    pcPrefix[unLen] = '\0';
    return static_cast<int>(unLen);
}

unsigned int __Get_LogDayIndex(const timeval &tTime, const struct tm &stLocal) {
    return static_cast<unsigned int>((tTime.tv_sec + stLocal.tm_gmtoff) / SECONDS_PER_DAY);
}

int __Write(unsigned int unLogSect, const struct tm &stLocal, const char *pcPrefix,
            size_t unPrefixLen, const char *pcText, size_t unTextLen) {
    _ST_LOG_SECT *pstSect = SectionOrError(unLogSect);
    if (pstSect == nullptr) return -1;
    if (pcText == nullptr) {
        SET_ERROR(LOG_ERR_INVALID, "Invalid parameter [pcFormat is NULL]");
        return -1;
    }
    FILE *pFile = __Get_LogFP(unLogSect, stLocal);
    FILE *pOut = pFile != nullptr ? pFile : stdout;

    flockfile(pOut);
    // A record cut short (a full disk) leaves its head in the file: the next starts a new line.
    FILE *&pTornIn = g_pTornIn[unLogSect];
    if (pTornIn == pOut) fputc_unlocked('\n', pOut);
    pTornIn = nullptr;
    size_t unWritten = fwrite_unlocked(pcPrefix, 1, unPrefixLen, pOut);
    if (unWritten == unPrefixLen) unWritten += fwrite_unlocked(pcText, 1, unTextLen, pOut);
    size_t unWhole = unPrefixLen + unTextLen;
    if (unTextLen == 0 || pcText[unTextLen - 1] != '\n') {
        if (unWritten == unWhole && fputc_unlocked('\n', pOut) != EOF) ++unWritten;
        ++unWhole;
    }
    bool bWhole = fflush_unlocked(pOut) == 0 && unWritten == unWhole;
    int nErr = errno;
    if (!bWhole) {
        // What stdio still holds of it would be glued to the next record.
        __fpurge(pOut);
        clearerr_unlocked(pOut);
        pTornIn = pOut;
    }
    funlockfile(pOut);

    if (pFile != nullptr && unWritten > 0) {
        pstSect->unCurFileSize += static_cast<uint32_t>(unWritten);
    }
    errno = nErr;
    return bWhole ? static_cast<int>(unWritten) : -1;
}

int __Write_LogRecord(unsigned int unLogSect, unsigned int unLogLevel, const timeval &tTime,
                      const char *pcText, size_t unTextLen) {
    _ST_LOG_SECT &stSect = __pstLogCtrl->stSect[unLogSect];
    RecordPrefix stPrefix;
    if (BuildPrefix(unLogSect, unLogLevel, tTime, stPrefix, TIME_FAIL) < 0) return -1;
    unsigned int unWord = 0;
    if (PassRecord(stSect, unLogLevel, tTime, pcText, &unWord)) {
        WriteOut(unLogSect, stSect, tTime, stPrefix, pcText, unTextLen);
    }
    return 0;
}

int __Log(unsigned int unLogSect, unsigned int unLogLevel, const char *pcFormat, va_list ap) {
    return FormatRecord(unLogSect, unLogLevel, DumpRequest{DumpKind::NONE, nullptr, 0}, TIME_FAIL,
                        pcFormat, ap);
}

int __H_Dump(unsigned int unLogSect, unsigned int unLogLevel, const char *pcData,
             unsigned int unDataLen, const char *pcFormat, va_list ap) {
    return FormatRecord(unLogSect, unLogLevel, DumpRequest{DumpKind::HEX, pcData, unDataLen},
                        DUMP_TIME_FAIL, pcFormat, ap);
}

int __T_Dump(unsigned int unLogSect, unsigned int unLogLevel, const char *pcText,
             const char *pcFormat, va_list ap) {
    return FormatRecord(unLogSect, unLogLevel, DumpRequest{DumpKind::TEXT, pcText, 0},
                        DUMP_TIME_FAIL, pcFormat, ap);
}
