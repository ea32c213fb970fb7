// Public: in-process FIFO queues of opaque pointers; identifiers above 1,023 are dynamic queues.
#pragma once

constexpr unsigned int QUEUE_MAX_DYNAMIC = 1024;      // dynamic queues per process
constexpr unsigned int QUEUE_DYNAMIC_BASE = 1024;     // identifier of dynamic index 0
constexpr int QUEUE_ERR_BUSY = 16;                    // full queue, no node
constexpr int QUEUE_ERR_INVALID = 22;                 // bad identifier or item
constexpr unsigned int QUEUE_WAIT_SEC = 1;            // longest wait of a pop
constexpr int QUEUE_RETRY_MSEC = 1;                   // pause before the one retry

enum _enThrState {
    THR_STATE_WAIT = 1,  // the last pop found the queue empty: the next pop waits
    THR_STATE_RUN = 2,   // an item was pushed since
};

// Called with the queue's list mutex held: must not use the same queue. The free callback gets only
// items that Del_Queue discards.
typedef void (*QueueFreeFunc)(unsigned int unSect, void *pvData);
typedef void (*QueueTimeoutFunc)(unsigned int unSect, void *pvData);
typedef void (*QueueErrFunc)(unsigned int unSect, unsigned int unErr);

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
int Del_Queue(unsigned int unSect);

int Set_QueueFreeFunc(QueueFreeFunc pFunc);
int Set_QueueTimeoutFunc(QueueTimeoutFunc pFunc);  // stored only
int Set_QueueErrFunc(QueueErrFunc pFunc);          // stored only

// Entry of a queue manager thread; returns at once (no ageing policy yet).
void *_Thr_QueueMng(void *pvArg);
