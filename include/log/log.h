// Public: the host-wide logging library; its settings live in a shared-memory registry.
#pragma once

#include <sys/time.h>

#include <cstdarg>
#include <cstddef>

// Levels 1 to 5 form a ladder compared with the low 16 bits of a level word; the rest are flags.
enum __enLogLevel : unsigned int {
    LOG_F = 0,
    LOG_1 = 1,  // critical
    LOG_2 = 2,  // error
    LOG_3 = 3,  // notice
    LOG_4 = 4,  // information
    LOG_5 = 5,  // debug
    LOG_6 = 0x80000000u,
    LOG_7 = 0x40000000u,
    LOG_8 = 0x20000000u,
    LOG_9 = 0x10000000u,
    LOG_H = 0x04000000u,
    LOG_D = 0x02000000u,  // also enables hexadecimal dumps (H_Dump)
    LOG_T = 0x01000000u,  // also enables text dumps (T_Dump)
};

enum __enLogWriteType : unsigned int {
    LOG_DIRECT = 0,    // the caller's thread writes the record
    LOG_INDIRECT = 1,  // records are handed to the section's writer thread
};

// Called with every record of its section before the level filter, under the section's lock: it
// must not log into the same section.
typedef void (*LogHandlerType)(unsigned int unLogLevel, struct timeval tTime, const char *pcText);

constexpr unsigned int LOG_MAX_SECT = 11;       // sections per process
constexpr unsigned int LOG_MAX_HANDLER = 12;    // handlers per section
constexpr unsigned int LOG_MAX_BLOCK = 128;     // blocks per host
constexpr unsigned int LOG_MAX_LIST = 127;      // settings entries per block
constexpr unsigned int LOG_MSG_BUF_SIZE = 8192; // message (and dump) of one record
constexpr unsigned int LOG_PREFIX_BUF_SIZE = 128;
constexpr const char *LOG_DEFAULT_TIME_FORMAT = "MM/DD hh:mm:ss-uuu";
constexpr unsigned int LOG_DEFAULT_FILE_CNT = 10;
constexpr unsigned int LOG_DEFAULT_FILE_SIZE = 99;  // megabytes

int Init_Log(const char *pcBlockName, const char *pcLogPath);
int Init_Log(const char *pcBlockName, const char *pcLogPath, unsigned int unType);
int Add_Log(const char *pcLogPath, unsigned int unType);

int Set_LogPath(unsigned int unLogSect, const char *pcLogPath);
const char *Get_LogPath(unsigned int unLogSect);
int Set_LogTimeFormat(unsigned int unLogSect, const char *pcTimeFormat);
const char *Get_LogTimeFormat(unsigned int unLogSect);
int Set_LogLevel(unsigned int unLogSect, unsigned int unLogLevel);
int Get_LogLevel(unsigned int unLogSect);
int Set_LogFileCnt(unsigned int unLogSect, unsigned int unLogFileCnt);
int Get_LogFileCnt(unsigned int unLogSect);
// Megabytes; larger values are taken as kilobytes or bytes. 0 reads back as 0 (default size).
int Set_LogFileSize(unsigned int unLogSect, unsigned int unLogFileSize);
int Get_LogFileSize(unsigned int unLogSect);
int Get_LogListCnt();
int Set_Log(unsigned int unLogLevel, unsigned int unLogFileCnt, unsigned int unLogFileSize,
            const char *pcTimeFormat);
int Set_LogMore(unsigned int unLogSect, unsigned int unLogLevel, unsigned int unLogFileCnt,
                unsigned int unLogFileSize, const char *pcTimeFormat);

// Any attached process, by block name (letter case ignored).
int Get_LogLevelName(const char *pcBlockName);
const char *Get_LogPathName(const char *pcBlockName);
int Set_LogLevelName(const char *pcBlockName, unsigned int unLogLevel);

int Add_LogHandler(LogHandlerType pHandlerFunc, unsigned int unLogSect);

// 0 when a record of unLogLevel passes the section's filter, -1 otherwise.
int __Chk_LogLevel(unsigned int unLogSect, unsigned int unLogLevel);
char __Char_LogLevel(unsigned int unLogLevel);
// Names of a level word ("3 D T "); with no buffer, one shared buffer.
char *Str_LogLevel(unsigned int unLogLevel, char *pcOutBuf, int nMaxBufSize);
void __Print_LogInfo();

// Records. The forms without a section write to section 0.
int Log(unsigned int unLogSect, unsigned int unLogLevel, const char *pcFormat, ...)
    __attribute__((format(printf, 3, 4)));
int Log(unsigned int unLogLevel, const char *pcFormat, ...) __attribute__((format(printf, 2, 3)));
int Log(unsigned int unLogLevel, const char *pcFormat, va_list *pAp);
// A lone 0 or NULL argument would pick the va_list form and lose the record.
int Log(unsigned int unLogLevel, const char *pcFormat, std::nullptr_t) = delete;
// A record followed by a hexadecimal dump of unDataLen bytes (when the level word holds LOG_D).
int H_Dump(unsigned int unLogSect, unsigned int unLogLevel, const char *pcData,
           unsigned int unDataLen, const char *pcFormat, ...) __attribute__((format(printf, 5, 6)));
int H_Dump(unsigned int unLogLevel, const char *pcData, unsigned int unDataLen,
           const char *pcFormat, ...) __attribute__((format(printf, 4, 5)));
// A record followed by a dump of the lines of pcText (when the level word holds LOG_T).
int T_Dump(unsigned int unLogSect, unsigned int unLogLevel, const char *pcText,
           const char *pcFormat, ...) __attribute__((format(printf, 4, 5)));
int T_Dump(unsigned int unLogLevel, const char *pcText, const char *pcFormat, ...)
    __attribute__((format(printf, 3, 4)));

// Waits for the records queued before the call; -1 when a writer has not caught up in ten seconds.
int Flush_Log();
