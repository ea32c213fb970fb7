// Memory and mutex wrappers: every failure is reported instead of crashing the caller.
#include "base/memctrl.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/error.h"

namespace {

constexpr size_t kAlign = 8;

bool RoundUp(size_t unSize, size_t &unRounded) {
    if (unSize > SIZE_MAX - (kAlign - 1)) return false;
    unRounded = (unSize + kAlign - 1) & ~(kAlign - 1);
    return true;
}

// Records a missing argument under the caller's name, as SET_ERROR there would.
bool IsNull(const void *p, const char *pcName, const char *pcFunc) {
    if (p != nullptr) return false;
    __Set_Error(EINVAL, pcFunc, __LINE__, "%s is NULL", pcName);
    return true;
}

// The zero-size record of the allocating and filling functions.
bool IsEmpty(size_t unSize, const char *pcFunc) {
    if (unSize != 0) return false;
    __Set_Error(EINVAL, pcFunc, __LINE__, "unSize is small[%d] (%s/%d)", 0, pcFunc, __LINE__);
    return true;
}

void *Allocate(void *pcOld, size_t unSize, const char *pcFunc) {
    if (IsEmpty(unSize, pcFunc)) return nullptr;
    size_t unRounded = 0;
    void *p = nullptr;
    if (RoundUp(unSize, unRounded)) p = pcOld ? realloc(pcOld, unRounded) : malloc(unRounded);
    if (p == nullptr) {
        int nErr = errno != 0 ? errno : ENOMEM;
        __Set_Error(nErr, pcFunc, __LINE__, "tc_malloc(Size:%lu) fail (%s/%d)",
                    static_cast<unsigned long>(unRounded), pcFunc, __LINE__);
    }
    return p;
}

}  // namespace

void *Malloc(size_t unSize) { return Allocate(nullptr, unSize, "Malloc"); }

void *Realloc(void *pcAddr, size_t unSize) { return Allocate(pcAddr, unSize, "Realloc"); }

int Free(void *pcAddr) {
    if (IsNull(pcAddr, "pcAddr", __func__)) return -1;
    free(pcAddr);
    return 0;
}

void *Memset(void *pcSrc, int nVal, size_t unSize) {
    if (IsNull(pcSrc, "pcSrc", __func__) || IsEmpty(unSize, __func__)) return nullptr;
    return memset(pcSrc, nVal, unSize);
}

void *Memcpy(void *pcDest, const void *pcSrc, size_t unSize, size_t unMaxBufLen) {
    if (IsNull(pcDest, "pcDest", __func__) || IsNull(pcSrc, "pcSrc", __func__)) return nullptr;
    if (unSize == 0) {
        SET_ERROR(EINVAL, "unSize is small[%d]", 0);
        return nullptr;
    }
    if (unSize > unMaxBufLen) {
        SET_ERROR(EINVAL, "Dest Size[%d] < unSize[%d]", static_cast<int>(unMaxBufLen),
                  static_cast<int>(unSize));
        return nullptr;
    }
    return memcpy(pcDest, pcSrc, unSize);
}

void *Memdup(const void *pcSrc, size_t unSize) {
    if (IsNull(pcSrc, "pcSrc", __func__) || IsEmpty(unSize, __func__)) return nullptr;
    void *p = Malloc(unSize);
    if (p != nullptr) memcpy(p, pcSrc, unSize);
    return p;
}

char *Strdup(const char *pcSrc, size_t unSize) {
    if (IsNull(pcSrc, "pcSrc", __func__) || IsEmpty(unSize, __func__)) return nullptr;
    size_t unLen = strnlen(pcSrc, unSize);
    char *p = static_cast<char *>(Malloc(unSize + 1));
    if (p == nullptr) return nullptr;
    memcpy(p, pcSrc, unLen);
    p[unLen] = '\0';
    return p;
}

char *Strdup(const char *pcSrc) {
    if (IsNull(pcSrc, "pcSrc", __func__)) return nullptr;
    return Strdup(pcSrc, strlen(pcSrc));
}

int Mutex_Init(pthread_mutex_t *pMutex, pthread_mutexattr_t *pAttr) {
    int nRet = pMutex ? pthread_mutex_init(pMutex, pAttr) : EINVAL;
    if (nRet != 0) {
        errno = nRet;
        fprintf(stderr, "Failed mutext init[Ret:%d/Error:%s]\n", nRet, StrError(errno));
        return -1;
    }
    return 0;
}

void Mutex_Lock(pthread_mutex_t *pMutex) {
    int nRet = pMutex ? pthread_mutex_lock(pMutex) : EINVAL;
    if (nRet == 0) return;
    errno = nRet;
    const char *pcName = nRet == EAGAIN ? "EAGAIN" : nRet == EDEADLK ? "EDEADLK" : nullptr;
    if (pcName != nullptr)
        fprintf(stderr, "[%p]Failed lock : %s[%s]\n", static_cast<void *>(pMutex), pcName,
                StrError(nRet));
    else
        fprintf(stderr, "[%p]Failed lock [Ret:%d/Error:%s]\n", static_cast<void *>(pMutex), nRet,
                StrError(nRet));
}

void Mutex_UnLock(pthread_mutex_t *pMutex) {
    int nRet = pMutex ? pthread_mutex_unlock(pMutex) : EINVAL;
    if (nRet == 0) return;
    errno = nRet;
    fprintf(stderr, "[%p]Failed unlock [Ret:%d/Error:%s]\n", static_cast<void *>(pMutex), nRet,
            StrError(nRet));
}

void MutexLocker::Lock() {
    if (nLockStat == 1) return;
    Mutex_Lock(ptMutex);
    nLockStat = 1;
}

void MutexLocker::UnLock() {
    if (nLockStat != 1) return;
    Mutex_UnLock(ptMutex);
    nLockStat = 0;
}
