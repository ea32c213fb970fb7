// Stack dumps of a hung process: a forked child runs pstack on the process
// and copies the listing, between a header and a trailer, into a file under
// ${LOG_PATH}/core (or /tmp).
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <stdio_ext.h>
#include <cstring>
#include <ctime>
#include <memory>

#include "base/error.h"
#include "base/string.h"
#include "base/util.h"
#include "haf/haf_appLib.h"
#include "haf/haf_proc_getlist.h"
#include "haf/haf_proc_util.h"
#include "haf_lib_state.h"
#include "log/log.h"

namespace {

constexpr int kPathLen = 128;
constexpr int kWordLen = 128;
constexpr int kPipeLineLen = 512;
// A child that cannot finish (a lock another thread held at the fork, a
// pstack that never ends) must not hold the checker for ever.
constexpr unsigned int kChildLimitSec = 120;
constexpr const char *kEqualsLine = "=======================================\n";
constexpr const char *kSeparators = " \t\n\r\f\v";

struct FileCloser {
    void operator()(FILE *pFile) const { fclose(pFile); }
};
struct PipeCloser {
    void operator()(FILE *pPipe) const { pclose(pPipe); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;
using PipePtr = std::unique_ptr<FILE, PipeCloser>;

// Program name (first word of the command line) of process nPid.
bool programName(int nPid, char *pszOut, size_t unLen) {
    PROC_PID_STAT_TAB stTab;
    memset(&stTab, 0, sizeof(stTab));
    if (getFileProcPidCmdLine(nPid, &stTab) != 0) return false;
    const char *pcStart = stTab.szCmdLine + strspn(stTab.szCmdLine, kSeparators);
    size_t unWord = strcspn(pcStart, kSeparators);
    if (unWord == 0) return false;
    StrNCpy(pszOut, pcStart, unWord, unLen);
    return true;
}

bool hostName(char *pszOut, size_t unLen) {
    pszOut[0] = '\0';
    if (g_nInitHafLib.load() == 1) StrCpy(pszOut, HALibGetNodeName(), unLen);
    if (pszOut[0] != '\0') return true;
    if (gethostname(pszOut, unLen) != 0) return false;
    pszOut[unLen - 1] = '\0';
    return true;
}

void expandShown(char *pszPath, int nLen) {
    printf("LOG_PATH [%s] \n", pszPath);
    chgenv(pszPath, nLen);
    printf("LOG_PATH [%s] \n", pszPath);
}

// The dump file's path within kPathLen bytes (longer names are cut).
void formatDumpPath(char *pszPath, const char *pszDir, const char *pszHost,
                    const char *pszProgram, int nPid, unsigned int unThrId) {
    char szFull[kPathLen * 4];
    snprintf(szFull, sizeof(szFull), "%spstack_%s_%s_%d_%d", pszDir, pszHost, pszProgram, nPid,
             static_cast<int>(unThrId));
    StrCpy(pszPath, szFull, kPathLen);
}

void dumpPath(char *pszPath, const char *pszHost, const char *pszProgram, int nPid,
              unsigned int unThrId) {
    formatDumpPath(pszPath, "${LOG_PATH}/core/", pszHost, pszProgram, nPid, unThrId);
    expandShown(pszPath, kPathLen);
    if (strncmp(pszPath, "/core", 5) != 0) return;
    formatDumpPath(pszPath, "/tmp/", pszHost, pszProgram, nPid, unThrId);
    expandShown(pszPath, kPathLen);
}

void writeTime(FILE *pFile) {
    char szTime[128];
    time_t tNow = time(nullptr);
    struct tm stTm;
    localtime_r(&tNow, &stTm);
    strftime(szTime, sizeof(szTime), "%a %b %d %H:%M:%S %Z %Y", &stTm);
    fprintf(pFile, "%s\n", szTime);
}

void copyPstack(FILE *pFile, int nPid) {
    char szCmd[64];
    snprintf(szCmd, sizeof(szCmd), "pstack %d", nPid);
    PipePtr pPipe(popen(szCmd, "r"));
    if (!pPipe) {
        printf("[PSTACK] CMD open fail [%s]\n", szCmd);
        return;
    }
    char szLine[kPipeLineLen];
    while (fgets(szLine, sizeof(szLine), pPipe.get()) != nullptr) fputs(szLine, pFile);
}

// Forks a child that writes the dump of nPid; the child's wait status, or -1
// when there is no child.
int runDumpChild(unsigned int unThrId, int nPid) {
    // Flushed only when no stuck thread holds standard output: the hang being
    // reported may be exactly that.
    FlushStdoutIfFree();
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        __fpurge(stdout);  // the parent's buffered output is not the child's
        // The parent's handlers (and the signal library's pipe to its
        // dispatcher) must not act on signals sent to the child.
        for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        alarm(kChildLimitSec);
        printBacktrace(unThrId, nPid);
        fflush(stdout);
        _exit(1);  // no exit handlers: they belong to the parent
    }
    int nStatus = 0;
    while (waitpid(child, &nStatus, 0) < 0) {
        // With SIGCHLD ignored the system reaps the child itself: it ended.
        if (errno == ECHILD) return 0;
        if (errno != EINTR) return -1;
    }
    return nStatus;
}

}  // namespace

int printHangThread(unsigned int unThrId) {
    if (g_nInitHafLib.load() != 1) return 0;
    int nStatus = runDumpChild(unThrId, static_cast<int>(getpid()));
    if (nStatus < 0) return -1;
    if ((nStatus & 0xff) != 0)
        Log(LOG_1, "[%s]pstack End [%u] fail [%d] \n", logHafLibTitle, unThrId, nStatus);
    else
        Log(LOG_1, "[%s]pstack End [%u] \n", logHafLibTitle, unThrId);
    return 0;
}

int printHangThreadPID(unsigned int nPID) {
    int nStatus = runDumpChild(0, static_cast<int>(nPID));
    if (nStatus < 0) return -1;
    if ((nStatus & 0xff) != 0)
        printf("pstack End [%u] fail [%d] \n", 0u, nStatus);
    else
        printf("pstack End [%u] \n", 0u);
    return 0;
}

int printBacktrace(unsigned int unThrId, int p_pid) {
    char szProgram[kWordLen];
    if (!programName(p_pid, szProgram, sizeof(szProgram))) return -1;
    char szHost[kWordLen];
    if (!hostName(szHost, sizeof(szHost))) return -1;
    char szPath[kPathLen];
    dumpPath(szPath, szHost, szProgram, p_pid, unThrId);
    if (makefulldir(szPath, 0755) != 0 && errno != EEXIST) {
        int nErr = errno;
        printf("core Dir make Fail[%s] %d:%s (%s:%d)\n", "logName", nErr, StrError(nErr),
               "printBacktrace", __LINE__);
        return -1;
    }
    FilePtr pFile(fopen(szPath, "w"));
    if (!pFile) return -1;
    fputs("======= ZAV PSTACK DUMP SERVICE =======\n", pFile.get());
    writeTime(pFile.get());
    fprintf(pFile.get(), "TARGET NAME is %s Thread %d\n", szProgram, static_cast<int>(unThrId));
    fputs(kEqualsLine, pFile.get());
    copyPstack(pFile.get(), p_pid);
    fputs(kEqualsLine, pFile.get());
    writeTime(pFile.get());
    fputs(kEqualsLine, pFile.get());
    return 0;
}
