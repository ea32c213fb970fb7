// Public: process lock, sleeps, number parsing, small texts, output on the way out, new files.
#pragma once

#include <sys/types.h>

int Lock_Process(const char *pcFilePath);
int UnLock_Process();

int Sleep(int nSec);
int Sleep_m(int nMsec);
int Sleep_u(long lUsec);

int Atoi(const char *pcSrc);
unsigned int Atoui(const char *pcSrc);
int StrToi(const char *pcData, int nBase);
long StrTol(const char *pcData, int nBase);
float StrTof(const char *pcData);
double StrTod(const char *pcData);

unsigned int Get_ThrId();
u_int ChkRunTime();

enum __enMessageType { MSG_TYPE_REQ = 1, MSG_TYPE_RSP = 2, MSG_TYPE_RPT = 3 };
enum __enHuntingMethod {
    HUNT_DISABLE = 0,
    HUNT_STATIC = 1,
    HUNT_ASCEND_RR = 2,
    HUNT_DESCEND_RR = 3,
    HUNT_ODDEVEN_RR = 4,
    HUNT_RANDOM = 5
};
enum __enOperationState { OPS_OOS = 0, OPS_INS = 1, OPS_NOTUSE = 2 };

const char *Str_MsgType(unsigned int unType);
const char *Str_HuntMethod(unsigned int unMethod);
const char *Str_OPSTS(unsigned int unState);

// Standard output on the way out of a process or a fault: written at once or not at all, never
// waiting for a reader or for stdio's lock (a thread stuck writing holds it for ever). What stdio
// holds goes first when its lock is free, so that lines keep their order.
void Flush_StdoutNow();
// As much as nFd takes at once, in pieces a pipe takes whole. Async-signal-safe.
size_t Write_Now(int nFd, const char *pcText, size_t unLen);
int Print_StdoutNow(const char *pcFormat, ...) __attribute__((format(printf, 1, 2)));

// "/opt/orvo/tmp" unless ORVO_TMP_ROOT names another directory, so that instances (or tests) on
// one host need not share the log registry and the HA sockets and keys.
const char *Get_OrvoTmpRoot();
constexpr const char *ORVO_TMP_ROOT_ENV = "ORVO_TMP_ROOT";
constexpr const char *ORVO_TMP_ROOT_DEFAULT = "/opt/orvo/tmp";

// With exactly the given mode whatever the umask. A name that exists, a link included, is never
// followed or reused (EEXIST), as others may write the folder. Async-signal-safe; close-on-exec.
int Create_NewFile(const char *pcPath, mode_t mode);
// Under the first free one of "<stem><ext>", "<stem>.1<ext>", ... "<stem>.<nTries - 1><ext>", copied
// to pcName. EEXIST when all are taken. Async-signal-safe.
int Create_NewNumberedFile(char *pcName, size_t unSize, const char *pcStem, const char *pcExt,
                           int nTries, mode_t mode);
