// Public: guarded memory wrappers and mutex wrappers with a scoped guard.
#pragma once

#include <pthread.h>

#include <cstddef>

void *Malloc(size_t unSize);
void *Realloc(void *pcAddr, size_t unSize);
int Free(void *pcAddr);
void *Memset(void *pcSrc, int nVal, size_t unSize);
void *Memcpy(void *pcDest, const void *pcSrc, size_t unSize, size_t unMaxBufLen);
void *Memdup(const void *pcSrc, size_t unSize);
char *Strdup(const char *pcSrc);
char *Strdup(const char *pcSrc, size_t unSize);

int Mutex_Init(pthread_mutex_t *pMutex, pthread_mutexattr_t *pAttr);
void Mutex_Lock(pthread_mutex_t *pMutex);
void Mutex_UnLock(pthread_mutex_t *pMutex);

// Stores the mutex without locking it.
class MutexLocker {
public:
    explicit MutexLocker(pthread_mutex_t *pMutex) : ptMutex(pMutex), nLockStat(0) {}
    ~MutexLocker() { UnLock(); }
    MutexLocker(const MutexLocker &) = delete;
    MutexLocker &operator=(const MutexLocker &) = delete;

    void Lock();
    void UnLock();
    bool IsLocked() const { return nLockStat == 1; }

private:
    pthread_mutex_t *ptMutex;
    int nLockStat;
};
