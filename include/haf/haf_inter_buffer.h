// Public: the queue from the link's reception thread to its dispatch thread; full drops the oldest.
#pragma once

#include <pthread.h>

#include "haf/haf_def.h"

constexpr int HAF_INTER_BUFFER_DEFAULT_CNT = 1000;  // slots; 999 messages fit

typedef struct tagHafCircularQueue {
    int front;    // slot before the oldest message
    int rear;     // slot of the newest message
    int nMaxCnt;  // number of slots
    ProcMsg_Haf *pstNode;
} _HAF_CircularQueue;

extern _HAF_CircularQueue stHafBuffer;
extern _HAF_CircularQueue *pstHafInterBuffer;
extern pthread_mutex_t mutex_haf_inter_buffer;

// Negative nMaxSize: 1000. -1 when the slots cannot be had or are fewer than two (a full queue
// would look empty).
int Haf_Init_InterBuffer(int nMaxSize);
// The discarded oldest message is copied into *clearData when given, and logged. The slot, or -1.
int pushBufferHaf(const ProcMsg_Haf *msg, ProcMsg_Haf *clearData);
int popBufferHaf(ProcMsg_Haf *out);
int getBufferCntHaf();
