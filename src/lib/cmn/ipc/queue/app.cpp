// Process-wide callbacks of the queue library and the manager thread entry.
#include <atomic>

#include "queue_internal.h"

namespace {

std::atomic<QueueFreeFunc> g_pFreeFunc{nullptr};
std::atomic<QueueTimeoutFunc> g_pTimeoutFunc{nullptr};
std::atomic<QueueErrFunc> g_pErrFunc{nullptr};

}  // namespace

int Set_QueueFreeFunc(QueueFreeFunc pFunc) {
    g_pFreeFunc.store(pFunc);
    return 0;
}

int Set_QueueTimeoutFunc(QueueTimeoutFunc pFunc) {
    g_pTimeoutFunc.store(pFunc);
    return 0;
}

int Set_QueueErrFunc(QueueErrFunc pFunc) {
    g_pErrFunc.store(pFunc);
    return 0;
}

QueueFreeFunc __Get_QueueFreeFunc() { return g_pFreeFunc.load(); }

void __Clear_QueueCallbacks() {
    g_pFreeFunc.store(nullptr);
    g_pTimeoutFunc.store(nullptr);
}

// No ageing policy exists yet; the timeout, make time and timeout/error callbacks wait for one.
void *_Thr_QueueMng(void *) { return nullptr; }
