// The backtrace dump written before a signal reaches the application.
#include <execinfo.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "signal/signal.h"
#include "signal_internal.h"

namespace {

constexpr int kMaxFrames = 128;
constexpr int kStampSize = 64;

const char *Stamp(char *pcBuf) { return __Con_Time2Str(time(nullptr), pcBuf, kStampSize); }

void DumpFileName(char *pcName, size_t unSize) {
    time_t now = time(nullptr);
    tm stTm{};
    localtime_r(&now, &stTm);
    const char *pcProc = Sig_ProcName();
    if (pcProc[0] != '\0')
        snprintf(pcName, unSize, "%s/down_%04d%02d%02d_%02d%02d%02d_%s_%d.log", SIG_DUMP_DIR,
                 stTm.tm_year + 1900, stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour, stTm.tm_min,
                 stTm.tm_sec, pcProc, static_cast<int>(getpid()));
    else
        snprintf(pcName, unSize, "%s/down_%04d%02d%02d_%02d%02d%02d_%d.log", SIG_DUMP_DIR,
                 stTm.tm_year + 1900, stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour, stTm.tm_min,
                 stTm.tm_sec, static_cast<int>(getpid()));
}

}  // namespace

char *__Con_Time2Str(time_t tTime, char *pcBuf, const int nMaxBufLen) {
    if (pcBuf == nullptr) return nullptr;
    if (tTime == 0) {
        pcBuf[0] = pcBuf[1] = pcBuf[2] = ' ';
        pcBuf[3] = '-';
        pcBuf[4] = '\0';
        return pcBuf;
    }
    tm stTm{};
    localtime_r(&tTime, &stTm);
    snprintf(pcBuf, nMaxBufLen, "%04d-%02d-%02d %02d:%02d:%02d", stTm.tm_year + 1900,
             stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour, stTm.tm_min, stTm.tm_sec);
    return pcBuf;
}

void __Dump_Back_Trace(int nSignal) {
    if (nSignal == 15) return;  // a termination request leaves no dump
    char szName[1024];
    DumpFileName(szName, sizeof(szName));
    FILE *pFile = fopen(szName, "a+");
    if (pFile == nullptr) return;

    char szStamp[kStampSize];
    fprintf(stderr, "%s Error : signal %d\n", Stamp(szStamp), nSignal);
    fprintf(pFile, "%s Error : signal %d\n", Stamp(szStamp), nSignal);

    void *frames[kMaxFrames];
    int nFrames = backtrace(frames, kMaxFrames);
    char **ppszSymbols = backtrace_symbols(frames, nFrames);
    if (ppszSymbols != nullptr) {
        for (int i = 0; i < nFrames; ++i)
            fprintf(pFile, "%s [%d]%s\n", Stamp(szStamp), i, ppszSymbols[i]);
        free(ppszSymbols);
    } else {
        fputs("Stack is NULL\n", pFile);
    }
    fclose(pFile);
}
