// Small services of the HA client library.
#include "file/file.h"
#include "haf/haf_proc_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <strings.h>
#include <sys/time.h>
#include <unistd.h>
#include <wordexp.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "base/error.h"
#include "base/string.h"
#include "base/util.h"

unsigned int _unLogLv = 4;
unsigned int *_pnLogLevel = &_unLogLv;

namespace {

constexpr int kPathCopyMax = 1024;     // makefulldir works on a copy this long
constexpr int kTokSrcMax = 2048;       // StringTok works on a copy this long
constexpr int kTokItemMax = 255;       // longest item of a token list
constexpr int kEnvBufSize = 128;
constexpr int kNameBufSize = 512;

char gszNodeType[kEnvBufSize] = "${NODE_TYPE}";
char gszMyName[kNameBufSize];
char gszEnvPath[kEnvBufSize];

bool isIn(char c, const char *chs) { return c != '\0' && strchr(chs, c) != nullptr; }

// The item offsets go in sV_Str, the texts from cP on, within the caller's nBufSize bytes.
class TokenList {
public:
    template <class List>
    TokenList(List *pstList, int nBufSize)
        : pnCount_(&pstList->nNumOfStr), psOffsets_(pstList->sV_Str),
          nMaxItems_(static_cast<int>(std::size(pstList->sV_Str))),
          pcArea_(reinterpret_cast<char *>(pstList) + offsetof(List, cP)),
          nAreaSize_(nBufSize - static_cast<int>(offsetof(List, cP))) {}

    bool full() const { return *pnCount_ >= nMaxItems_; }

    // At most nLen characters (and 255); false when the list or its text area is full.
    bool append(const char *pcText, size_t nLen) {
        if (full()) return false;
        int nUsed = *pnCount_ == 0 ? 0 : endOfLast();
        if (nLen > static_cast<size_t>(kTokItemMax)) nLen = kTokItemMax;
        if (nUsed + static_cast<int>(nLen) + 1 > nAreaSize_) return false;
        memcpy(pcArea_ + nUsed, pcText, nLen);
        pcArea_[nUsed + static_cast<int>(nLen)] = '\0';
        psOffsets_[*pnCount_] = static_cast<int16_t>(nUsed);
        ++*pnCount_;
        return true;
    }

private:
    int endOfLast() const {
        int nLast = psOffsets_[*pnCount_ - 1];
        return nLast + static_cast<int>(strlen(pcArea_ + nLast)) + 1;
    }

    int32_t *pnCount_;
    int16_t *psOffsets_;
    int nMaxItems_;
    char *pcArea_;
    int nAreaSize_;
};

// Up to nMaxCnt - 1 tokens, then the remainder trimmed of pszRestTrim.
int splitTokens(const char *src, int nMaxCnt, TokenList &list, const char *sep1,
                const char *pszRestTrim) {
    if (src == nullptr || sep1 == nullptr) return 0;
    char szCopy[kTokSrcMax];
    StrCpy(szCopy, src, sizeof(szCopy));
    int nTokens = nMaxCnt - 1 < 1 ? 1 : nMaxCnt - 1;
    int nCount = 0;
    const char *pc = szCopy;
    while (nCount < nTokens && !list.full()) {
        while (isIn(*pc, sep1)) ++pc;
        if (*pc == '\0') break;
        const char *pcStart = pc;
        while (*pc != '\0' && !isIn(*pc, sep1)) ++pc;
        if (!list.append(pcStart, static_cast<size_t>(pc - pcStart))) return nCount;
        ++nCount;
    }
    while (isIn(*pc, pszRestTrim)) ++pc;
    size_t nRest = strlen(pc);
    while (nRest > 0 && isIn(pc[nRest - 1], pszRestTrim)) --nRest;
    if (nRest > 0 && list.append(pc, nRest)) ++nCount;
    return nCount;
}

std::string expandedEnv(const char *pszRef) {
    char szBuf[kEnvBufSize];
    StrCpy(szBuf, pszRef, sizeof(szBuf));
    chgenv(szBuf, sizeof(szBuf));
    return szBuf;
}

struct NodeTypeRow {
    const char *pszPrefix;
    const char *pszType;
};
constexpr NodeTypeRow kNodeTypes[] = {
    {"KEST", "KEST"}, {"SMSC", "SMSC"}, {"SMSG", "SMSC"}, {"OMPS", "OMPS"}, {"EMSS", "EMSS"},
    {"EMSU", "EMSS"}, {"MGWS", "MGWS"}, {"DBMS", "DBMS"}, {"HAFM", "HAFM"}, {"LBSS", "LBSS"},
};
constexpr const char *kEmsTypes[] = {"EMS", "EMSS", "EMSU", "OMP", "OMPS"};
constexpr const char *kMgwTypes[] = {"MGW", "MGWS"};

template <size_t N>
int isOneOf(const char *pszType, const char *const (&ppszList)[N]) {
    if (pszType == nullptr) return 0;
    for (const char *pszName : ppszList) {
        if (strcasecmp(pszType, pszName) == 0) return 1;
    }
    return 0;
}

}  // namespace

char *chgenv(char *src, int nLen) {
    if (src == nullptr || nLen <= 0) return src;
    wordexp_t stWords;
    // Command substitution is refused: a path must never run a command.
    if (wordexp(src, &stWords, WRDE_NOCMD) != 0) return src;
    std::string result;
    for (size_t i = 0; i < stWords.we_wordc; ++i) {
        if (i > 0) result += ' ';
        result += stWords.we_wordv[i];
    }
    wordfree(&stWords);
    StrCpy(src, result.c_str(), static_cast<size_t>(nLen));
    return src;
}

char *haf_dirname(char *path) {
    if (path == nullptr) return path;
    char *pcSlash = strrchr(path, '/');
    if (pcSlash == nullptr) {
        strcpy(path, ".");  // an empty path must come with two bytes of room
    } else if (pcSlash == path) {
        path[1] = '\0';
    } else {
        *pcSlash = '\0';
    }
    return path;
}

char *haf_basename(char *path) {
    if (path == nullptr) return path;
    char *pcSlash = strrchr(path, '/');
    return pcSlash == nullptr ? path : pcSlash + 1;
}

int makefulldir(const char *path, unsigned int mode) {
    if (path == nullptr) return -1;
    std::string dir = std::string(path).substr(0, kPathCopyMax - 1);
    return Make_ParentDirectories(dir.c_str(), mode, true);
}

namespace {

constexpr mode_t kRuntimeDirMode = 03770;
constexpr mode_t kPlainDirMode = 0755;

// The part of path below the runtime root ("haf/sock/1234"); empty when path is not below it.
std::string belowRuntimeRoot(const std::string &path) {
    std::string root = Get_OrvoTmpRoot();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 ||
        path[root.size()] != '/')
        return "";
    return path.substr(root.size() + 1);
}

// Mode and group are set through a descriptor of the folder just made, never through a swappable
// name.
int makeRuntimeDir(const std::string &dir, gid_t nGid) {
    if (mkdir(dir.c_str(), 0700) != 0) return errno == EEXIST ? 0 : -1;
    int nFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (nFd < 0) return -1;
    if (fchown(nFd, static_cast<uid_t>(-1), nGid) != 0) {
        // Not a member of the root's group: the folder keeps the creator's.
    }
    int nRet = fchmod(nFd, kRuntimeDirMode);
    close(nFd);
    return nRet;
}

}  // namespace

int makeRuntimeDirs_Haf(const char *path) {
    if (path == nullptr) return -1;
    std::string rel = belowRuntimeRoot(path);
    size_t unLastSlash = rel.rfind('/');
    if (rel.empty() || unLastSlash == std::string::npos)
        return makefulldir(path, kPlainDirMode);
    std::string root = std::string(path).substr(0, strlen(path) - rel.size() - 1);
    if (makefulldir((root + "/").c_str(), kPlainDirMode) != 0) return -1;
    struct stat stRoot;
    if (stat(root.c_str(), &stRoot) != 0) return -1;
    for (size_t unSlash = rel.find('/'); unSlash != std::string::npos && unSlash <= unLastSlash;
         unSlash = rel.find('/', unSlash + 1)) {
        if (makeRuntimeDir(root + "/" + rel.substr(0, unSlash), stRoot.st_gid) != 0) return -1;
    }
    return 0;
}

std::vector<std::string> exposedRuntimeDirs_Haf() {
    std::string root = Get_OrvoTmpRoot();
    std::vector<std::string> exposed;
    for (const std::string &dir : {root, root + "/haf", root + "/haf/sock", root + "/haf/shm"}) {
        struct stat st;
        if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_IWOTH) != 0)
            exposed.push_back(dir);
    }
    return exposed;
}

int __Get_PathStat(const char *pcPath, struct stat *pstStat) {
    return __Get_Stat(pcPath, pstStat);
}

int fopen_s(FILE **ppFile, const char *pcName, const char *pcMode) {
    if (ppFile == nullptr || pcName == nullptr || pcMode == nullptr) return EINVAL;
    *ppFile = fopen(pcName, pcMode);
    return *ppFile == nullptr ? errno : 0;
}

int StringTok(const char *src, int nMaxCnt, stStrList16 *pstList, const char *sep1) {
    if (pstList == nullptr) return 0;
    TokenList list(pstList, STRLIST16_BUF_SIZE);
    splitTokens(src, nMaxCnt, list, sep1, sep1);
    return pstList->nNumOfStr;
}

int StringTok64(const char *src, int nMaxCnt, stStrList64 *pstList, const char *sep1) {
    if (pstList == nullptr) return 0;
    TokenList list(pstList, STRLIST64_BUF_SIZE);
    splitTokens(src, nMaxCnt, list, sep1, " \t\n");
    return pstList->nNumOfStr;
}

char *rtrim(char *s, const char *chs) {
    if (s == nullptr || chs == nullptr) return s;
    size_t nLen = strlen(s);
    while (nLen > 0 && isIn(s[nLen - 1], chs)) s[--nLen] = '\0';
    return s;
}

char *ltrim(char *s, const char *chs) { return ltrimK(s, chs); }

char *trimAll(char *s, const char *chs) { return ltrim(rtrim(s, chs), chs); }

int IsDigit(const char *s) {
    if (s == nullptr) return 0;
    for (int i = 0; i < 64 && s[i] != '\0'; ++i) {
        if (!isdigit(static_cast<unsigned char>(s[i]))) return 0;
    }
    return 1;
}

char *currentTime(char *szMsg, int nLen) {
    if (szMsg == nullptr || nLen <= 0) return szMsg;
    timeval stNow;
    gettimeofday(&stNow, nullptr);
    tm stTm;
    localtime_r(&stNow.tv_sec, &stTm);
    snprintf(szMsg, static_cast<size_t>(nLen), "[%02d:%02d:%02d.%06ld]", stTm.tm_hour, stTm.tm_min,
             stTm.tm_sec, static_cast<long>(stNow.tv_usec));
    return szMsg;
}

char *Str_Time(const time_t *ptTime, char *msg) {
    return Str_Time(ptTime, "%Y/%m/%d - %H:%M:%S", msg, 80);
}

char *Str_Time(const time_t *ptTime, const char *pszFormat, char *msg, int nLen) {
    if (ptTime == nullptr || pszFormat == nullptr || msg == nullptr || nLen <= 0) return msg;
    tm stTm;
    localtime_r(ptTime, &stTm);
    if (strftime(msg, static_cast<size_t>(nLen), pszFormat, &stTm) == 0) msg[0] = '\0';
    return msg;
}

time_t getClockTime() {
    timespec stNow;
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return stNow.tv_sec;
}

char *getByteString(unsigned long val, int len, char *buf, int nLen) {
    if (buf == nullptr || nLen <= 0) return buf;
    static const char *const kUnits[] = {"", "k", "m", "g", "t"};
    unsigned long ulDivisor = 1;
    for (const char *pszUnit : kUnits) {
        int nWritten = snprintf(buf, static_cast<size_t>(nLen), "%lu%s", val / ulDivisor, pszUnit);
        if (nWritten <= len) break;
        ulDivisor *= 1024;
    }
    return buf;
}

int haf_Hostname2IP(const char *in_hostname, char *ip, int nLen) {
    if (in_hostname == nullptr || ip == nullptr || nLen <= 0) return -1;
    addrinfo stHints;
    memset(&stHints, 0, sizeof(stHints));
    stHints.ai_family = AF_UNSPEC;
    stHints.ai_socktype = SOCK_STREAM;
    stHints.ai_flags = AI_CANONNAME;
    addrinfo *pstList = nullptr;
    if (getaddrinfo(in_hostname, nullptr, &stHints, &pstList) != 0) return -1;
    char szHost[NI_MAXHOST];
    if (getnameinfo(pstList->ai_addr, pstList->ai_addrlen, szHost, sizeof(szHost), nullptr, 0,
                    NI_NUMERICHOST) != 0) {
        freeaddrinfo(pstList);
        return -1;
    }
    for (addrinfo *pst = pstList; pst != nullptr; pst = pst->ai_next) {
        char szAddr[INET6_ADDRSTRLEN] = "";
        if (pst->ai_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(pst->ai_addr)->sin_addr, szAddr,
                      sizeof(szAddr));
        } else if (pst->ai_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(pst->ai_addr)->sin6_addr, szAddr,
                      sizeof(szAddr));
        }
        if (szAddr[0] != '\0') {
            StrCpy(ip, szAddr, static_cast<size_t>(nLen));
            break;
        }
    }
    freeaddrinfo(pstList);
    return 0;
}

int makeIPAddrInfo(char *cIP, char *cNetMask, char *cBroadcast, char *cNetwork, int nLen) {
    if (cIP == nullptr || cNetMask == nullptr || cBroadcast == nullptr || cNetwork == nullptr)
        return -1;
    int nPrefix = 24;
    char *pcSlash = strchr(cIP, '/');
    if (pcSlash != nullptr) {
        *pcSlash = '\0';
        if (isdigit(static_cast<unsigned char>(pcSlash[1]))) {
            nPrefix = atoi(pcSlash + 1);
            printf("ip(%s) num(%d)\n", cIP, nPrefix);
        }
    }
    if (nPrefix < 1 || nPrefix > 30) return -1;
    in_addr stAddr;
    if (inet_pton(AF_INET, cIP, &stAddr) != 1) return -1;
    uint32_t unAddr = ntohl(stAddr.s_addr);
    uint32_t unMask = ~uint32_t{0} << (32 - nPrefix);
    uint32_t unNetwork = unAddr & unMask;
    uint32_t unBroadcast = unNetwork | ~unMask;
    IPv4ToStr(htonl(unAddr), cIP, nLen);
    IPv4ToStr(htonl(unMask), cNetMask, nLen);
    IPv4ToStr(htonl(unBroadcast), cBroadcast, nLen);
    IPv4ToStr(htonl(unNetwork), cNetwork, nLen);
    return static_cast<int>(unBroadcast - unNetwork - 1);
}

int getNetmask(const char *cNetmask) {
    in_addr stAddr;
    if (cNetmask == nullptr || inet_pton(AF_INET, cNetmask, &stAddr) != 1) return -1;
    uint32_t unMask = ntohl(stAddr.s_addr);
    int nBits = 0;
    while (nBits < 32 && (unMask & (0x80000000u >> nBits)) != 0) ++nBits;
    return nBits;
}

const char *getMyName() {
    char szComm[kNameBufSize] = "";
    FILE *pFile = fopen("/proc/self/stat", "r");
    if (pFile == nullptr) {
        gszMyName[0] = '\0';
        return gszMyName;
    }
    int nPid = 0;
    if (fscanf(pFile, "%d (%511s", &nPid, szComm) != 2) szComm[0] = '\0';
    fclose(pFile);
    size_t nLen = strlen(szComm);
    if (nLen > 0) szComm[nLen - 1] = '\0';  // the closing parenthesis
    if (strchr(szComm, '/') != nullptr) {
        StrCpy(gszMyName, szComm, sizeof(gszMyName));
    } else {
        std::string path = std::string("${PKG_ROOT}/bin/") + szComm;
        StrCpy(gszMyName, path.c_str(), sizeof(gszMyName));
        chgenv(gszMyName, sizeof(gszMyName));
    }
    return gszMyName;
}

void writePID(const char *szName) {
    if (szName == nullptr) return;
    char szPath[kNameBufSize];
    snprintf(szPath, sizeof(szPath), "${PKG_ROOT}/key/%s.pid", szName);
    chgenv(szPath, sizeof(szPath));
    FILE *pFile = fopen(szPath, "w");
    if (pFile == nullptr) return;
    fprintf(pFile, "%u\n", static_cast<unsigned int>(getpid()));
    fclose(pFile);
}

char *GetEnvPathHaf(char *pszPath, const char *pszCfgName) {
    std::string base;
    for (const char *pszRef : {"${WORKHOME}", "${PKG_ROOT}", "${HOME}"}) {
        std::string expanded = expandedEnv(pszRef);
        if (!expanded.empty() && expanded[0] != '$') {
            base = expanded;
            break;
        }
    }
    char *pszOut = pszPath != nullptr ? pszPath : gszEnvPath;
    snprintf(pszOut, kEnvBufSize, "%s/%s", base.c_str(), pszCfgName != nullptr ? pszCfgName : "");
    return pszOut;
}

const char *GetHafNodeType(const char *pszNodeName) {
    if (pszNodeName != nullptr && strlen(pszNodeName) >= 4) {
        for (const NodeTypeRow &stRow : kNodeTypes) {
            if (strncasecmp(pszNodeName, stRow.pszPrefix, 4) == 0) return stRow.pszType;
        }
    }
    if (gszNodeType[0] == '\0' || gszNodeType[0] == '$') {
        StrCpy(gszNodeType, "${NODE_TYPE}", sizeof(gszNodeType));
        chgenv(gszNodeType, sizeof(gszNodeType));
    }
    return gszNodeType;
}

int isEMSType(const char *pszType) { return isOneOf(pszType, kEmsTypes); }
int isMGWType(const char *pszType) { return isOneOf(pszType, kMgwTypes); }

int chkLogLevelHaf(unsigned int unLevel) { return (*_pnLogLevel & unLevel) != 0 ? 0 : -1; }
void setLogLvHaf(int nLevel) { _unLogLv = static_cast<unsigned int>(nLevel); }
int HoldAllSignals() { return 0; }
int ReleaseAllSignals() { return 0; }
