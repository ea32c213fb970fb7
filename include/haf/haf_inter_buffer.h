// Public: the circular queue from the HA link's reception thread (one pusher) to its dispatch
// thread (one popper). A full queue gives up its oldest message to make room.
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

// The one queue of the process; null until Haf_Init_InterBuffer succeeded.
extern _HAF_CircularQueue stHafBuffer;
extern _HAF_CircularQueue *pstHafInterBuffer;
extern pthread_mutex_t mutex_haf_inter_buffer;

// Allocates nMaxSize slots (negative: 1000) and empties the queue; 0, or -1 when the slots cannot
// be had or are fewer than two (a full queue would look empty).
int Haf_Init_InterBuffer(int nMaxSize);
// Appends a copy of *msg. When the queue is full the oldest message is discarded first (copied into
// *clearData when given) and logged. Returns the slot used, or -1 when there is no queue.
int pushBufferHaf(const ProcMsg_Haf *msg, ProcMsg_Haf *clearData);
// Takes the oldest message into *out; its slot, or -1 when empty or no queue.
int popBufferHaf(ProcMsg_Haf *out);
// Number of queued messages, or -1 when there is no queue.
int getBufferCntHaf();
