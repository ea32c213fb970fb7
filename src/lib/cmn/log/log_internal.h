// Internal to the logging library: process-local state and shared helpers. Not installed.
#pragma once

#include <sys/time.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "log/log.h"
#include "log/log_registry.h"

constexpr int LOG_ERR_INVALID = 22;
constexpr int LOG_ERR_NOSPACE = 12;
constexpr int LOG_ERR_ISDIR = 21;
constexpr unsigned int LOG_LADDER_MASK = 0xFFFF;
constexpr unsigned int LOG_FILE_NAME_SIZE = 256;

// The control part lives in process memory: its mutexes, streams and callbacks mean nothing to other
// processes, and a second registration of the block must not wipe them under a running writer.
extern _ST_LOG_INFORMATION *__pstLogShm;
extern int __nLogShmIndex;
extern _ST_LOG_CTRL *__pstLogCtrl;
extern _ST_LOG_INFO *__pstLogInfo;
extern char __cLogBlockName[LOG_NAME_SIZE];

unsigned int __Get_LogSectCnt();

// The section and its entry, or null for one not added or out of range. Records nothing.
_ST_LOG_SECT *__Get_LogSect(unsigned int unLogSect);
_ST_LOG_LIST *__Get_LogList(unsigned int unLogSect);

// Level words may be changed by other processes at any time.
inline unsigned int __Load_LogLevel(const _ST_LOG_LIST *pstList) {
    return __atomic_load_n(&pstList->unLogLevel, __ATOMIC_RELAXED);
}
// Other processes may rewrite paths at any time: each byte is stored and loaded whole, and a reader
// trusts a path only when two copies in a row agree.
void __Store_LogPath(_ST_LOG_LIST *pstList, const char *pcPath);
void __Copy_LogPath(const _ST_LOG_LIST &stList, char *pcOut, size_t unSize);
// Two copies; false (pcOut holding the second) when they differ.
bool __Read_LogPath(const _ST_LOG_LIST &stList, char *pcOut, size_t unSize);
inline int __Filter_LogLevel(unsigned int unWord, unsigned int unLogLevel) {
    if (unLogLevel >= LOG_1 && unLogLevel <= LOG_5) {
        return unLogLevel <= (unWord & LOG_LADDER_MASK) ? 0 : -1;
    }
    return (unWord & unLogLevel) != 0 ? 0 : -1;
}

int searchLogShm(const char *pcBlockName);

// Forgets the section's cached time stamp (after a format change).
void __Reset_LogStamp(unsigned int unLogSect);
// "[stamp]L) " and the record's local time; the prefix length or -1. Section lock held.
int __Mk_TimeValue(unsigned int unLogSect, const timeval &tTime, unsigned int unLogLevel,
                   char *pcPrefix, size_t unSize, struct tm *pstLocal);
// A record's local date in days since 1970, so the file changes at the local midnight.
unsigned int __Get_LogDayIndex(const timeval &tTime, const struct tm &stLocal);

int __Make_LogFileName(const char *pcPath, const struct tm &stLocal, char *pcName,
                       size_t unSize);
FILE *__Open_LogFP(unsigned int unLogSect, const struct tm &stLocal);
FILE *__Get_LogFP(unsigned int unLogSect, const struct tm &stLocal);
int __Rm_OldFile_Today(unsigned int unLogSect, const char *pcName);
void __Close_LogFP(_ST_LOG_SECT *pstSect);

// The section's file (standard output if none), flushed; bytes or -1.
int __Write(unsigned int unLogSect, const struct tm &stLocal, const char *pcPrefix,
            size_t unPrefixLen, const char *pcText, size_t unTextLen);
int __Log(unsigned int unLogSect, unsigned int unLogLevel, const char *pcFormat, va_list ap);
int __Write_LogRecord(unsigned int unLogSect, unsigned int unLogLevel, const timeval &tTime,
                      const char *pcText, size_t unTextLen);
int __H_Dump(unsigned int unLogSect, unsigned int unLogLevel, const char *pcData,
             unsigned int unDataLen, const char *pcFormat, va_list ap);
int __T_Dump(unsigned int unLogSect, unsigned int unLogLevel, const char *pcText,
             const char *pcFormat, va_list ap);

// The writer's queue of a section, 0 while it has none: records are then written directly.
inline unsigned int __Get_LogQueue(const _ST_LOG_SECT &stSect) {
    return __atomic_load_n(&stSect.unQueue, __ATOMIC_ACQUIRE);
}
// A queue report about a refused push is written directly, never into that queue.
bool __Is_LogPushing();
int __Push_Log(unsigned int unLogSect, unsigned int unLogLevel, const char *pcFormat, va_list ap);
int __Start_LogWriter(unsigned int unLogSect);
// Writes what the writers still hold and ends them (before sections are forgotten, and at exit).
void __Stop_LogWriters();
void *__Thr_WriteLog(void *pvArg);
