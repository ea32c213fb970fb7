// Inspection of any queue, settings of static sectors, and discarding a sector's items.
#include "base/error.h"
#include "base/memctrl.h"
#include "queue_internal.h"

namespace {

template <typename Read>
int ReadUnder(unsigned int unSect, pthread_mutex_t *QueueView::*pMutex, Read fRead) {
    QueueView stView;
    if (!__Find_Queue(unSect, &stView)) return -1;
    MutexLocker stLock(stView.*pMutex);
    stLock.Lock();
    return static_cast<int>(fRead(stView));
}

template <typename Read>
int ReadCounter(unsigned int unSect, Read fRead) {
    return ReadUnder(unSect, &QueueView::ptList, fRead);
}

stQueueList *SectorOrError(unsigned int unSect) {
    stQueueList *pstSect = __Get_StaticQueue(unSect);
    if (pstSect == nullptr) SET_ERROR(QUEUE_ERR_INVALID, "Invalid Parameter\n");
    return pstSect;
}

int SetFlag(unsigned int unSect, unsigned char stQueueList::*pFlag, unsigned int unFlag) {
    stQueueList *pstSect = SectorOrError(unSect);
    if (pstSect == nullptr) return -1;
    __Store_Flag(&(pstSect->*pFlag), unFlag);
    return 0;
}

int GetFlag(unsigned int unSect, unsigned char stQueueList::*pFlag) {
    stQueueList *pstSect = SectorOrError(unSect);
    return pstSect != nullptr ? __Load_Flag(&(pstSect->*pFlag)) : -1;
}

stQueueList *TimeoutSectorOrError(unsigned int unSect) {
    stQueueList *pstSect = __Get_StaticQueue(unSect);
    if (pstSect == nullptr) {
        stQueueCtrl *pstCtrl = __Get_QueueCtrl();
        SET_ERROR(QUEUE_ERR_INVALID, "Invalid Parameter[Input:%u/Max:%u]\n", unSect,
                  pstCtrl != nullptr ? pstCtrl->unMaxQSect : 0u);
    }
    return pstSect;
}

}  // namespace

int Get_Queue_CurCount(unsigned int unSect) {
    return ReadCounter(unSect, [](const QueueView &stView) { return *stView.punQCnt; });
}

// A static sector answers with the default capacity of all sectors.
int Get_Queue_MaxCount(unsigned int unSect) {
    if (unSect < QUEUE_DYNAMIC_BASE) {
        QueueView stView;
        if (!__Find_Queue(unSect, &stView)) return -1;
        return static_cast<int>(__Get_QueueCtrl()->unMaxQueCnt);
    }
    return ReadCounter(unSect, [](const QueueView &stView) { return *stView.punMaxQCnt; });
}

int Get_Queue_ThreadState(unsigned int unSect) {
    return ReadUnder(unSect, &QueueView::ptLock,
                     [](const QueueView &stView) { return *stView.pucState; });
}

int Get_Queue_IdleCount(unsigned int unSect) {
    return ReadCounter(unSect, [](const QueueView &stView) { return *stView.punIdleCnt; });
}

int Get_Queue_PeakCount(unsigned int unSect) {
    return ReadCounter(unSect, [](const QueueView &stView) { return *stView.punPeakCnt; });
}

int Set_QueueWaitFlag(unsigned int unSect, unsigned int unFlag) {
    return SetFlag(unSect, &stQueueList::ucWaitFlag, unFlag);
}

int Get_QueueWaitFlag(unsigned int unSect) { return GetFlag(unSect, &stQueueList::ucWaitFlag); }

int Set_QueueReTryFlag(unsigned int unSect, unsigned int unFlag) {
    return SetFlag(unSect, &stQueueList::ucReTryFlag, unFlag);
}

int Get_QueueReTryFlag(unsigned int unSect) { return GetFlag(unSect, &stQueueList::ucReTryFlag); }

int Set_QueueTimeout(unsigned int unSect, unsigned int unTimeoutVal) {
    stQueueList *pstSect = TimeoutSectorOrError(unSect);
    if (pstSect == nullptr) return -1;
    __atomic_store_n(&pstSect->unTimeout, unTimeoutVal, __ATOMIC_RELAXED);
    return 0;
}

int Get_QueueTimeout(unsigned int unSect) {
    stQueueList *pstSect = TimeoutSectorOrError(unSect);
    if (pstSect == nullptr) return -1;
    return static_cast<int>(__atomic_load_n(&pstSect->unTimeout, __ATOMIC_RELAXED));
}

int Set_Queue_MaxCount(unsigned int unSect, unsigned int unQCnt) {
    stQueueList *pstSect = SectorOrError(unSect);
    if (pstSect == nullptr) return -1;
    unsigned int unDefault = __Get_QueueCtrl()->unMaxQueCnt;
    MutexLocker stLock(&pstSect->mutexList);
    stLock.Lock();
    pstSect->unMaxQCnt = unQCnt >= 1 && unQCnt <= unDefault ? unQCnt : unDefault;
    return 0;
}

int Get_QueueCnt(unsigned int unSect) {
    stQueueList *pstSect = SectorOrError(unSect);
    if (pstSect == nullptr) return -1;
    MutexLocker stLock(&pstSect->mutexList);
    stLock.Lock();
    return static_cast<int>(pstSect->unQCnt);
}

// The discarded nodes go back to the sector's idle list for later pushes.
int Del_Queue(unsigned int unSect) {
    stQueueList *pstSect = SectorOrError(unSect);
    if (pstSect == nullptr) return -1;
    QueueView stView = __View_Queue(pstSect, unSect);
    QueueFreeFunc pFree = __Get_QueueFreeFunc();
    MutexLocker stLock(&pstSect->mutexList);
    stLock.Lock();
    stQueue *pstNode = pstSect->pstFront;
    while (pstNode != nullptr) {
        stQueue *pstNext = pstNode->pstNext;
        if (pFree != nullptr) pFree(unSect, pstNode->pvData);
        __Idle_QueueNode(stView, pstNode);
        pstNode = pstNext;
    }
    pstSect->pstFront = nullptr;
    pstSect->pstRear = nullptr;
    pstSect->unQCnt = 0;
    return 0;
}
