// The time-stamp format language on any text, then printing a few times with
// the result into buffers of several sizes: always terminated inside them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/dynamic_time.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t unSize) {
    std::string format(reinterpret_cast<const char *>(pData), unSize);
    stTimeFormat st = TimeFormat2Val(format.c_str());
    const time_t kTimes[] = {1, 951782400, 2147483647};  // 2000-02-29, the 32-bit end
    const int kSizes[] = {1, 2, 8, 24, 64};
    for (time_t t : kTimes) {
        for (int nSize : kSizes) {
            char szBuf[64 + 8];
            memset(szBuf, 'Z', sizeof(szBuf));
            const char *pc = Time2Str(t, szBuf, st, nSize);
            if (pc != nullptr && (memchr(szBuf, '\0', nSize) == nullptr || szBuf[nSize] != 'Z'))
                abort();
        }
        timespec ts{t, 123456789};
        char szBuf[64];
        Time2Str(ts, szBuf, st, sizeof(szBuf));
    }
    return 0;
}
