// Public: process lock, sleeps, number parsing, thread id, stopwatch,
// enumeration texts and files made new where others may write.
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

// Standard output on the way out of a process or a fault: used only when no
// other thread holds its lock, which a thread stuck writing to an output that
// nobody reads may hold for ever. PrintStdoutIfFree waits a tenth of a second
// for the lock and returns what printf returns, or -1 when it stayed taken.
void FlushStdoutIfFree();
int PrintStdoutIfFree(const char *pcFormat, ...) __attribute__((format(printf, 1, 2)));
// On the way out: writes to standard output give up instead of waiting for a
// reader. A pipe, FIFO or terminal gets a non-blocking description of its own
// in place of descriptor 1 (one shared with other processes is left as it
// is); a socket, which cannot be opened again, gets a send time-out of a
// second; a file never waits. Async-signal-safe. A thread already waiting in
// a write there waits on.
void StdoutNeverWaits();

// Root of the host-wide runtime files ("/opt/orvo/tmp" unless the environment
// variable ORVO_TMP_ROOT names another directory): the log registry key file
// and the HA framework's sockets and keys live below it. Set ORVO_TMP_ROOT to
// run several instances (or tests) on one host without sharing them.
const char *Get_OrvoTmpRoot();
constexpr const char *ORVO_TMP_ROOT_ENV = "ORVO_TMP_ROOT";
constexpr const char *ORVO_TMP_ROOT_DEFAULT = "/opt/orvo/tmp";

// Creates pcPath as a new file open for writing, with exactly the given mode
// whatever the umask. Where others may write (/tmp, a shared folder) a name
// that exists, a symbolic link included, is never followed or reused: it
// fails with EEXIST. Async-signal-safe. The descriptor (close-on-exec), or -1
// with errno set.
int Create_NewFile(const char *pcPath, mode_t mode);
// As Create_NewFile under the first free one of "<stem><ext>",
// "<stem>.1<ext>", ... "<stem>.<nTries - 1><ext>"; the name taken is copied
// to pcName (unSize bytes). Async-signal-safe. EEXIST when all were taken,
// ENAMETOOLONG when a name does not fit into pcName.
int Create_NewNumberedFile(char *pcName, size_t unSize, const char *pcStem, const char *pcExt,
                           int nTries, mode_t mode);
