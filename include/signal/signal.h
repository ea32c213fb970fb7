// Public: the process-wide signal library; a backtrace file precedes the application's callback.
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
