// Hexadecimal and text dumps of any bytes into a private log registry and
// log file, with every level flag on, small files and rotation.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "log/log.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string &root = fuzzsupport::UsePrivateRoot();
    if (Init_Log("FUZZDUMP", (root + "/log/dump").c_str()) != 0) abort();
    if (Set_LogLevel(0, LOG_5 | LOG_D | LOG_T) != 0) abort();
    Set_LogFileSize(0, 1);  // 1 MB files, two of them: the disk stays small
    Set_LogFileCnt(0, 2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t unSize) {
    const char *pc = reinterpret_cast<const char *>(pData);
    H_Dump(LOG_3, pc, static_cast<unsigned int>(unSize), "hex %zu\n", unSize);
    std::string text(pc, unSize);  // a text ends at its first NUL, as callers pass it
    T_Dump(LOG_3, text.c_str(), "text %zu\n", unSize);
    // The same through a section number taken from the input (most are
    // unused or out of range, which must be refused, not followed).
    unsigned int unSect = unSize > 0 ? pData[0] % 16 : 0;
    H_Dump(unSect, LOG_1, pc, static_cast<unsigned int>(unSize), "sect %u\n", unSect);
    T_Dump(unSect, LOG_1, text.c_str(), "sect %u\n", unSect);
    return 0;
}
