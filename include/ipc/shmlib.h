// Public: System V shared-memory segments named by a key file.
#pragma once

#include <sys/types.h>

#include <string>

constexpr int SHM_KEY_PATH_MAX = 123;  // longest key file path accepted
constexpr mode_t SHM_MODE_SHARED = 0666;   // key file and segment open to every user
constexpr mode_t SHM_MODE_PRIVATE = 0660;  // owner, group and root only

// The key is the key file with ".shm" appended unless it already ends so. A segment of another size
// is created anew (read-only mode refuses it). *pnFirstF = 1 goes to exactly one of several
// processes racing to create it. Never detached here.
void *ShmOpen(const char *pszKeyFile, int nSize);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId, int nReadOnlyF);
// A mode that grants others nothing makes the segment private to its owner, its group and root:
// the segment takes the key file's group, and key files or segments of untrusted users are refused.
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
std::string ShmKeyFileName(const char *pszKeyFile);

