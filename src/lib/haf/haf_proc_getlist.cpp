// Process facts from /proc.
#include "haf/haf_proc_getlist.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/string.h"
#include "haf/haf_proc_util.h"

namespace {

constexpr int kLineMax = 2048;           // bytes read of a stat or cmdline file
constexpr int kTicksPerSecond = 100;
constexpr int kListStep = 100;           // records added to a list at a time
constexpr int kNameLookupMax = 300;      // entries getProcNameProcStat looks at
constexpr int kStatRestItems = 42;       // fields 3 to 43 and the rest

// The first line of a file (at most kLineMax - 1 characters); false when unreadable or empty.
bool readFirstLine(const char *pszPath, char *pszLine) {
    FILE *pFile = fopen(pszPath, "r");
    if (pFile == nullptr) return false;
    bool bRead = fgets(pszLine, kLineMax, pFile) != nullptr && pszLine[0] != '\0';
    fclose(pFile);
    return bRead;
}

uint64_t toU64(const char *pszField) { return strtoull(pszField, nullptr, 10); }

int fillUserName(const char *pszStatPath, PROC_PID_STAT_TAB *pstTab) {
    struct stat stStat;
    if (stat(pszStatPath, &stStat) != 0) {
        perror("stat");
        return -1;
    }
    long lSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> work(lSize > 0 ? static_cast<size_t>(lSize) : 16384);
    passwd stPw;
    passwd *pstResult = nullptr;
    int nErr = getpwuid_r(stStat.st_uid, &stPw, work.data(), work.size(), &pstResult);
    if (pstResult == nullptr) {
        errno = nErr != 0 ? nErr : ENOENT;
        perror("getpwuid_r");
        return 0;
    }
    StrCpy(pstTab->szUsername, stPw.pw_name, sizeof(pstTab->szUsername));
    return 0;
}

}  // namespace

long uptime() {
    char szLine[kLineMax];
    if (!readFirstLine("/proc/uptime", szLine)) return 0;
    return static_cast<long>(strtod(szLine, nullptr));
}

int getCputime(uint64_t utime, uint64_t stime, uint64_t starttime, long seconds) {
    long lElapsed = seconds - static_cast<long>(starttime / static_cast<double>(kTicksPerSecond));
    if (lElapsed == 0) return 0;
    long lUsage = static_cast<long>((utime + stime) * 1000 / static_cast<double>(kTicksPerSecond));
    return static_cast<int>(lUsage / lElapsed);
}

int getFileProcPidCmdLine(int pid, PROC_PID_STAT_TAB *pstTab) {
    if (pstTab == nullptr) return -1;
    char szPath[64];
    snprintf(szPath, sizeof(szPath), "/proc/%d/cmdline", pid);
    struct stat stStat;
    if (stat(szPath, &stStat) != 0 || !S_ISREG(stStat.st_mode)) return -1;
    FILE *pFile = fopen(szPath, "r");
    if (pFile == nullptr) return -1;
    char szLine[kLineMax];
    size_t nRead = fread(szLine, 1, sizeof(szLine) - 1, pFile);
    fclose(pFile);
    for (size_t i = 0; i < nRead; ++i) {
        if (szLine[i] == '\0') szLine[i] = ' ';
    }
    szLine[nRead] = '\0';
    trimAll(szLine, " ");
    if (szLine[0] == '\0') return -1;

    char *pcArgs = strchr(szLine, ' ');
    if (pcArgs != nullptr) *pcArgs++ = '\0';
    char *pcSlash = strrchr(szLine, '/');
    if (pcSlash != nullptr) {
        *pcSlash = '\0';
        StrCpy(pstTab->szPath, szLine, sizeof(pstTab->szPath));
        StrCpy(pstTab->szCmdLine, pcSlash + 1, sizeof(pstTab->szCmdLine));
    } else {
        pstTab->szPath[0] = '\0';
        StrCpy(pstTab->szCmdLine, szLine, sizeof(pstTab->szCmdLine));
    }
    if (pcArgs != nullptr && *pcArgs != '\0') {
        StrCat(pstTab->szCmdLine, " ", sizeof(pstTab->szCmdLine));
        StrCat(pstTab->szCmdLine, pcArgs, sizeof(pstTab->szCmdLine));
    }
    trimAll(pstTab->szPath, " ");
    trimAll(pstTab->szCmdLine, " ");
    return 0;
}

int getFileProcStat(int pid, PROC_PID_STAT_TAB *pstTab) {
    if (pstTab == nullptr) return -1;
    char szPath[64];
    snprintf(szPath, sizeof(szPath), "/proc/%d/stat", pid);
    char szLine[kLineMax];
    if (!readFirstLine(szPath, szLine)) return -1;

    // The command name may hold blanks and parentheses: it ends at the last ')'.
    char *pcOpen = strchr(szLine, '(');
    char *pcClose = strrchr(szLine, ')');
    if (pcOpen == nullptr || pcClose == nullptr || pcClose < pcOpen || pcClose[1] != ' ') return -1;
    *pcClose = '\0';
    alignas(stStrList64) char cList[STRLIST64_BUF_SIZE] = {};
    stStrList64 *pstList = reinterpret_cast<stStrList64 *>(cList);
    if (StringTok64(pcClose + 2, kStatRestItems, pstList, " ") != kStatRestItems) return -1;
    auto field = [pstList](int nField) { return StrListItem(pstList, nField - 3); };

    pstTab->nPid = atoi(szLine);
    StrCpy(pstTab->szCommand, pcOpen + 1, sizeof(pstTab->szCommand));
    pstTab->nPPid = atoi(field(4));
    pstTab->utime = toU64(field(14));
    pstTab->stime = toU64(field(15));
    pstTab->priority = static_cast<uint32_t>(strtoul(field(18), nullptr, 10));
    pstTab->nice = static_cast<uint32_t>(strtoul(field(19), nullptr, 10));
    pstTab->starttime = toU64(field(22));
    pstTab->vsize = toU64(field(23));
    pstTab->nCputime = getCputime(pstTab->utime, pstTab->stime, pstTab->starttime, uptime());
    pstTab->szUsername[0] = '\0';
    return fillUserName(szPath, pstTab);
}

int getDirProcStat(int pid, PROC_PID_STAT_TAB *pstTab) {
    int nCmdLine = getFileProcPidCmdLine(pid, pstTab);
    int nStat = getFileProcStat(pid, pstTab);
    return nCmdLine == 0 && nStat == 0 ? 0 : -1;
}

int getProcPIDProcStat(int pid, PROC_PID_STAT_TAB *pstTab) {
    if (pid <= 0) return -1;
    return getDirProcStat(pid, pstTab) == 0 ? pid : -1;
}

int getProcNameProcStat(const char *Command, const char *args, PROC_PID_STAT_TAB *pstOut, int nLen,
                        PROC_PID_STAT_TAB **ppstList) {
    if (ppstList == nullptr || *ppstList == nullptr || Command == nullptr || args == nullptr)
        return -1;
    if (nLen > kNameLookupMax) nLen = kNameLookupMax;
    const PROC_PID_STAT_TAB *pstList = *ppstList;
    for (int i = 0; i < nLen; ++i) {
        const PROC_PID_STAT_TAB &stEntry = pstList[i];
        if (strcmp(stEntry.szCommand, Command) != 0) continue;
        bool bMatch = strcmp(stEntry.szCmdLine, args) == 0;
        if (!bMatch && stEntry.szPath[0] != '\0') {
            char szFull[sizeof(stEntry.szPath) + sizeof(stEntry.szCmdLine) + 1];
            snprintf(szFull, sizeof(szFull), "%s/%s", stEntry.szPath, stEntry.szCmdLine);
            bMatch = strcmp(szFull, args) == 0;
        }
        if (bMatch) {
            if (pstOut != nullptr) *pstOut = stEntry;
            return 0;
        }
    }
    return -1;
}

int getDirProcStatList(PROC_PID_STAT_TAB **ppstOut) {
    if (ppstOut == nullptr) return -1;
    int nRoom = kListStep;
    auto *pstList = static_cast<PROC_PID_STAT_TAB *>(malloc(sizeof(PROC_PID_STAT_TAB) * nRoom));
    *ppstOut = nullptr;
    if (pstList == nullptr) return -1;
    DIR *pDir = opendir("/proc");
    if (pDir == nullptr) {
        free(pstList);
        return -1;
    }
    int nCount = 0;
    while (dirent *pstEntry = readdir(pDir)) {
        const char *pszName = pstEntry->d_name;
        if (pszName[strspn(pszName, "0123456789")] != '\0') continue;  // not a process
        PROC_PID_STAT_TAB stTab;
        memset(&stTab, 0, sizeof(stTab));
        int nPid = atoi(pszName);
        if (getDirProcStat(nPid, &stTab) != 0 || stTab.nPid != nPid) continue;
        if (nCount == nRoom) {
            nRoom += kListStep;
            void *pvGrown = realloc(pstList, sizeof(PROC_PID_STAT_TAB) * nRoom);
            if (pvGrown == nullptr) {
                free(pstList);
                closedir(pDir);
                return -1;
            }
            pstList = static_cast<PROC_PID_STAT_TAB *>(pvGrown);
        }
        pstList[nCount++] = stTab;
    }
    closedir(pDir);
    *ppstOut = pstList;
    return nCount;
}
