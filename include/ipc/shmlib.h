// Public: System V shared-memory segments named by a key file.
#pragma once

#include <sys/types.h>

#include <string>

constexpr int SHM_KEY_PATH_MAX = 123;  // longest key file path accepted
constexpr mode_t SHM_MODE_SHARED = 0666;   // key file and segment open to every user
constexpr mode_t SHM_MODE_PRIVATE = 0660;  // owner, group and root only

// Finds or creates the segment of nSize bytes whose key derives from the key file (pszKeyFile, with
// ".shm" appended unless it already ends so). Missing directories and the key file are created. A
// segment of another size is removed and created anew (read-only mode refuses it instead). A
// segment created by this call (zeroed by the kernel) is reported through *pnFirstF = 1, to exactly
// one of several processes racing to create it. Returns the attached address, or null; the segment
// is never detached here. The forms without nMode create key file and segment with SHM_MODE_SHARED.
void *ShmOpen(const char *pszKeyFile, int nSize);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId, int nReadOnlyF);
// A mode that grants others nothing makes the segment private to its owner, its group and root: the
// key file and a new segment get exactly nMode, the segment takes the key file's group (the
// creator's, or that of a set-group-ID directory), a key file or an existing segment owned or
// created by a user not trusted (ShmTrustedOwner) is refused, and key file or segment still open to
// others are narrowed to nMode where the caller may.
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId, int nReadOnlyF,
              mode_t nMode);

// How ShmOpenWith departs from ShmOpen (or-ed).
enum : unsigned {
    SHM_REFUSE_RESIZE = 1u,  // refuses a segment of another size and makes no folders
    SHM_NO_KEY_FILE = 2u,    // uses the key file only when it exists already
    SHM_AS_FOUND = 4u,       // private: checks the segment's owner but narrows nothing,
                             // and a failed attach reads as no segment
    SHM_NO_CREATE = 8u,      // attaches only a segment that exists
};
// ShmOpen with the departures in unHow, recording its errors under the operation name pszOp.
void *ShmOpenWith(const char *pszOp, const char *pszKeyFile, int nSize, unsigned unHow,
                  mode_t nMode, int *pnFirstF, int *pnShmId);
// The ".shm" key file of a key path (the path itself when it already ends so).
std::string ShmKeyFileName(const char *pszKeyFile);

// Whether a user may own a key file or segment that others rely on: root, the caller's user and,
// for a key file below the runtime root, that root's owner (the HA master's user). Anybody else
// could rewrite the segment, or choose its group, at any time.
bool ShmTrustedOwner(const char *pszKeyFile, uid_t nUid);
// 0 when the owner and the creator of segment nShmId are trusted for the key file; else -1,
// recording "Shm Owner Untrusted (...)" with both named.
int ShmCheckOwner(const char *pszKeyFile, int nShmId);
