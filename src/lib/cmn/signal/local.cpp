// The backtrace dump written before a signal reaches the application.
#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "base/util.h"
#include "signal/signal.h"
#include "signal_internal.h"

namespace {

constexpr int kMaxFrames = 128;
constexpr int kStampSize = 64;

constexpr size_t kLineSize = 2048;
// Dumps of one second (or names others took ahead) get ".1.log", ".2.log"...
constexpr int kDumpNameTries = 16;
// A backtrace shows the process's addresses: for its owner only.
constexpr mode_t kDumpMode = 0600;

const char *Stamp(char *pcBuf) { return __Con_Time2Str(time(nullptr), pcBuf, kStampSize); }

// Formats into pcBuf (cut); writes what nFd takes at once: an unread stderr must not stall a fault.
__attribute__((format(printf, 4, 5))) void WriteText(int nFd, char *pcBuf, size_t unSize,
                                                     const char *pcFormat, ...) {
    va_list args;
    va_start(args, pcFormat);
    int nLen = vsnprintf(pcBuf, unSize, pcFormat, args);
    va_end(args);
    if (nLen < 0) return;
    Write_Now(nFd, pcBuf, std::min(static_cast<size_t>(nLen), unSize - 1));
}

void DumpFileStem(char *pcStem, size_t unSize) {
    time_t now = time(nullptr);
    tm stTm{};
    localtime_r(&now, &stTm);
    const char *pcProc = Sig_ProcName();
    if (pcProc[0] != '\0')
        snprintf(pcStem, unSize, "%s/down_%04d%02d%02d_%02d%02d%02d_%s_%d", SIG_DUMP_DIR,
                 stTm.tm_year + 1900, stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour, stTm.tm_min,
                 stTm.tm_sec, pcProc, static_cast<int>(getpid()));
    else
        snprintf(pcStem, unSize, "%s/down_%04d%02d%02d_%02d%02d%02d_%d", SIG_DUMP_DIR,
                 stTm.tm_year + 1900, stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour, stTm.tm_min,
                 stTm.tm_sec, static_cast<int>(getpid()));
}

}  // namespace

char *__Con_Time2Str(time_t tTime, char *pcBuf, const int nMaxBufLen) {
    if (pcBuf == nullptr) return nullptr;
    if (nMaxBufLen <= 0) return pcBuf;
    if (tTime == 0) {
        snprintf(pcBuf, static_cast<size_t>(nMaxBufLen), "   -");
        return pcBuf;
    }
    tm stTm{};
    localtime_r(&tTime, &stTm);
    snprintf(pcBuf, static_cast<size_t>(nMaxBufLen), "%04d-%02d-%02d %02d:%02d:%02d",
             stTm.tm_year + 1900, stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour, stTm.tm_min,
             stTm.tm_sec);
    return pcBuf;
}

void __Dump_Back_Trace(int nSignal) {
    if (nSignal == 15) return;  // a termination request leaves no dump
    char szStem[1024];
    DumpFileStem(szStem, sizeof(szStem));
    // Plain system calls: stdio could wait for ever on another thread's lock. A name in /tmp may be
    // somebody else's: the dump always goes to a new file.
    char szName[sizeof(szStem) + 16];
    int nFd = Create_NewNumberedFile(szName, sizeof(szName), szStem, ".log", kDumpNameTries,
                                     kDumpMode);
    if (nFd < 0) return;

    char szStamp[kStampSize];
    char szLine[kLineSize];
    WriteText(STDERR_FILENO, szLine, sizeof(szLine), "%s Error : signal %d\n", Stamp(szStamp),
              nSignal);
    WriteText(nFd, szLine, sizeof(szLine), "%s Error : signal %d\n", Stamp(szStamp), nSignal);

    // backtrace_symbols_fd writes without allocating, which a fault inside the allocator needs.
    void *frames[kMaxFrames];
    int nFrames = backtrace(frames, kMaxFrames);
    if (nFrames <= 0) WriteText(nFd, szLine, sizeof(szLine), "Stack is NULL\n");
    for (int i = 0; i < nFrames; ++i) {
        WriteText(nFd, szLine, sizeof(szLine), "%s [%d]", Stamp(szStamp), i);
        backtrace_symbols_fd(&frames[i], 1, nFd);
    }
    close(nFd);
}
