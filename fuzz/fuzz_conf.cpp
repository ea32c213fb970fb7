// The configuration reader on any file content: every key the daemon reads,
// into destinations of the daemon's sizes and of one byte. The result must be
// terminated inside its buffer and never longer than the buffer allows.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cfg/conf.h"

namespace {

struct Key {
    const char *pcSection;
    const char *pcKey;
    size_t unSize;
};

constexpr Key kKeys[] = {
    {"COMMON", "KEY_PATH", 1024}, {"COMMON", "LOCK_FILE", 1024}, {"COMMON", "LOG_PATH", 1024},
    {"COMMON", "LOG_LEVEL", 1024}, {"BILL", "BILL_PATH", 1024},   {"BILL", "BILL_SYNC", 1024},
    {"DB", "DSN", 64},             {"DB", "UID", 64},             {"DB", "PWD", 64},
    {"DB", "PWD", 1},              {"", "", 16},                  {"[", "=", 2},
};

void Check(bool bOk) {
    if (!bOk) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t unSize) {
    // The reader takes a path: an in-memory file reached through /proc.
    static int nFd = memfd_create("kest-fuzz-conf", 0);
    if (nFd < 0) abort();
    if (ftruncate(nFd, 0) != 0 || pwrite(nFd, pData, unSize, 0) != static_cast<ssize_t>(unSize))
        abort();
    char szPath[64];
    snprintf(szPath, sizeof(szPath), "/proc/self/fd/%d", nFd);

    char szBuf[1024 + 8];
    for (const Key &key : kKeys) {
        memset(szBuf, 'Z', sizeof(szBuf));
        int nRet = ReadConfFile(szPath, key.pcSection, key.pcKey, "default", szBuf, key.unSize);
        Check(nRet == CONF_FOUND || nRet == CONF_NOT_FOUND || nRet == CONF_TOO_LONG);
        Check(memchr(szBuf, '\0', key.unSize) != nullptr);
        Check(szBuf[key.unSize] == 'Z');  // nothing beyond the capacity
        if (nRet == CONF_FOUND) Check(strpbrk(szBuf, "#\n") == nullptr);
    }
    // The white-space skipper on the input as one text.
    char *pcText = static_cast<char *>(malloc(unSize + 1));
    memcpy(pcText, pData, unSize);
    pcText[unSize] = '\0';
    char *pcFirst = _Skip_Whitechar(pcText);
    Check(pcFirst == nullptr || (pcFirst >= pcText && pcFirst <= pcText + unSize));
    free(pcText);
    return 0;
}
