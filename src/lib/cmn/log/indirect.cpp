// LOG_INDIRECT sections: callers format and queue; one writer thread per section writes.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "base/error.h"
#include "base/memctrl.h"
#include "base/util.h"
#include "ipc/queue.h"
#include "log_internal.h"

namespace {

constexpr int LOG_QUEUE_SIZE = 1024;
constexpr long EMPTY_POP_PAUSE_USEC = 10;
// Longer lines, and lines that find the pool empty, get a heap block of their own length.
constexpr size_t RECORD_SLOT_SIZE = 512;
// The whole queue, plus records being formatted or written.
constexpr uint32_t RECORD_POOL_SLOTS = LOG_QUEUE_SIZE + 64;
// Per writer, at exit or a new Init_Log; StopWriter says what happens to one that overruns it.
constexpr time_t STOP_WAIT_SEC = 5;
constexpr long STOP_LOCK_PAUSE_USEC = 10;
constexpr time_t FLUSH_WAIT_SEC = 10;  // per Flush_Log call

// Pushed behind a section's last record to end its writer.
char g_cStopMark;

thread_local bool t_bPushing = false;

class RecordPool;

// Owned by the queue while queued, given back by the writer. The message follows the header.
struct QueuedRecord {
    uint32_t unLogSect;
    uint32_t unLogLevel;
    struct timeval tTime;  // time of the call
    RecordPool *pPool;     // null for a heap block
    uint32_t unSlot;

    char *Text() { return reinterpret_cast<char *>(this + 1); }
};

// Fixed slots, so that queuing allocates nothing: a lock-free stack of free slot numbers. The head
// carries a change count beside the top slot (plus one, 0 = empty) against ABA.
class RecordPool {
public:
    static constexpr size_t TEXT_ROOM = RECORD_SLOT_SIZE - sizeof(QueuedRecord);

    RecordPool() {
        for (uint32_t i = 0; i < RECORD_POOL_SLOTS; ++i) {
            next_[i].store(i, std::memory_order_relaxed);  // slot i-1 below slot i
        }
        head_.store(RECORD_POOL_SLOTS, std::memory_order_release);
    }
    RecordPool(const RecordPool &) = delete;
    RecordPool &operator=(const RecordPool &) = delete;

    QueuedRecord *Take() {
        uint64_t ulHead = head_.load(std::memory_order_acquire);
        for (;;) {
            uint32_t unTop = static_cast<uint32_t>(ulHead);
            if (unTop == 0) return nullptr;
            uint32_t unNext = next_[unTop - 1].load(std::memory_order_relaxed);
            if (head_.compare_exchange_weak(ulHead, Head(ulHead, unNext),
                                            std::memory_order_acquire,
                                            std::memory_order_acquire)) {
                QueuedRecord *pstRecord = Slot(unTop - 1);
                pstRecord->pPool = this;
                pstRecord->unSlot = unTop - 1;
                return pstRecord;
            }
        }
    }

    // The writer is done with the slot's text (release: a later Take sees it so).
    void Give(const QueuedRecord *pstRecord) {
        uint32_t unSlot = pstRecord->unSlot;
        uint64_t ulHead = head_.load(std::memory_order_relaxed);
        do {
            next_[unSlot].store(static_cast<uint32_t>(ulHead), std::memory_order_relaxed);
        } while (!head_.compare_exchange_weak(ulHead, Head(ulHead, unSlot + 1),
                                              std::memory_order_release,
                                              std::memory_order_relaxed));
    }

private:
    static uint64_t Head(uint64_t ulOld, uint32_t unTop) {
        return (((ulOld >> 32) + 1) << 32) | unTop;
    }
    QueuedRecord *Slot(uint32_t unSlot) {
        return reinterpret_cast<QueuedRecord *>(abSlots_[unSlot]);
    }

    std::atomic<uint64_t> head_{0};
    std::atomic<uint32_t> next_[RECORD_POOL_SLOTS];
    alignas(QueuedRecord) unsigned char abSlots_[RECORD_POOL_SLOTS][RECORD_SLOT_SIZE];
};
static_assert(RECORD_SLOT_SIZE % alignof(QueuedRecord) == 0, "slots keep the header aligned");

QueuedRecord *NewHeapRecord(const char *pcFormat, va_list ap) {
    char szText[LOG_MSG_BUF_SIZE];
    int nLen = vsnprintf(szText, sizeof(szText), pcFormat, ap);
    if (nLen < 0) {
        SET_ERROR(E_LIB_INTERNAL, "Failed make log data");
        return nullptr;
    }
    size_t unLen = static_cast<size_t>(nLen) < sizeof(szText) ? static_cast<size_t>(nLen)
                                                              : sizeof(szText) - 1;
    auto *pstRecord = static_cast<QueuedRecord *>(malloc(sizeof(QueuedRecord) + unLen + 1));
    if (pstRecord == nullptr) return nullptr;
    memcpy(pstRecord->Text(), szText, unLen);
    pstRecord->Text()[unLen] = '\0';
    pstRecord->pPool = nullptr;
    return pstRecord;
}

QueuedRecord *FormatRecord(RecordPool *pPool, const char *pcFormat, va_list ap) {
    QueuedRecord *pstRecord = pPool != nullptr ? pPool->Take() : nullptr;
    if (pstRecord == nullptr) return NewHeapRecord(pcFormat, ap);
    va_list apAgain;
    va_copy(apAgain, ap);
    int nLen = vsnprintf(pstRecord->Text(), RecordPool::TEXT_ROOM, pcFormat, ap);
    if (nLen < 0 || static_cast<size_t>(nLen) >= RecordPool::TEXT_ROOM) {
        pPool->Give(pstRecord);
        pstRecord = NewHeapRecord(pcFormat, apAgain);
    }
    va_end(apAgain);
    return pstRecord;
}

void ReleaseRecord(QueuedRecord *pstRecord) {
    if (pstRecord->pPool != nullptr) {
        pstRecord->pPool->Give(pstRecord);
    } else {
        free(pstRecord);
    }
}

struct LogWriter {
    pthread_t tThread;  // these three guarded by g_tWriters
    bool bRunning;
    pid_t nOwnerPid;
    std::atomic<bool> bStop;
    // Never destroyed: a later writer of this section slot (after a new Init_Log) takes it again.
    std::atomic<unsigned int> unQueueId;
    // Kept with the queue: records may still be queued when a writer ends.
    std::atomic<RecordPool *> pPool;
    std::mutex tPush;                 // a push and its count
    // Set while the writer may hold its section's lock: a forked child then frees that lock.
    std::atomic<bool> bInSection;
    std::atomic<uint64_t> ulQueued;   // records pushed
    alignas(64) std::atomic<uint64_t> ulWritten;  // records written (or dropped)
    // Lowest count a Flush_Log waits for, 0 if none: a wake-up per record would cost the writer.
    std::atomic<uint64_t> ulWakeAt;
};

LogWriter g_stWriters[LOG_SECT_SLOTS];
pthread_mutex_t g_tWriters = PTHREAD_MUTEX_INITIALIZER;
std::once_flag g_tExitOnce;

pthread_mutex_t g_tDone = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_tDoneCond = PTHREAD_COND_INITIALIZER;

timespec RealtimeAfter(time_t tSec) {
    timespec tDeadline;
    clock_gettime(CLOCK_REALTIME, &tDeadline);
    tDeadline.tv_sec += tSec;
    return tDeadline;
}

// The count is raised before the mark is read and a waiter sets the mark before it reads the count.
void CountWritten(LogWriter &stWriter) {
    uint64_t ulWritten = stWriter.ulWritten.fetch_add(1) + 1;
    uint64_t ulWakeAt = stWriter.ulWakeAt.load();
    if (ulWakeAt == 0 || ulWritten < ulWakeAt) return;
    MutexLocker stLock(&g_tDone);
    stLock.Lock();
    stWriter.ulWakeAt.store(0);  // waiters still short of their count set it again
    pthread_cond_broadcast(&g_tDoneCond);
}

void LowerWakeAt(LogWriter &stWriter, uint64_t ulTarget) {
    uint64_t ulWakeAt = stWriter.ulWakeAt.load();
    while ((ulWakeAt == 0 || ulTarget < ulWakeAt) &&
           !stWriter.ulWakeAt.compare_exchange_weak(ulWakeAt, ulTarget)) {
    }
}

// Caller holds the section lock.
void WriteRecord(unsigned int unLogSect, QueuedRecord *pstRecord) {
    __Write_LogRecord(unLogSect, pstRecord->unLogLevel, pstRecord->tTime, pstRecord->Text(),
                      strlen(pstRecord->Text()));
    ReleaseRecord(pstRecord);
}

void WriteLocked(_ST_LOG_SECT &stSect, unsigned int unLogSect, QueuedRecord *pstRecord) {
    MutexLocker stLock(&stSect.tLock);
    stLock.Lock();
    WriteRecord(unLogSect, pstRecord);
}

void WriteQueued(LogWriter &stWriter, unsigned int unLogSect, QueuedRecord *pstRecord) {
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    if (pstSect != nullptr) {
        stWriter.bInSection.store(true);
        WriteLocked(*pstSect, unLogSect, pstRecord);
        stWriter.bInSection.store(false);
    } else {
        ReleaseRecord(pstRecord);
    }
    CountWritten(stWriter);
}

int OpenWriterQueue(LogWriter &stWriter) {
    // Without a pool every record gets a heap block.
    if (stWriter.pPool.load() == nullptr) stWriter.pPool.store(new (std::nothrow) RecordPool);
    unsigned int unQueue = stWriter.unQueueId.load();
    if (unQueue != 0) return static_cast<int>(unQueue);
    int nQueue = Init_D_Queue(LOG_QUEUE_SIZE);
    if (nQueue > 0) stWriter.unQueueId.store(static_cast<unsigned int>(nQueue));
    return nQueue;
}

// Records pushed after the stop mark. Caller holds the section lock, so no direct record overtakes.
void DrainResidue(LogWriter &stWriter, unsigned int unLogSect, unsigned int unQueue) {
    while (Get_Queue_CurCount(unQueue) > 0) {
        void *pvItem = Pop_Queue(unQueue);
        if (pvItem == nullptr) break;
        if (pvItem == &g_cStopMark) continue;
        WriteRecord(unLogSect, static_cast<QueuedRecord *>(pvItem));
        CountWritten(stWriter);
    }
}

// Under the section lock, so that direct records wait until the queued ones are written. A refused
// push logs into section 0 under its push lock: the push lock is only tried here.
void TurnQueueOff(LogWriter &stWriter, unsigned int unLogSect, _ST_LOG_SECT &stSect) {
    for (;;) {
        MutexLocker stSectLock(&stSect.tLock);
        stSectLock.Lock();
        std::unique_lock<std::mutex> stPush(stWriter.tPush, std::try_to_lock);
        if (stPush.owns_lock()) {
            __atomic_store_n(&stSect.unQueue, 0, __ATOMIC_RELEASE);
            stPush.unlock();
            unsigned int unQueue = stWriter.unQueueId.load();
            if (unQueue != 0) DrainResidue(stWriter, unLogSect, unQueue);
            return;
        }
        stSectLock.UnLock();
        Sleep_u(STOP_LOCK_PAUSE_USEC);
    }
}

// False when the queue stayed full: the writer then ends on an empty queue.
bool PushStopMark(unsigned int unQueue) {
    time_t tDeadline = RealtimeAfter(STOP_WAIT_SEC).tv_sec;
    int nRet;
    t_bPushing = true;
    do {
        nRet = Push_Queue(unQueue, &g_cStopMark);
    } while (nRet != 0 && RealtimeAfter(0).tv_sec < tDeadline);
    t_bPushing = false;
    return nRet == 0;
}

// A writer that does not end in time (a handler that never returns) is left running with its queue
// on; standard error says how many records stay unwritten.
void StopWriter(unsigned int unLogSect) {
    LogWriter &stWriter = g_stWriters[unLogSect];
    pthread_t tThread;
    {
        MutexLocker stLock(&g_tWriters);
        stLock.Lock();
        // A forked child has no writer; an exit in the writer (a handler) cannot wait for itself.
        if (!stWriter.bRunning || stWriter.nOwnerPid != getpid() ||
            pthread_equal(stWriter.tThread, pthread_self())) {
            return;
        }
        tThread = stWriter.tThread;
        stWriter.bRunning = false;
    }
    stWriter.bStop.store(true);
    unsigned int unQueue = stWriter.unQueueId.load();
    bool bMarked = unQueue != 0 && PushStopMark(unQueue);
    timespec tDeadline = RealtimeAfter(STOP_WAIT_SEC);
    if (pthread_timedjoin_np(tThread, nullptr, &tDeadline) != 0) {
        pthread_detach(tThread);
        int nLeft = unQueue != 0 ? Get_Queue_CurCount(unQueue) - (bMarked ? 1 : 0) : 0;
        fprintf(stderr,
                "Log writer of section %u did not end within %ld s: %d queued records not "
                "written\n",
                unLogSect, static_cast<long>(STOP_WAIT_SEC), nLeft > 0 ? nLeft : 0);
        return;
    }
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    if (pstSect != nullptr) TurnQueueOff(stWriter, unLogSect, *pstSect);
}

// A forked child has none of its parent's threads: its sections write directly, and the locks of
// this file (and a section lock the writer held at the fork) are made free.
void ForgetWritersInChild() {
    Mutex_Init(&g_tWriters, nullptr);
    Mutex_Init(&g_tDone, nullptr);
    pthread_cond_init(&g_tDoneCond, nullptr);
    for (unsigned int i = 0; i < LOG_SECT_SLOTS; ++i) {
        LogWriter &stWriter = g_stWriters[i];
        stWriter.bRunning = false;
        new (&stWriter.tPush) std::mutex;
        stWriter.unQueueId.store(0);
        stWriter.ulQueued.store(stWriter.ulWritten.load());
        stWriter.ulWakeAt.store(0);
        _ST_LOG_SECT *pstSect = __Get_LogSect(i);
        if (pstSect == nullptr) continue;
        __atomic_store_n(&pstSect->unQueue, 0, __ATOMIC_RELEASE);
        if (stWriter.bInSection.exchange(false)) Mutex_Init(&pstSect->tLock, nullptr);
    }
}

}  // namespace

bool __Is_LogPushing() { return t_bPushing; }

int __Push_Log(unsigned int unLogSect, unsigned int unLogLevel, const char *pcFormat,
               va_list ap) {
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    unsigned int unQueue = pstSect != nullptr ? __Get_LogQueue(*pstSect) : 0;
    if (unQueue == 0) return __Log(unLogSect, unLogLevel, pcFormat, ap);

    timeval tTime;
    gettimeofday(&tTime, nullptr);
    QueuedRecord *pstRecord = FormatRecord(g_stWriters[unLogSect].pPool.load(), pcFormat, ap);
    if (pstRecord == nullptr) return -1;
    pstRecord->tTime = tTime;
    pstRecord->unLogSect = unLogSect;
    pstRecord->unLogLevel = unLogLevel;

    LogWriter &stWriter = g_stWriters[unLogSect];
    int nRet;
    {
    // Counted in queue order, as Flush_Log needs.
        std::unique_lock<std::mutex> stLock(stWriter.tPush);
        unQueue = __Get_LogQueue(*pstSect);
        if (unQueue == 0) {
            stLock.unlock();
            WriteLocked(*pstSect, unLogSect, pstRecord);
            return 0;
        }
        t_bPushing = true;
        nRet = Push_Queue(unQueue, pstRecord);
        t_bPushing = false;
        if (nRet == 0) stWriter.ulQueued.fetch_add(1);
    }
    if (nRet < 0) {
        ReleaseRecord(pstRecord);  // a refused record stays ours
        return -1;
    }
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
        WriteQueued(stWriter, unLogSect, static_cast<QueuedRecord *>(pvItem));
    }
    return nullptr;
}

int __Start_LogWriter(unsigned int unLogSect) {
    std::call_once(g_tExitOnce, [] {
        atexit(__Stop_LogWriters);
        pthread_atfork(nullptr, nullptr, ForgetWritersInChild);
    });
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
    for (LogWriter &stWriter : g_stWriters) {
        uint64_t ulTarget = stWriter.ulQueued.load();
        while (stWriter.ulWritten.load() < ulTarget && nRet == 0) {
            LowerWakeAt(stWriter, ulTarget);
            if (stWriter.ulWritten.load() >= ulTarget) break;
            if (pthread_cond_timedwait(&g_tDoneCond, &g_tDone, &tDeadline) == ETIMEDOUT) nRet = -1;
        }
    }
    return nRet;
}
