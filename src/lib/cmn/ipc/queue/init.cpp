// Creation of dynamic and static queues, lookup by identifier, node pool.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/error.h"
#include "base/memctrl.h"
#include "queue_internal.h"

namespace {

constexpr unsigned int MEGABYTE = 1u << 20;
constexpr unsigned char FLAG_ON = 1;

// Created by the first Init_D_Queue and kept for the life of the process.
stDynamicQueueCtrl *g_pstDynCtrl = nullptr;
pthread_mutex_t g_tDynCreate = PTHREAD_MUTEX_INITIALIZER;

stQueueCtrl *g_pstQueueCtrl = nullptr;

stDynamicQueueCtrl *DynamicCtrl() {
    stDynamicQueueCtrl *pstCtrl = __atomic_load_n(&g_pstDynCtrl, __ATOMIC_ACQUIRE);
    if (pstCtrl != nullptr) return pstCtrl;

    MutexLocker stLock(&g_tDynCreate);
    stLock.Lock();
    if (g_pstDynCtrl != nullptr) return g_pstDynCtrl;
    const unsigned int unSize = sizeof(stDynamicQueueCtrl);
    pstCtrl = static_cast<stDynamicQueueCtrl *>(calloc(1, unSize));
    if (pstCtrl == nullptr) {
        fprintf(stderr, "Failed Queue malloc memory [Size %uByte:%uMbyte] (%s/%d)\n", unSize,
                unSize / MEGABYTE, "Init_D_Queue", __LINE__);
        return nullptr;
    }
    fprintf(stderr, "Queue malloc memory [Size %uByte:%uMbyte] (%s/%d)\n", unSize,
            unSize / MEGABYTE, "Init_D_Queue", __LINE__);
    Mutex_Init(&pstCtrl->tLock, nullptr);
    __atomic_store_n(&g_pstDynCtrl, pstCtrl, __ATOMIC_RELEASE);
    return pstCtrl;
}

int _Init_Que(stDynamicQueueCtrl *pstCtrl) {
    MutexLocker stLock(&pstCtrl->tLock);
    stLock.Lock();
    if (pstCtrl->nSectIndex >= static_cast<int>(QUEUE_MAX_DYNAMIC)) {
        fprintf(stderr, "Queue sector full [%d] (%s/%d)\n", static_cast<int>(QUEUE_MAX_DYNAMIC),
                "_Init_Que", __LINE__);
        return -1;
    }
    return pstCtrl->nSectIndex++;
}

// A queue's locks are held for a few pointer moves: a waiter spins a little before it sleeps.
void InitQueueMutex(pthread_mutex_t *ptMutex) {
    pthread_mutexattr_t tAttr;
    pthread_mutexattr_init(&tAttr);
    pthread_mutexattr_settype(&tAttr, PTHREAD_MUTEX_ADAPTIVE_NP);
    Mutex_Init(ptMutex, &tAttr);
    pthread_mutexattr_destroy(&tAttr);
}

// Either flavour starts with its consumer waiting, both flags on and unMaxQueCnt idle nodes.
void InitQueue(const QueueView &stView, unsigned int unMaxQueCnt) {
    InitQueueMutex(stView.ptList);
    InitQueueMutex(stView.ptLock);
    pthread_cond_init(stView.ptCond, nullptr);
    *stView.pucState = THR_STATE_WAIT;
    *stView.pucReTryFlag = FLAG_ON;
    *stView.pucWaitFlag = FLAG_ON;
    *stView.punMaxQCnt = unMaxQueCnt;
    for (unsigned int i = 0; i < unMaxQueCnt; ++i) {
        stQueue *pstNode = __New_QueueNode();
        if (pstNode == nullptr) break;
        __Idle_QueueNode(stView, pstNode);
    }
}

void FreeNodes(stQueue *pstNode) {
    while (pstNode != nullptr) {
        stQueue *pstNext = pstNode->pstNext;
        free(pstNode);
        pstNode = pstNext;
    }
}

void ReleaseSector(stQueueList *pstSect) {
    FreeNodes(pstSect->pstIdle);
    FreeNodes(pstSect->pstFront);
    pthread_mutex_destroy(&pstSect->mutexList);
    pthread_mutex_destroy(&pstSect->stThrInfo.mutex);
    pthread_cond_destroy(&pstSect->stThrInfo.tCond);
}

void PrintStaticAllocFail(size_t unSize, int nLine) {
    fprintf(stderr, "Failed Queue malloc memory [Size %ldByte:%ldMbyte] (%s/%d)\n",
            static_cast<long>(unSize), static_cast<long>(unSize / MEGABYTE), "Init_Queue", nLine);
}

}  // namespace

stQueue *__New_QueueNode() {
    auto *pstNode = static_cast<stQueue *>(malloc(sizeof(stQueue)));
    if (pstNode != nullptr) pstNode->Clear();
    return pstNode;
}

void __Idle_QueueNode(const QueueView &stView, stQueue *pstNode) {
    pstNode->Clear();
    pstNode->pstNext = *stView.ppstIdle;
    *stView.ppstIdle = pstNode;
    ++*stView.punIdleCnt;
}

QueueView __View_Queue(stDynamicQueueList *pstQueue, unsigned int unIndex) {
    return QueueView{unIndex,
                     &pstQueue->tList,
                     &pstQueue->pstIdle,
                     &pstQueue->pstHead,
                     &pstQueue->pstTail,
                     &pstQueue->unQCnt,
                     &pstQueue->unMaxQCnt,
                     &pstQueue->unIdleCnt,
                     &pstQueue->unPeakCnt,
                     &pstQueue->tLock,
                     &pstQueue->tCond,
                     &pstQueue->ucThrState,
                     &pstQueue->ucWaitFlag,
                     &pstQueue->ucReTryFlag};
}

QueueView __View_Queue(stQueueList *pstQueue, unsigned int unSect) {
    return QueueView{unSect,
                     &pstQueue->mutexList,
                     &pstQueue->pstIdle,
                     &pstQueue->pstFront,
                     &pstQueue->pstRear,
                     &pstQueue->unQCnt,
                     &pstQueue->unMaxQCnt,
                     &pstQueue->unIdleCnt,
                     &pstQueue->unPeakCnt,
                     &pstQueue->stThrInfo.mutex,
                     &pstQueue->stThrInfo.tCond,
                     &pstQueue->stThrInfo.State,
                     &pstQueue->ucWaitFlag,
                     &pstQueue->ucReTryFlag};
}

stQueueCtrl *__Get_QueueCtrl() { return __atomic_load_n(&g_pstQueueCtrl, __ATOMIC_ACQUIRE); }

stQueueList *__Get_StaticQueue(unsigned int unSect) {
    stQueueCtrl *pstCtrl = __Get_QueueCtrl();
    if (pstCtrl == nullptr || unSect >= pstCtrl->unMaxQSect) return nullptr;
    return &pstCtrl->pstQList[unSect];
}

void __Record_InvalidQueue(unsigned int unSect, const char *pcFunc) {
    stQueueCtrl *pstCtrl = __Get_QueueCtrl();
    int nMax = pstCtrl != nullptr ? static_cast<int>(pstCtrl->unMaxQSect) : 0;
    if (unSect >= QUEUE_DYNAMIC_BASE) {
        unSect -= QUEUE_DYNAMIC_BASE;
        nMax = static_cast<int>(QUEUE_MAX_DYNAMIC);
    }
    __Set_Error(QUEUE_ERR_INVALID, pcFunc, __LINE__, "Invalid Parameter[%d/Max:%d]\n",
                static_cast<int>(unSect), nMax);
}

bool __Find_Queue(unsigned int unSect, QueueView *pstView) {
    if (unSect >= QUEUE_DYNAMIC_BASE) {
        unsigned int unIndex = unSect - QUEUE_DYNAMIC_BASE;
        if (unIndex >= QUEUE_MAX_DYNAMIC) {
            __Record_InvalidQueue(unSect, __func__);
            return false;
        }
        stDynamicQueueCtrl *pstCtrl = __atomic_load_n(&g_pstDynCtrl, __ATOMIC_ACQUIRE);
        stDynamicQueueList *pstQueue =
            pstCtrl != nullptr ? __atomic_load_n(&pstCtrl->pstQList[unIndex], __ATOMIC_ACQUIRE)
                               : nullptr;
        if (pstQueue == nullptr) {
            SET_ERROR(QUEUE_ERR_INVALID, "Not Initialized Sector Index\n");
            return false;
        }
        *pstView = __View_Queue(pstQueue, unIndex);
        return true;
    }
    stQueueList *pstSect = __Get_StaticQueue(unSect);
    if (pstSect == nullptr) {
        __Record_InvalidQueue(unSect, __func__);
        return false;
    }
    *pstView = __View_Queue(pstSect, unSect);
    return true;
}

int Init_D_Queue(int nMaxQueCnt) {
    if (nMaxQueCnt < 0) {
        SET_ERROR(QUEUE_ERR_INVALID, "Invalid Parameter\n");
        return -1;
    }
    stDynamicQueueCtrl *pstCtrl = DynamicCtrl();
    if (pstCtrl == nullptr) return -1;
    int nIndex = _Init_Que(pstCtrl);
    if (nIndex < 0) return -1;
    unsigned int unIndex = static_cast<unsigned int>(nIndex);
    auto *pstQueue = static_cast<stDynamicQueueList *>(calloc(1, sizeof(stDynamicQueueList)));
    if (pstQueue == nullptr) {
        // The index stays reserved: indexes are never reused.
        SET_ERROR(ENOMEM, "[SECT=%03d]Failed Queue malloc memory\n", nIndex);
        return -1;
    }
    InitQueue(__View_Queue(pstQueue, unIndex), static_cast<unsigned int>(nMaxQueCnt));
    __atomic_store_n(&pstCtrl->pstQList[unIndex], pstQueue, __ATOMIC_RELEASE);
    return static_cast<int>(QUEUE_DYNAMIC_BASE + unIndex);
}

int Init_Queue(int nMaxQueSect, int nMaxQueCnt) {
    if (nMaxQueSect < 0 || nMaxQueCnt < 0) {
        SET_ERROR(QUEUE_ERR_INVALID, "Invalid Parameter\n");
        return -1;
    }
    // A second call replaces the queues of the first instead of leaking them.
    Close_Queue();
    auto *pstCtrl = static_cast<stQueueCtrl *>(calloc(1, sizeof(stQueueCtrl)));
    if (pstCtrl == nullptr) {
        PrintStaticAllocFail(sizeof(stQueueCtrl), __LINE__);
        return -1;
    }
    size_t unSectCnt = static_cast<size_t>(nMaxQueSect);
    pstCtrl->pstQList = static_cast<stQueueList *>(calloc(unSectCnt > 0 ? unSectCnt : 1,
                                                          sizeof(stQueueList)));
    if (pstCtrl->pstQList == nullptr) {
        PrintStaticAllocFail(unSectCnt * sizeof(stQueueList), __LINE__);
        free(pstCtrl);
        return -1;
    }
    pstCtrl->unMaxQSect = static_cast<unsigned int>(nMaxQueSect);
    pstCtrl->unMaxQueCnt = static_cast<unsigned int>(nMaxQueCnt);
    Mutex_Init(&pstCtrl->stIdle.mutex, nullptr);
    for (unsigned int i = 0; i < pstCtrl->unMaxQSect; ++i)
        InitQueue(__View_Queue(&pstCtrl->pstQList[i], i), pstCtrl->unMaxQueCnt);
    __Clear_QueueCallbacks();
    __atomic_store_n(&g_pstQueueCtrl, pstCtrl, __ATOMIC_RELEASE);
    return 0;
}

int Check_Queue() { return __Get_QueueCtrl() != nullptr ? 1 : 0; }

// The caller makes sure no thread still uses the static queues.
void Close_Queue() {
    stQueueCtrl *pstCtrl = __atomic_exchange_n(&g_pstQueueCtrl, nullptr, __ATOMIC_ACQ_REL);
    if (pstCtrl == nullptr) return;
    for (unsigned int i = 0; i < pstCtrl->unMaxQSect; ++i) ReleaseSector(&pstCtrl->pstQList[i]);
    pthread_mutex_destroy(&pstCtrl->stIdle.mutex);
    free(pstCtrl->pstQList);
    free(pstCtrl);
}
