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
// directory), an existing segment whose owner or creator is neither root nor
// the caller is refused, and key file or segment still open to others (left
// by an earlier release) are narrowed to nMode where the caller may.
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId, int nReadOnlyF,
              mode_t nMode);
