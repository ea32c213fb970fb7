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

// Process-local state. The registry is attached once; the control part lives in process memory (its
// mutexes, streams and callbacks are meaningless to other processes, and a second process
// registering the same block name must not wipe them under a running writer), while the registry's
// own control part stays zeroed.
extern _ST_LOG_INFORMATION *__pstLogShm;
extern int __nLogShmIndex;
extern _ST_LOG_CTRL *__pstLogCtrl;
extern _ST_LOG_INFO *__pstLogInfo;
extern char __cLogBlockName[LOG_NAME_SIZE];

// Number of sections added, published after each section is fully set up.
unsigned int __Get_LogSectCnt();

// The section and its entry, or null for one not added or out of range. Records nothing.
_ST_LOG_SECT *__Get_LogSect(unsigned int unLogSect);
_ST_LOG_LIST *__Get_LogList(unsigned int unLogSect);

// Level words may be changed by other processes at any time.
inline unsigned int __Load_LogLevel(const _ST_LOG_LIST *pstList) {
    return __atomic_load_n(&pstList->unLogLevel, __ATOMIC_RELAXED);
}
// Paths may be rewritten by other processes at any time, so each byte is stored and loaded whole; a
// reader trusts a path only when two copies taken one after the other agree (__Read_LogPath).
// Setters of this process also hold the section lock.
void __Store_LogPath(_ST_LOG_LIST *pstList, const char *pcPath);
// One copy, terminated within pcOut.
void __Copy_LogPath(const _ST_LOG_LIST &stList, char *pcOut, size_t unSize);
// Two copies; false (pcOut holding the second) when they differ.
bool __Read_LogPath(const _ST_LOG_LIST &stList, char *pcOut, size_t unSize);
// The filter itself: 0 when a record of unLogLevel passes the word.
inline int __Filter_LogLevel(unsigned int unWord, unsigned int unLogLevel) {
    if (unLogLevel >= LOG_1 && unLogLevel <= LOG_5) {
        return unLogLevel <= (unWord & LOG_LADDER_MASK) ? 0 : -1;
    }
    return (unWord & unLogLevel) != 0 ? 0 : -1;
}

// Block lookup by name, ignoring case; -1 when absent.
int searchLogShm(const char *pcBlockName);

// Forgets the section's cached time stamp (after a format change).
void __Reset_LogStamp(unsigned int unLogSect);
// Builds "[stamp]L) " for the record time; the prefix length or -1. Also
// gives the local broken-down time of the record. Caller holds the section lock.
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

// Writes prefix and text to the section's file (standard output if none) and flushes; bytes or -1.
int __Write(unsigned int unLogSect, const struct tm &stLocal, const char *pcPrefix,
            size_t unPrefixLen, const char *pcText, size_t unTextLen);
int __Log(unsigned int unLogSect, unsigned int unLogLevel, const char *pcFormat, va_list ap);
// Prefix, handlers, filter, day change and write of a formatted record; section lock held.
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
// True inside __Push_Log's push: a report of the queue library about that
// push is written directly, never into the queue that refused it.
bool __Is_LogPushing();
int __Push_Log(unsigned int unLogSect, unsigned int unLogLevel, const char *pcFormat, va_list ap);
// Starts the writer thread of a LOG_INDIRECT section; -1 when it cannot.
int __Start_LogWriter(unsigned int unLogSect);
// Writes what the writers still hold and ends them (before sections are forgotten, and at exit).
void __Stop_LogWriters();
void *__Thr_WriteLog(void *pvArg);
