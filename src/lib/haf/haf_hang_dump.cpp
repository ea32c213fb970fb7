// Stack dumps of a hung process: a forked child runs pstack into a new file (mode 0600).
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
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

constexpr int kDirLen = 512;
constexpr int kWordLen = 128;
constexpr int kPipeLineLen = 512;
// A child that cannot finish (a lock held at the fork, a pstack that never ends) must not hold the
// checker for ever.
constexpr unsigned int kChildLimitSec = 120;
constexpr const char *kEqualsLine = "=======================================\n";
constexpr const char *kSeparators = " \t\n\r\f\v";
constexpr const char *kUnsafeHost = "unknown-host";
constexpr const char *kUnsafeProgram = "unknown-program";
// A thread found hung again in the same process gets ".1", ".2"... after it.
constexpr int kDumpNameTries = 16;
// The stacks show the process's memory: for its owner only.
constexpr mode_t kDumpMode = 0600;

struct FileCloser {
    void operator()(FILE *pFile) const { fclose(pFile); }
};
struct PipeCloser {
    void operator()(FILE *pPipe) const { pclose(pPipe); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;
using PipePtr = std::unique_ptr<FILE, PipeCloser>;

// Letters, digits, '.', '_' and '-', and no "..": node and program names come from tables and
// command lines that others may write.
bool isSafeName(const char *pszName) {
    if (pszName[0] == '\0' || strstr(pszName, "..") != nullptr) return false;
    for (const char *pc = pszName; *pc != '\0'; ++pc) {
        unsigned char c = static_cast<unsigned char>(*pc);
        if (!isalnum(c) && c != '.' && c != '_' && c != '-') return false;
    }
    return true;
}

bool programName(int nPid, char *pszOut, size_t unLen) {
    PROC_PID_STAT_TAB stTab;
    memset(&stTab, 0, sizeof(stTab));
    if (getFileProcPidCmdLine(nPid, &stTab) != 0) return false;
    const char *pcStart = stTab.szCmdLine + strspn(stTab.szCmdLine, kSeparators);
    size_t unWord = strcspn(pcStart, kSeparators);
    if (unWord == 0) return false;
    StrNCpy(pszOut, pcStart, unWord, unLen);
    if (!isSafeName(pszOut)) StrCpy(pszOut, kUnsafeProgram, unLen);
    return true;
}

// The HA table's node name, else the host name, else a placeholder: the first that is safe.
void hostName(char *pszOut, size_t unLen) {
    pszOut[0] = '\0';
    if (g_nInitHafLib.load() == 1) StrCpy(pszOut, HALibGetNodeName(), unLen);
    if (isSafeName(pszOut)) return;
    if (gethostname(pszOut, unLen) == 0) {
        pszOut[unLen - 1] = '\0';
        if (isSafeName(pszOut)) return;
    }
    StrCpy(pszOut, kUnsafeHost, unLen);
}

void expandShown(char *pszPath, int nLen) {
    printf("LOG_PATH [%s] \n", pszPath);
    chgenv(pszPath, nLen);
    printf("LOG_PATH [%s] \n", pszPath);
}

// "${LOG_PATH}/core/", or "/tmp/" without LOG_PATH. Only this part is expanded.
void dumpDir(char *pszDir, int nLen) {
    StrCpy(pszDir, "${LOG_PATH}/core/", static_cast<size_t>(nLen));
    expandShown(pszDir, nLen);
    size_t unLen = strlen(pszDir);
    // An expansion cut short does not end in the folder's '/'.
    if (strncmp(pszDir, "/core", 5) == 0 || unLen == 0 || pszDir[unLen - 1] != '/')
        StrCpy(pszDir, "/tmp/", static_cast<size_t>(nLen));
}

// Never a file that exists: ".1", ".2"... follow a name that is taken.
FilePtr createDump(const char *pszDir, const char *pszHost, const char *pszProgram, int nPid,
                   unsigned int unThrId) {
    char szStem[kDirLen + 2 * kWordLen + 32];
    snprintf(szStem, sizeof(szStem), "%spstack_%s_%s_%d_%d", pszDir, pszHost, pszProgram, nPid,
             static_cast<int>(unThrId));
    char szPath[sizeof(szStem) + 16];
    int fd = Create_NewNumberedFile(szPath, sizeof(szPath), szStem, "", kDumpNameTries,
                                    kDumpMode);
    if (fd < 0) return nullptr;
    FilePtr pFile(fdopen(fd, "w"));
    if (!pFile) close(fd);
    return pFile;
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

int runDumpChild(unsigned int unThrId, int nPid) {
    // Only where standard output takes it at once: the hung thread may be stuck writing there.
    Flush_StdoutNow();
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        __fpurge(stdout);  // the parent's buffered output is not the child's
        // The parent's handlers (and the signal library's pipe) must not act on the child's signals.
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
    hostName(szHost, sizeof(szHost));
    char szDir[kDirLen];
    dumpDir(szDir, kDirLen);
    if (makefulldir(szDir, 0755) != 0 && errno != EEXIST) {
        int nErr = errno;
        printf("core Dir make Fail[%s] %d:%s (%s:%d)\n", "logName", nErr, StrError(nErr),
               "printBacktrace", __LINE__);
        return -1;
    }
    FilePtr pFile = createDump(szDir, szHost, szProgram, p_pid, unThrId);
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
