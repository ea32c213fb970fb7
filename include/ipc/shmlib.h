// Public: System V shared-memory segments named by a key file.
#pragma once

#include <sys/types.h>

constexpr int SHM_KEY_PATH_MAX = 123;  // longest key file path accepted
constexpr mode_t SHM_MODE_SHARED = 0666;   // key file and segment open to every user
constexpr mode_t SHM_MODE_PRIVATE = 0660;  // owner, group and root only

// Finds or creates the segment of nSize bytes whose key derives from the key
// file (pszKeyFile, with ".shm" appended unless it already ends so). Missing
// directories and the key file are created. A segment of another size is
// removed and created anew (read-only mode refuses it instead). A segment
// created by this call (zeroed by the kernel) is reported through
// *pnFirstF = 1, to exactly one of several processes racing to create it.
// Returns the attached address, or null; the segment is never detached here.
// The forms without nMode create key file and segment with SHM_MODE_SHARED.
void *ShmOpen(const char *pszKeyFile, int nSize);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId, int nReadOnlyF);
// A mode that grants others nothing makes the segment private to its owner,
// its group and root: the key file and a new segment get exactly nMode, the
// segment takes the key file's group (the creator's, or that of a set-group-ID
// directory), a key file or an existing segment owned or created by a user
// not trusted (ShmTrustedOwner) is refused, and key file or segment still
// open to others are narrowed to nMode where the caller may.
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId, int nReadOnlyF,
              mode_t nMode);

// Whether a user may own a key file or segment that others rely on: root,
// the caller's user and, for a key file below the runtime root, that root's
// owner (the HA master's user). Anybody else could rewrite the segment, or
// choose its group, at any time.
bool ShmTrustedOwner(const char *pszKeyFile, uid_t nUid);
// 0 when the owner and the creator of segment nShmId are trusted for the key
// file; else -1, recording "Shm Owner Untrusted (...)" with both named.
int ShmCheckOwner(const char *pszKeyFile, int nShmId);
// Gives segment nShmId the group of its key file when a trusted user owns
// that file, so that the group that may use a new segment does not depend on
// which process came first (a set-group-ID folder hands its group down).
void ShmGiveKeyFileGroup(int nShmId, const char *pszKeyFile, const char *pszShmFile);
// Creates the ".shm" key file pszShmFile of pszKeyFile with exactly nMode,
// never through a link; an existing one is kept as it is.
int ShmMakeKeyFile(const char *pszKeyFile, const char *pszShmFile, mode_t nMode);
