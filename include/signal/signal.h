// Public: the process-wide signal library. One handler covers a range of signals; SIGUSR1/SIGUSR2
// go to their own callbacks, SIGPIPE and SIGCHLD are ignored. Before the application's callback
// runs, a time-stamped backtrace is written to a new file
// "/tmp/down_<date>_<time>[_<name>]_<pid>.log" of mode 0600 (not for SIGTERM). A name that exists,
// whoever made it, is never opened: the dump takes "..._<pid>.1.log", ".2.log" and so on instead.
//
// Asynchronous signals (hang-up, interrupt, quit, alarm, terminate, continue) are not handled
// inside the signal handler: the handler only notes the number, and a dispatcher thread of the
// library runs the dump and the callback, where locks, stdio and exit are safe to use. SIGTERM and
// SIGINT have a dispatcher of their own, so that a stuck dump or callback of another signal never
// keeps them from being acted on. Fault signals (SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV,
// SIGSTKFLT) are handled on the faulting thread, whose stack the backtrace then shows. The dump is
// written with plain system calls, never through stdio.
//
// A child forked by the process keeps the handlers but not the dispatchers: there a covered signal
// takes its default action and never reaches the parent's callbacks.
#pragma once

#include <ctime>

typedef void (*SigFuncType)(int);

int Init_SignalLib(SigFuncType pSigFunc);
int Init_SignalLib(SigFuncType pSigFunc, SigFuncType pSigUser1Func);
int Init_SignalLib(int nMinSig, int nMaxSig, SigFuncType pSigFunc);
int Init_SignalLib(int nMinSig, int nMaxSig, SigFuncType pSigFunc, SigFuncType pSigUser1Func);
int Init_SignalLib(int nMinSig, int nMaxSig, SigFuncType pSigFunc, SigFuncType pSigUser1Func,
                   SigFuncType pSigUser2Func);
int Init_SignalLib(int nMinSig, int nMaxSig, SigFuncType pSigFunc, SigFuncType pSigUser1Func,
                   SigFuncType pSigUser2Func, const char *pcProcName);

// Whether nSignal is handled on the thread that raised it (a fault).
bool Is_FaultSignal(int nSignal);

void Set_UseBacktraceF(bool bFlag);
void Set_SigProcName(const char *pcProcName);

void __SigFunc(int nSignal);
void __Dump_Back_Trace(int nSignal);
char *__Con_Time2Str(time_t tTime, char *pcBuf, const int nMaxBufLen);

constexpr const char *SIG_DUMP_DIR = "/tmp";
constexpr int SIG_MAX_SIGNAL = 31;
