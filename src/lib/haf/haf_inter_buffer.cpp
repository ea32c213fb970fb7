// Circular queue between the reception and the dispatch thread of the link.
#include "haf/haf_inter_buffer.h"

#include <cstring>
#include <memory>
#include <new>

#include "base/memctrl.h"
#include "haf_lib_state.h"
#include "log/log.h"

_HAF_CircularQueue stHafBuffer = {0, 0, 0, nullptr};
_HAF_CircularQueue *pstHafInterBuffer = nullptr;
pthread_mutex_t mutex_haf_inter_buffer = PTHREAD_MUTEX_INITIALIZER;

namespace {

// Never freed at exit: the link threads may still use them while exit handlers run.
ProcMsg_Haf *gpSlots = nullptr;

bool usable() {
    return pstHafInterBuffer != nullptr && pstHafInterBuffer->nMaxCnt > 0 &&
           pstHafInterBuffer->pstNode != nullptr;
}

int next(int nSlot) { return (nSlot + 1) % pstHafInterBuffer->nMaxCnt; }

// Caller holds the mutex and knows the queue is usable.
int popLocked(ProcMsg_Haf *out) {
    _HAF_CircularQueue &q = *pstHafInterBuffer;
    if (q.front == q.rear) return -1;
    q.front = next(q.front);
    if (out != nullptr) memcpy(out, &q.pstNode[q.front], sizeof(ProcMsg_Haf));
    return q.front;
}

}  // namespace

int Haf_Init_InterBuffer(int nMaxSize) {
    MutexLocker lock(&mutex_haf_inter_buffer);
    lock.Lock();
    int nCnt = nMaxSize < 0 ? HAF_INTER_BUFFER_DEFAULT_CNT : nMaxSize;
    pstHafInterBuffer = nullptr;
    stHafBuffer = {0, 0, 0, nullptr};
    delete[] gpSlots;
    gpSlots = nullptr;
    if (nCnt < 2) return -1;
    gpSlots = new (std::nothrow) ProcMsg_Haf[static_cast<size_t>(nCnt)];
    if (gpSlots == nullptr) return -1;
    memset(static_cast<void *>(gpSlots), 0, sizeof(ProcMsg_Haf) * static_cast<size_t>(nCnt));
    stHafBuffer.nMaxCnt = nCnt;
    stHafBuffer.pstNode = gpSlots;
    pstHafInterBuffer = &stHafBuffer;
    return 0;
}

int pushBufferHaf(const ProcMsg_Haf *msg, ProcMsg_Haf *clearData) {
    if (msg == nullptr) return -1;
    MutexLocker lock(&mutex_haf_inter_buffer);
    lock.Lock();
    if (!usable()) return -1;
    _HAF_CircularQueue &q = *pstHafInterBuffer;
    if (q.front == next(q.rear)) {  // full: the oldest message makes room
        int nCleared = popLocked(clearData);
        Log(LOG_3, "[%s][INTER_Q] CIRCULAR QUEUE FULL and clear %d \n", logHafLibTitle, nCleared);
    }
    q.rear = next(q.rear);
    memcpy(&q.pstNode[q.rear], msg, sizeof(ProcMsg_Haf));
    return q.rear;
}

int popBufferHaf(ProcMsg_Haf *out) {
    MutexLocker lock(&mutex_haf_inter_buffer);
    lock.Lock();
    if (!usable()) return -1;
    return popLocked(out);
}

int getBufferCntHaf() {
    MutexLocker lock(&mutex_haf_inter_buffer);
    lock.Lock();
    if (!usable()) return -1;
    const _HAF_CircularQueue &q = *pstHafInterBuffer;
    return (q.rear - q.front + q.nMaxCnt) % q.nMaxCnt;
}
