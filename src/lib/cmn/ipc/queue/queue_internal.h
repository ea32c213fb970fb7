// Internal to the queue library: both flavours' records and one view that serves both.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <ctime>

#include "ipc/queue.h"

// One queued item. Nodes move between a queue's idle stack and its FIFO.
typedef struct _stQueue {
    struct _stQueue *pstNext;
    time_t tMakeTime;  // monotonic seconds at push
    int nSectId;       // 0 unless set; push does not set it
    int nType;         // -1: none
    void *pvData;      // the caller's pointer, never looked into

    void Clear() {
        pstNext = nullptr;
        tMakeTime = 0;
        nSectId = 0;
        nType = -1;
        pvData = nullptr;
    }
} stQueue;

typedef struct _stDynamicQueueList {
    unsigned int unTimeout;
    unsigned int unMaxQCnt;  // capacity
    unsigned int unIdleCnt;
    unsigned int unPeakCnt;  // most items ever queued at once
    stQueue *pstIdle;
    stQueue *pstHead;
    stQueue *pstTail;
    pthread_mutex_t tList;  // lists and counters
    pthread_mutex_t tLock;  // consumer state and wait
    pthread_cond_t tCond;
    unsigned char ucReTryFlag;
    unsigned char ucWaitFlag;
    unsigned char ucThrState;
    unsigned int unQCnt;
} stDynamicQueueList;

typedef struct _stDynamicQueueCtrl {
    pthread_mutex_t tLock;  // reserves creation indexes
    int nSectIndex;         // dynamic queues created
    stDynamicQueueList *pstQList[QUEUE_MAX_DYNAMIC];
} stDynamicQueueCtrl;
// Printed by the first Init_D_Queue.
static_assert(sizeof(stDynamicQueueCtrl) == 8240, "dynamic control is 8,240 bytes");

typedef struct _stThrInfo {
    pthread_mutex_t mutex;
    unsigned char State;
    pthread_cond_t tCond;
} stThrInfo;

typedef struct _stQueueList {
    unsigned int unTimeout;
    unsigned int unPeakCnt;
    unsigned int unIdleCnt;
    stQueue *pstIdle;
    stQueue *pstFront;
    stQueue *pstRear;
    unsigned int unQCnt;
    unsigned int unMaxQCnt;  // this sector's capacity
    pthread_mutex_t mutexList;
    unsigned char ucReTryFlag;
    unsigned char ucWaitFlag;
    struct _stThrInfo stThrInfo;
} stQueueList;

// Unused by the operations: every sector keeps its own idle list.
typedef struct _stIdleQue {
    pthread_mutex_t mutex;
    int nCnt;
    stQueue *pstTop;
} stIdleQue;

typedef struct _stQueueCtrl {
    unsigned int unMaxQSect;
    unsigned int unMaxQueCnt;  // default capacity and initial node pool of a sector
    stIdleQue stIdle;
    stQueueList *pstQList;
} stQueueCtrl;
// Printed when the static control cannot be allocated.
static_assert(sizeof(stQueueCtrl) == 72, "static control is 72 bytes");

// The fields of one queue of either flavour, so that put, take, push and pop exist once.
struct QueueView {
    unsigned int unNumber;  // dynamic index or sector number, for messages
    pthread_mutex_t *ptList;
    stQueue **ppstIdle;
    stQueue **ppstHead;
    stQueue **ppstTail;
    unsigned int *punQCnt;
    unsigned int *punMaxQCnt;
    unsigned int *punIdleCnt;
    unsigned int *punPeakCnt;
    pthread_mutex_t *ptLock;
    pthread_cond_t *ptCond;
    unsigned char *pucState;
    unsigned char *pucWaitFlag;
    unsigned char *pucReTryFlag;
};

QueueView __View_Queue(stDynamicQueueList *pstQueue, unsigned int unIndex);
QueueView __View_Queue(stQueueList *pstQueue, unsigned int unSect);

// Lookups record nothing.
stQueueCtrl *__Get_QueueCtrl();
stQueueList *__Get_StaticQueue(unsigned int unSect);
// The queue named by an identifier; records error 22 and returns false when there is none.
bool __Find_Queue(unsigned int unSect, QueueView *pstView);
// Records error 22 for an identifier that names no queue, or a bad item for it, under pcFunc.
void __Record_InvalidQueue(unsigned int unSect, const char *pcFunc);

stQueue *__New_QueueNode();
void __Idle_QueueNode(const QueueView &stView, stQueue *pstNode);

QueueFreeFunc __Get_QueueFreeFunc();
void __Clear_QueueCallbacks();

// Flags and settings are changed without the list mutex.
inline unsigned char __Load_Flag(const unsigned char *pucFlag) {
    return __atomic_load_n(pucFlag, __ATOMIC_RELAXED);
}
inline void __Store_Flag(unsigned char *pucFlag, unsigned int unFlag) {
    __atomic_store_n(pucFlag, static_cast<unsigned char>(unFlag), __ATOMIC_RELAXED);
}
