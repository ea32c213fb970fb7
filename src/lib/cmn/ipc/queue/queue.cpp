// Moving items: put, take, push with its retry and wake-up, pop with its bounded wait.
#include <cerrno>
#include <ctime>

#include "base/dynamic_time.h"
#include "base/error.h"
#include "base/memctrl.h"
#include "base/util.h"
#include "log/log.h"
#include "queue_internal.h"

namespace {

constexpr unsigned char FLAG_ON = 1;

// -1 with error 16 when the queue is full or no node can be had; the item stays the caller's.
int Put(const QueueView &stView, int nType, void *pvAddr) {
    time_t tNow = Time(nullptr, CLOCK_MONOTONIC);
    MutexLocker stLock(stView.ptList);
    stLock.Lock();
    stQueue *pstNode = *stView.ppstIdle;
    if (pstNode != nullptr) {
        *stView.ppstIdle = pstNode->pstNext;
        --*stView.punIdleCnt;
        pstNode->Clear();
    } else {
        pstNode = __New_QueueNode();
    }
    if (pstNode == nullptr) {
        SET_ERROR(QUEUE_ERR_BUSY, "[SECT=%03d]Idle queue is NULL\n",
                  static_cast<int>(stView.unNumber));
        return -1;
    }
    pstNode->pvData = pvAddr;
    pstNode->nType = nType;
    pstNode->tMakeTime = tNow;

    if (*stView.punQCnt + 1 > *stView.punMaxQCnt) {
        SET_ERROR(QUEUE_ERR_BUSY, "[SECT=%03d]Queue buffer full [CurCnt:%u/Max:%u]\n",
                  static_cast<int>(stView.unNumber), *stView.punQCnt, *stView.punMaxQCnt);
        __Idle_QueueNode(stView, pstNode);
        return -1;
    }
    if (*stView.ppstTail != nullptr) {
        (*stView.ppstTail)->pstNext = pstNode;
    } else {
        *stView.ppstHead = pstNode;
    }
    *stView.ppstTail = pstNode;
    ++*stView.punQCnt;
    if (*stView.punPeakCnt < *stView.punQCnt) *stView.punPeakCnt = *stView.punQCnt;
    return 0;
}

bool TypeMatches(const stQueue *pstNode, int nType) { return nType < 0 || pstNode->nType == nType; }

// Oldest item of the type (any if negative), or null; it goes to the caller, not the free callback.
void *Take(const QueueView &stView, int nType) {
    MutexLocker stLock(stView.ptList);
    stLock.Lock();
    stQueue *pstPrev = nullptr;
    stQueue *pstNode = *stView.ppstHead;
    while (pstNode != nullptr && !TypeMatches(pstNode, nType)) {
        pstPrev = pstNode;
        pstNode = pstNode->pstNext;
    }
    if (pstNode == nullptr) return nullptr;

    if (pstPrev != nullptr) {
        pstPrev->pstNext = pstNode->pstNext;
    } else {
        *stView.ppstHead = pstNode->pstNext;
    }
    if (*stView.ppstTail == pstNode) *stView.ppstTail = pstPrev;
    --*stView.punQCnt;
    void *pvData = pstNode->pvData;
    __Idle_QueueNode(stView, pstNode);
    return pvData;
}

// A consumer that found the queue empty waits for this.
void WakeConsumer(const QueueView &stView) {
    MutexLocker stLock(stView.ptLock);
    stLock.Lock();
    if (*stView.pucState == THR_STATE_WAIT) {
        *stView.pucState = THR_STATE_RUN;
        pthread_cond_signal(stView.ptCond);
    }
}

int PushTo(const QueueView &stView, int nType, void *pvAddr) {
    int nRet = Put(stView, nType, pvAddr);
    bool bRetried = false;
    if (nRet < 0 && __Load_Flag(stView.pucReTryFlag) == FLAG_ON) {
        Sleep_m(QUEUE_RETRY_MSEC);
        nRet = Put(stView, nType, pvAddr);
        bRetried = true;
    }
    if (nRet < 0) {
        int nErr = errno;
        int nNumber = static_cast<int>(stView.unNumber);
        Log(LOG_D, "[SECT=%03d]Put Queue Fail\n", nNumber);
        if (bRetried) {
            SET_ERROR(nErr, "[SECT=%03d]Put Queue Fail\n", nNumber);
        } else {
            SET_ERROR(nErr, "[SECT=%3d]Put Queue Fail\n", nNumber);
        }
        return -1;
    }
    if (__Load_Flag(stView.pucWaitFlag) == FLAG_ON) WakeConsumer(stView);
    return 0;
}

timespec DeadlineAfter(unsigned int unSec) {
    timespec tDeadline;
    clock_gettime(CLOCK_REALTIME, &tDeadline);
    tDeadline.tv_sec += static_cast<time_t>(unSec);
    return tDeadline;
}

// Spurious wake-ups do not end the wait early.
void *PopFrom(const QueueView &stView, int nType) {
    if (__Load_Flag(stView.pucWaitFlag) != FLAG_ON) return Take(stView, nType);

    MutexLocker stLock(stView.ptLock);
    stLock.Lock();
    if (*stView.pucState == THR_STATE_WAIT) {
        timespec tDeadline = DeadlineAfter(QUEUE_WAIT_SEC);
        while (*stView.pucState == THR_STATE_WAIT) {
            if (pthread_cond_timedwait(stView.ptCond, stView.ptLock, &tDeadline) == ETIMEDOUT) break;
        }
    }
    void *pvData = Take(stView, nType);
    if (pvData == nullptr) *stView.pucState = THR_STATE_WAIT;
    return pvData;
}

}  // namespace

int Push_Queue(unsigned int unSect, void *pvAddr) { return Push_Queue(unSect, -1, pvAddr); }

int Push_Queue(unsigned int unSect, int nType, void *pvAddr) {
    QueueView stView;
    if (!__Find_Queue(unSect, &stView)) return -1;
    if (pvAddr == nullptr) {
        __Record_InvalidQueue(unSect, __func__);
        return -1;
    }
    return PushTo(stView, nType, pvAddr);
}

void *Pop_Queue(unsigned int unSect) { return Pop_Queue(unSect, -1); }

void *Pop_Queue(unsigned int unSect, int nType) {
    if (unSect >= QUEUE_DYNAMIC_BASE) return Pop_DynamicQueue(unSect - QUEUE_DYNAMIC_BASE, nType);
    QueueView stView;
    if (!__Find_Queue(unSect, &stView)) return nullptr;
    return PopFrom(stView, nType);
}

void *Pop_DynamicQueue(unsigned int unSect, int nType) {
    if (unSect >= QUEUE_MAX_DYNAMIC) {
        SET_ERROR(QUEUE_ERR_INVALID, "Invalid Parameter[%d/Max:%d]\n", static_cast<int>(unSect),
                  static_cast<int>(QUEUE_MAX_DYNAMIC));
        return nullptr;
    }
    QueueView stView;
    if (!__Find_Queue(QUEUE_DYNAMIC_BASE + unSect, &stView)) return nullptr;
    return PopFrom(stView, nType);
}
