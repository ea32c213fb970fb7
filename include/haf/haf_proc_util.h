// Public: small services of the HA client library.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// The caller passes a zeroed buffer of 1024 (stStrList16) or 2048 (stStrList64) bytes; sV_Str holds
// each item's offset from cP.
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

template <class List>
inline const char *StrListItem(const List *pstList, int i) {
    return pstList->cP + pstList->sV_Str[i];
}

// src is left unchanged when it cannot be expanded.
char *chgenv(char *src, int nLen);
int makefulldir(const char *path, unsigned int mode);
// The shared HA runtime folders get the root's group, set-group-ID and sticky bits and nothing for
// others (03770), so no member can move another's socket or key file. Folders outside get 0755.
int makeRuntimeDirs_Haf(const char *path);
// World-writable HA runtime folders (a master of another release may leave them): any of them
// could take over the HA link.
std::vector<std::string> exposedRuntimeDirs_Haf();
char *haf_dirname(char *path);
char *haf_basename(char *path);
int __Get_PathStat(const char *pcPath, struct stat *pstStat);
int fopen_s(FILE **ppFile, const char *pcName, const char *pcMode);

// At most nMaxCnt items, the last one holding the rest of the text.
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
time_t getClockTime();
// Shortest of "123", "120k", "117m", ... that has at most len characters.
char *getByteString(unsigned long val, int len, char *buf, int nLen);

int haf_Hostname2IP(const char *in_hostname, char *ip, int nLen);
// IPv4 "a.b.c.d[/prefix]" (24 when none); the number of host addresses, or -1.
int makeIPAddrInfo(char *cIP, char *cNetMask, char *cBroadcast, char *cNetwork, int nLen);
int getNetmask(const char *cNetmask);

// Shared buffer.
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
