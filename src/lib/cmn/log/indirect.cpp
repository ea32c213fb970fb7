// LOG_INDIRECT sections: callers only format and queue; one writer thread per
// section writes the records in queue order under the section lock.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/error.h"
#include "base/memctrl.h"
#include "base/util.h"
#include "ipc/queue.h"
#include "log_internal.h"

namespace {

constexpr int LOG_QUEUE_SIZE = 1024;
constexpr long EMPTY_POP_PAUSE_USEC = 10;
constexpr time_t STOP_WAIT_SEC = 5;    // per writer, at exit or a new Init_Log
constexpr time_t FLUSH_WAIT_SEC = 10;  // per Flush_Log call

// Pushed behind a section's last record to end its writer.
char g_cStopMark;

thread_local bool t_bPushing = false;

// Process-local bookkeeping of one section's writer thread.
struct LogWriter {
    pthread_t tThread;  // these three guarded by g_tWriters
    bool bRunning;
    pid_t nOwnerPid;
    std::atomic<bool> bStop;
    // Queues are never destroyed: a later writer of the same section slot
    // (after a new Init_Log) takes the same queue again.
    std::atomic<unsigned int> unQueueId;
    std::atomic<uint64_t> ulQueued;   // records pushed
    std::atomic<uint64_t> ulWritten;  // records written (or dropped)
};

LogWriter g_stWriters[LOG_SECT_SLOTS];
pthread_mutex_t g_tWriters = PTHREAD_MUTEX_INITIALIZER;
std::once_flag g_tExitOnce;

// Flush_Log waits here for writers to catch up.
pthread_mutex_t g_tDone = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_tDoneCond = PTHREAD_COND_INITIALIZER;
std::atomic<int> g_nFlushWaiters{0};

timespec RealtimeAfter(time_t tSec) {
    timespec tDeadline;
    clock_gettime(CLOCK_REALTIME, &tDeadline);
    tDeadline.tv_sec += tSec;
    return tDeadline;
}

void CountWritten(LogWriter &stWriter) {
    stWriter.ulWritten.fetch_add(1);
    if (g_nFlushWaiters.load() == 0) return;
    MutexLocker stLock(&g_tDone);
    stLock.Lock();
    pthread_cond_broadcast(&g_tDoneCond);
}

// Writes one queued record with the time of its call, then releases it.
void WriteQueued(_ST_LOG_Q_DATA *pstRecord) {
    unsigned int unLogSect = pstRecord->unLogSect;
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    if (pstSect != nullptr) {
        MutexLocker stLock(&pstSect->tLock);
        stLock.Lock();
        __Write_LogRecord(unLogSect, pstRecord->unLogLevel, pstRecord->tTime, pstRecord->szLog,
                          strlen(pstRecord->szLog));
    }
    free(pstRecord);
    CountWritten(g_stWriters[unLogSect]);
}

int OpenWriterQueue(LogWriter &stWriter) {
    unsigned int unQueue = stWriter.unQueueId.load();
    if (unQueue != 0) return static_cast<int>(unQueue);
    int nQueue = Init_D_Queue(LOG_QUEUE_SIZE);
    if (nQueue > 0) stWriter.unQueueId.store(static_cast<unsigned int>(nQueue));
    return nQueue;
}

// Records pushed after the stop mark, before the section went direct.
void DrainResidue(unsigned int unQueue) {
    while (Get_Queue_CurCount(unQueue) > 0) {
        void *pvItem = Pop_Queue(unQueue);
        if (pvItem == nullptr) break;
        if (pvItem != &g_cStopMark) WriteQueued(static_cast<_ST_LOG_Q_DATA *>(pvItem));
    }
}

void PushStopMark(unsigned int unQueue) {
    timespec tDeadline = RealtimeAfter(STOP_WAIT_SEC);
    t_bPushing = true;
    while (Push_Queue(unQueue, &g_cStopMark) != 0) {
        timespec tNow;
        clock_gettime(CLOCK_REALTIME, &tNow);
        if (tNow.tv_sec >= tDeadline.tv_sec) break;  // the writer then ends on an empty queue
    }
    t_bPushing = false;
}

// Lets the writer write everything queued before the stop mark, waits for it
// to end, and sends the section's later records directly to its file.
void StopWriter(unsigned int unLogSect) {
    LogWriter &stWriter = g_stWriters[unLogSect];
    pthread_t tThread;
    {
        MutexLocker stLock(&g_tWriters);
        stLock.Lock();
        // A forked child has no writer; an exit from inside the writer
        // (a handler) cannot wait for itself.
        if (!stWriter.bRunning || stWriter.nOwnerPid != getpid() ||
            pthread_equal(stWriter.tThread, pthread_self())) {
            return;
        }
        tThread = stWriter.tThread;
        stWriter.bRunning = false;
    }
    stWriter.bStop.store(true);
    unsigned int unQueue = stWriter.unQueueId.load();
    if (unQueue != 0) PushStopMark(unQueue);
    timespec tDeadline = RealtimeAfter(STOP_WAIT_SEC);
    if (pthread_timedjoin_np(tThread, nullptr, &tDeadline) != 0) {
        // Stuck (a handler that never returns): leave it rather than hang.
        pthread_detach(tThread);
        return;
    }
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    if (pstSect != nullptr) __atomic_store_n(&pstSect->unQueue, 0, __ATOMIC_RELEASE);
    unQueue = stWriter.unQueueId.load();
    if (unQueue != 0) DrainResidue(unQueue);
}

// Records still queued when the process ends are written, not lost.
void StopWritersAtExit() { __Stop_LogWriters(); }

}  // namespace

bool __Is_LogPushing() { return t_bPushing; }

int __Push_Log(unsigned int unLogSect, unsigned int unLogLevel, const char *pcFormat,
               va_list ap) {
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    unsigned int unQueue = pstSect != nullptr ? __Get_LogQueue(*pstSect) : 0;
    if (unQueue == 0) return __Log(unLogSect, unLogLevel, pcFormat, ap);

    auto *pstRecord = static_cast<_ST_LOG_Q_DATA *>(malloc(sizeof(_ST_LOG_Q_DATA)));
    if (pstRecord == nullptr) return -1;
    gettimeofday(&pstRecord->tTime, nullptr);
    if (vsnprintf(pstRecord->szLog, sizeof(pstRecord->szLog), pcFormat, ap) < 0) {
        free(pstRecord);
        SET_ERROR(E_LIB_INTERNAL, "Failed make log data");
        return -1;
    }
    pstRecord->unLogSect = unLogSect;
    pstRecord->unLogLevel = unLogLevel;

    t_bPushing = true;
    int nRet = Push_Queue(unQueue, pstRecord);
    t_bPushing = false;
    if (nRet < 0) {
        free(pstRecord);  // a refused record stays ours
        return -1;
    }
    g_stWriters[unLogSect].ulQueued.fetch_add(1);
    return 0;
}

void *__Thr_WriteLog(void *pvArg) {
    unsigned int unLogSect = static_cast<unsigned int>(reinterpret_cast<uintptr_t>(pvArg));
    LogWriter &stWriter = g_stWriters[unLogSect];
    int nQueue = OpenWriterQueue(stWriter);
    if (nQueue < 0) return nullptr;  // the section goes on writing directly
    unsigned int unQueue = static_cast<unsigned int>(nQueue);
    __atomic_store_n(&__pstLogCtrl->stSect[unLogSect].unQueue, static_cast<uint16_t>(unQueue),
                     __ATOMIC_RELEASE);
    for (;;) {
        void *pvItem = Pop_Queue(unQueue);
        if (pvItem == &g_cStopMark) break;
        if (pvItem == nullptr) {
            if (stWriter.bStop.load()) break;
            Sleep_u(EMPTY_POP_PAUSE_USEC);
            continue;
        }
        WriteQueued(static_cast<_ST_LOG_Q_DATA *>(pvItem));
    }
    return nullptr;
}

int __Start_LogWriter(unsigned int unLogSect) {
    std::call_once(g_tExitOnce, [] { atexit(StopWritersAtExit); });
    LogWriter &stWriter = g_stWriters[unLogSect];
    MutexLocker stLock(&g_tWriters);
    stLock.Lock();
    stWriter.bStop.store(false);
    void *pvArg = reinterpret_cast<void *>(static_cast<uintptr_t>(unLogSect));
    if (pthread_create(&stWriter.tThread, nullptr, __Thr_WriteLog, pvArg) != 0) {
        SET_ERROR(LOG_ERR_NOSPACE, "Log Thread creation fail");
        fputs("Log Thread creation fail\n", stderr);
        return -1;
    }
    stWriter.bRunning = true;
    stWriter.nOwnerPid = getpid();
    return 0;
}

void __Stop_LogWriters() {
    for (unsigned int i = 0; i < LOG_SECT_SLOTS; ++i) StopWriter(i);
}

int Flush_Log() {
    timespec tDeadline = RealtimeAfter(FLUSH_WAIT_SEC);
    int nRet = 0;
    MutexLocker stLock(&g_tDone);
    stLock.Lock();
    g_nFlushWaiters.fetch_add(1);
    for (LogWriter &stWriter : g_stWriters) {
        uint64_t ulTarget = stWriter.ulQueued.load();
        while (stWriter.ulWritten.load() < ulTarget && nRet == 0) {
            if (pthread_cond_timedwait(&g_tDoneCond, &g_tDone, &tDeadline) == ETIMEDOUT) nRet = -1;
        }
    }
    g_nFlushWaiters.fetch_sub(1);
    return nRet;
}
