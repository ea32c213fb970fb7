// Public: small services of the HA client library: path expansion, directory chains, tokens, trims,
// time and byte-count texts, addresses, program name, pid file, node types.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// Token lists: the caller passes a zeroed buffer of 1024 (stStrList16) or 2048 (stStrList64) bytes;
// items are stored terminated one after another from cP on, sV_Str holding each one's offset.
typedef struct stStrList16 {
    int32_t nNumOfStr;
    int16_t sV_Str[16];
    char cP[1];  // the text area continues into the caller's buffer
} _STRLIST_16;
typedef struct stStrList64 {
    int32_t nNumOfStr;
    int16_t sV_Str[64];
    char cP[1];
} _STRLIST_64;
constexpr int STRLIST16_BUF_SIZE = 1024;
constexpr int STRLIST64_BUF_SIZE = 2048;

// Item i of a stStrList16 or stStrList64.
template <class List>
inline const char *StrListItem(const List *pstList, int i) {
    return pstList->cP + pstList->sV_Str[i];
}

// Expands environment references (and other shell words) in src in place, within nLen bytes; src is
// left unchanged when it cannot be expanded.
char *chgenv(char *src, int nLen);
// Creates every missing directory above the last component of path.
int makefulldir(const char *path, unsigned int mode);
// As makefulldir for the host's HA runtime files: the folders below the runtime root are shared by
// the HA processes, so they get the root's group, the set-group-ID bit (what is made in them keeps
// it), the sticky bit (a member cannot move another's socket or key file) and nothing for others:
// mode 03770. Folders above or outside it get 0755.
int makeRuntimeDirs_Haf(const char *path);
// The HA runtime folders that exist and that every local user may write (as a master of another
// release may leave them): any of them could take over the HA link.
std::vector<std::string> exposedRuntimeDirs_Haf();
char *haf_dirname(char *path);
char *haf_basename(char *path);
int __Get_PathStat(const char *pcPath, struct stat *pstStat);
int fopen_s(FILE **ppFile, const char *pcName, const char *pcMode);

// Splits src at any character of sep1 into at most nMaxCnt items, the last one holding the rest of
// the text. Returns the number of items.
int StringTok(const char *src, int nMaxCnt, stStrList16 *pstList, const char *sep1);
int StringTok64(const char *src, int nMaxCnt, stStrList64 *pstList, const char *sep1);

char *rtrim(char *s, const char *chs);
char *ltrim(char *s, const char *chs);
char *trimAll(char *s, const char *chs);
int IsDigit(const char *s);

// "[hh:mm:ss.uuuuuu]" of the local time.
char *currentTime(char *szMsg, int nLen);
// "%Y/%m/%d - %H:%M:%S" (msg of at least 80 bytes), or a given format.
char *Str_Time(const time_t *ptTime, char *msg);
char *Str_Time(const time_t *ptTime, const char *pszFormat, char *msg, int nLen);
// Seconds of the monotonic clock.
time_t getClockTime();
// Shortest of "123", "120k", "117m", ... that has at most len characters.
char *getByteString(unsigned long val, int len, char *buf, int nLen);

int haf_Hostname2IP(const char *in_hostname, char *ip, int nLen);
// IPv4 "a.b.c.d[/prefix]" (24 when no prefix) into address, mask, broadcast and network texts (nLen
// bytes each); the number of host addresses, or -1.
int makeIPAddrInfo(char *cIP, char *cNetMask, char *cBroadcast, char *cNetwork, int nLen);
int getNetmask(const char *cNetmask);

// The program's path (shared buffer).
const char *getMyName();
void writePID(const char *szName);
// "<base>/<pszCfgName>" with the first usable of WORKHOME, PKG_ROOT, HOME.
char *GetEnvPathHaf(char *pszPath, const char *pszCfgName);
const char *GetHafNodeType(const char *pszNodeName);
int isEMSType(const char *pszType);
int isMGWType(const char *pszType);

int chkLogLevelHaf(unsigned int unLevel);
void setLogLvHaf(int nLevel);
int HoldAllSignals();
int ReleaseAllSignals();

// Level word of the library's own diagnostics (initially 4), and the pointer chkLogLevelHaf reads.
extern unsigned int _unLogLv;
extern unsigned int *_pnLogLevel;
