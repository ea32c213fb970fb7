// The process-wide signal handler and the dispatch of asynchronous signals on a library thread.
#include "signal/signal.h"

#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "base/string.h"
#include "signal_internal.h"

namespace {

constexpr size_t kProcNameSize = 128;

std::atomic<SigFuncType> __pSigFunc{nullptr};
std::atomic<SigFuncType> gUser1Func{nullptr};
std::atomic<SigFuncType> gUser2Func{nullptr};
std::atomic<bool> __bUseBacktraceF{false};
char __szSigProcName[kProcNameSize];

// The process that installed the handlers; a forked child inherits them but is not the daemon.
std::atomic<pid_t> gOwnerPid{0};

// A thread that runs, one at a time, the dump and callbacks of the signals in its self-pipe.
struct Dispatcher {
    int fds[2] = {-1, -1};
    pid_t pid = 0;  // process whose thread reads fds[0]
};

// Termination requests have a dispatcher of their own: a stuck dump or callback on the general one
// must not keep the process from ending.
Dispatcher gGeneral;
Dispatcher gTermination;

bool IsTerminationSignal(int nSignal) { return nSignal == SIGTERM || nSignal == SIGINT; }

Dispatcher &DispatcherOf(int nSignal) {
    return IsTerminationSignal(nSignal) ? gTermination : gGeneral;
}


// A fault's handling may meet a lock the faulting thread holds (the allocator's): after this many
// seconds the alarm's default action ends the process.
constexpr unsigned int kFaultHandlingLimitSec = 10;

void BoundFaultHandling() {
    signal(SIGALRM, SIG_DFL);
    alarm(kFaultHandlingLimitSec);
}

SigFuncType UserFunc(int nSignal) {
    if (nSignal == SIGUSR1) return gUser1Func.load();
    if (nSignal == SIGUSR2) return gUser2Func.load();
    return nullptr;
}

void Dispatch(int nSignal) {
    if (SigFuncType pUser = UserFunc(nSignal)) {
        pUser(nSignal);
        return;
    }
    if (__bUseBacktraceF.load()) __Dump_Back_Trace(nSignal);
    SigFuncType pFunc = __pSigFunc.load();
    if (pFunc != nullptr) pFunc(nSignal);
}

void *DispatcherThread(void *pArg) {
    int nReadFd = static_cast<Dispatcher *>(pArg)->fds[0];
    for (;;) {
        unsigned char ucSignal = 0;
        ssize_t n = read(nReadFd, &ucSignal, 1);
        if (n == 1) {
            Dispatch(ucSignal);
        } else if (n == 0 || (n < 0 && errno != EINTR)) {
            return nullptr;
        }
    }
}

bool StartDispatcher(Dispatcher &d) {
    if (d.fds[1] >= 0 && d.pid == getpid()) return true;
    if (d.fds[1] >= 0) {
        // Inherited through fork: the thread that reads it stayed behind.
        close(d.fds[0]);
        close(d.fds[1]);
        d.fds[0] = d.fds[1] = -1;
    }
    if (pipe2(d.fds, O_CLOEXEC) != 0) return false;
    d.pid = getpid();
    // The dispatcher must not take signals itself: block them in it.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t tid;
    int nRet = pthread_create(&tid, nullptr, DispatcherThread, &d);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (nRet != 0) {
        close(d.fds[0]);
        close(d.fds[1]);
        d.fds[0] = d.fds[1] = -1;
        return false;
    }
    pthread_detach(tid);
    return true;
}

// Started once each; a signal whose dispatcher could not start is handled in place.
void StartDispatchers() {
    StartDispatcher(gGeneral);
    StartDispatcher(gTermination);
}

// A forked child's signal takes its default action, as if the child had installed no handler.
void DefaultActionInChild(int nSignal) {
    signal(nSignal, SIG_DFL);
    raise(nSignal);  // delivered once this handler returns
}

}  // namespace

bool Is_FaultSignal(int nSignal) {
    switch (nSignal) {
        case SIGILL:
        case SIGTRAP:
        case SIGABRT:
        case SIGBUS:
        case SIGFPE:
        case SIGSEGV:
        case SIGSTKFLT:
            return true;
        default:
            return false;
    }
}

const char *Sig_ProcName() { return __szSigProcName; }

// Installed for every covered signal and for the user signals that have a callback.
void __SigFunc(int nSignal) {
    int nSavedErrno = errno;
    if (getpid() != gOwnerPid.load()) {
        DefaultActionInChild(nSignal);
        errno = nSavedErrno;
        return;
    }
    if (Is_FaultSignal(nSignal)) BoundFaultHandling();
    int nPipe = DispatcherOf(nSignal).fds[1];
    if (!Is_FaultSignal(nSignal) && nPipe >= 0) {
        unsigned char ucSignal = static_cast<unsigned char>(nSignal);
        ssize_t n = write(nPipe, &ucSignal, 1);  // async-signal-safe
        errno = nSavedErrno;
        if (n == 1) return;
    }
    Dispatch(nSignal);
}

int Init_SignalLib(int nMinSig, int nMaxSig, SigFuncType pSigFunc, SigFuncType pSigUser1Func,
                   SigFuncType pSigUser2Func, const char *pcProcName) {
    if (pSigFunc == nullptr) return 0;
    if (nMaxSig < 0 || nMaxSig > SIG_MAX_SIGNAL) nMaxSig = SIG_MAX_SIGNAL;
    if (nMinSig < 0 || nMinSig > nMaxSig) nMinSig = 1;
    __bUseBacktraceF = true;
    __pSigFunc = pSigFunc;
    // The first backtrace() loads the unwinder, which allocates: not inside a fault.
    void *pFrame = nullptr;
    backtrace(&pFrame, 1);
    gOwnerPid = getpid();
    StartDispatchers();

    gUser1Func = pSigUser1Func;
    gUser2Func = pSigUser2Func;
    for (int s = nMinSig; s < nMaxSig; ++s) {
        if (s == SIGUSR1 || s == SIGUSR2 || s == SIGPIPE || s == SIGCHLD)
            signal(s, SIG_IGN);
        else
            signal(s, __SigFunc);
        // The user callbacks, too, run on the dispatcher thread.
        if (UserFunc(s) != nullptr) signal(s, __SigFunc);
    }
    if (pcProcName != nullptr) Set_SigProcName(pcProcName);
    return 0;
}

int Init_SignalLib(SigFuncType pSigFunc) {
    return Init_SignalLib(1, 31, pSigFunc, nullptr, nullptr, nullptr);
}
int Init_SignalLib(SigFuncType pSigFunc, SigFuncType pSigUser1Func) {
    return Init_SignalLib(1, 31, pSigFunc, pSigUser1Func, nullptr, nullptr);
}
int Init_SignalLib(int nMinSig, int nMaxSig, SigFuncType pSigFunc) {
    return Init_SignalLib(nMinSig, nMaxSig, pSigFunc, nullptr, nullptr, nullptr);
}
int Init_SignalLib(int nMinSig, int nMaxSig, SigFuncType pSigFunc, SigFuncType pSigUser1Func) {
    return Init_SignalLib(nMinSig, nMaxSig, pSigFunc, pSigUser1Func, nullptr, nullptr);
}
int Init_SignalLib(int nMinSig, int nMaxSig, SigFuncType pSigFunc, SigFuncType pSigUser1Func,
                   SigFuncType pSigUser2Func) {
    return Init_SignalLib(nMinSig, nMaxSig, pSigFunc, pSigUser1Func, pSigUser2Func, nullptr);
}

void Set_UseBacktraceF(bool bFlag) { __bUseBacktraceF = bFlag; }

void Set_SigProcName(const char *pcProcName) {
    if (pcProcName != nullptr) StrCpy(__szSigProcName, pcProcName, sizeof(__szSigProcName));
}
