// Public: in-process, thread-safe FIFO queues of opaque pointers.
//
// Two flavours share Push_Queue and Pop_Queue:
// - static queues: sectors 0 .. n-1 created together by Init_Queue;
// - dynamic queues: created one at a time by Init_D_Queue (at most 1,024 per
//   process), identified by 1,024 + their creation index (1,024 .. 2,047).
// Identifiers above 1,023 name dynamic queues, the others static sectors.
//
// A consumer blocks on an empty queue for up to one second (wait flag); a producer that finds the
// queue full retries once after one millisecond (retry flag). A push that fails leaves the item
// with the caller. The queue never looks into the items. Failures return -1 (or a null pointer) and
// record an entry in the error registry (base/error.h).
#pragma once

constexpr unsigned int QUEUE_MAX_DYNAMIC = 1024;      // dynamic queues per process
constexpr unsigned int QUEUE_DYNAMIC_BASE = 1024;     // identifier of dynamic index 0
constexpr int QUEUE_ERR_BUSY = 16;                    // full queue, no node
constexpr int QUEUE_ERR_INVALID = 22;                 // bad identifier or item
constexpr unsigned int QUEUE_WAIT_SEC = 1;            // longest wait of a pop
constexpr int QUEUE_RETRY_MSEC = 1;                   // pause before the one retry

// Consumer state of a queue.
enum _enThrState {
    THR_STATE_WAIT = 1,  // the last pop found the queue empty: the next pop waits
    THR_STATE_RUN = 2,   // an item was pushed since
};

// Called with the queue's list mutex held: must not use the same queue. The free callback receives
// every item that Del_Queue discards; items that go back to a caller (popped, or refused by a full
// queue) stay the caller's and are never passed to it.
typedef void (*QueueFreeFunc)(unsigned int unSect, void *pvData);
typedef void (*QueueTimeoutFunc)(unsigned int unSect, void *pvData);
typedef void (*QueueErrFunc)(unsigned int unSect, unsigned int unErr);

// Creation.
int Init_D_Queue(int nMaxQueCnt);                // identifier (1,024 + index) or -1
int Init_Queue(int nMaxQueSect, int nMaxQueCnt);  // 0 or -1
int Check_Queue();                                // 1 when the static queues exist
void Close_Queue();                               // releases the static queues

// Moving items. A negative type pushes "no type" and pops any item.
int Push_Queue(unsigned int unSect, void *pvAddr);
int Push_Queue(unsigned int unSect, int nType, void *pvAddr);
void *Pop_Queue(unsigned int unSect);
void *Pop_Queue(unsigned int unSect, int nType);
void *Pop_DynamicQueue(unsigned int unSect, int nType);  // by dynamic index 0 .. 1,023

// Inspection by identifier; -1 for an invalid one.
int Get_Queue_CurCount(unsigned int unSect);
int Get_Queue_MaxCount(unsigned int unSect);
int Get_Queue_ThreadState(unsigned int unSect);
int Get_Queue_IdleCount(unsigned int unSect);
int Get_Queue_PeakCount(unsigned int unSect);

// Static sector settings; -1 for a sector that does not exist.
int Set_QueueWaitFlag(unsigned int unSect, unsigned int unFlag);
int Get_QueueWaitFlag(unsigned int unSect);
int Set_QueueReTryFlag(unsigned int unSect, unsigned int unFlag);
int Get_QueueReTryFlag(unsigned int unSect);
int Set_QueueTimeout(unsigned int unSect, unsigned int unTimeoutVal);  // stored only
int Get_QueueTimeout(unsigned int unSect);
// Capacity unQCnt when 1 <= unQCnt <= the default capacity, else the default.
int Set_Queue_MaxCount(unsigned int unSect, unsigned int unQCnt);
int Get_QueueCnt(unsigned int unSect);
// Discards every queued item through the free callback.
int Del_Queue(unsigned int unSect);

// Process-wide callbacks; all none at start.
int Set_QueueFreeFunc(QueueFreeFunc pFunc);
int Set_QueueTimeoutFunc(QueueTimeoutFunc pFunc);  // stored only
int Set_QueueErrFunc(QueueErrFunc pFunc);          // stored only

// Entry of a queue manager thread; returns at once (no ageing policy yet).
void *_Thr_QueueMng(void *pvArg);
