// Public: process lock, sleeps, number parsing, thread id, stopwatch, enumeration texts, standard
// output on the way out and files made new where others may write.
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
// waiting for a reader or for another thread that holds stdio's lock (one stuck writing to an
// output nobody reads holds it for ever). The descriptor's flags stay as its other holders set
// them. What stdio holds goes first when its lock is free, so that lines keep their order.
// Print_StdoutNow returns the bytes of its line written, or -1.
void Flush_StdoutNow();
// The one write(2) of the way out: as much of pcText as nFd takes at once (a socket through a send
// that does not wait, anything else once poll finds room), in pieces that a pipe takes whole. The
// bytes written. Async-signal-safe.
size_t Write_Now(int nFd, const char *pcText, size_t unLen);
int Print_StdoutNow(const char *pcFormat, ...) __attribute__((format(printf, 1, 2)));

// Root of the host-wide runtime files ("/opt/orvo/tmp" unless ORVO_TMP_ROOT names another
// directory): the log registry key file and the HA framework's sockets and keys live below it. Set
// ORVO_TMP_ROOT to run several instances (or tests) on one host without sharing them.
const char *Get_OrvoTmpRoot();
constexpr const char *ORVO_TMP_ROOT_ENV = "ORVO_TMP_ROOT";
constexpr const char *ORVO_TMP_ROOT_DEFAULT = "/opt/orvo/tmp";

// Creates pcPath as a new file open for writing, with exactly the given mode whatever the umask.
// Where others may write (/tmp, a shared folder) a name that exists, a symbolic link included, is
// never followed or reused: it fails with EEXIST. Async-signal-safe. The descriptor
// (close-on-exec), or -1 with errno set.
int Create_NewFile(const char *pcPath, mode_t mode);
// As Create_NewFile under the first free one of "<stem><ext>", "<stem>.1<ext>", ...
// "<stem>.<nTries - 1><ext>"; the name taken is copied to pcName (unSize bytes).
// Async-signal-safe. EEXIST when all are taken, ENAMETOOLONG when a name does not fit pcName.
int Create_NewNumberedFile(char *pcName, size_t unSize, const char *pcStem, const char *pcExt,
                           int nTries, mode_t mode);
