// INI reader, and the in-place expansion of shell words in configured paths.
#include "cfg/conf.h"

#include <wordexp.h>

#include <cstdio>
#include <cstring>

#include "base/string.h"

namespace {

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A key matches a line only as a whole name: "DSN" must not match "DSN_OLD=a".
bool StartsWithKey(const char *pcLine, const char *pcItem, size_t unItemLen) {
    if (strncmp(pcLine, pcItem, unItemLen) != 0) return false;
    char c = pcLine[unItemLen];
    return c == '\0' || c == ' ' || c == '\t' || c == '=' || c == '#' || c == '\n' || c == '\r';
}

// Copies the value that follows the key; false when it had to be cut.
bool CopyValue(const char *pcAfterKey, char *pcToBuffer, size_t unBufSize) {
    const char *p = pcAfterKey;
    while (*p == ' ' || *p == '\t' || *p == '=') ++p;
    size_t unLen = strcspn(p, "#\n");
    bool bFits = unLen < unBufSize;
    size_t unCopy = bFits ? unLen : unBufSize - 1;
    memcpy(pcToBuffer, p, unCopy);
    pcToBuffer[unCopy] = '\0';
    Rtrim(pcToBuffer);
    // Trailing blanks do not count against the capacity.
    if (!bFits) {
        size_t unTrimmed = unLen;
        while (unTrimmed > 0 && IsWhite(p[unTrimmed - 1])) --unTrimmed;
        bFits = unTrimmed < unBufSize;
    }
    return bFits;
}

int NotFound(const char *pcDefaultString, char *pcToBuffer, size_t unBufSize) {
    if (pcDefaultString != nullptr) StrCpy(pcToBuffer, pcDefaultString, unBufSize);
    return CONF_NOT_FOUND;
}

class ConfFile {
public:
    explicit ConfFile(const char *pcPath) : pFile_(pcPath ? fopen(pcPath, "r") : nullptr) {}
    ~ConfFile() {
        if (pFile_ != nullptr) fclose(pFile_);
    }
    ConfFile(const ConfFile &) = delete;
    ConfFile &operator=(const ConfFile &) = delete;

    bool IsOpen() const { return pFile_ != nullptr; }
    // Next line, or a 1023-character piece of a longer one; a last line without line feed counts.
    bool NextLine(char *pcLine, size_t unSize) { return fgets(pcLine, unSize, pFile_) != nullptr; }
    // A line of exactly CONF_LINE_MAX characters ends when the line feed comes next.
    bool EndsLine(const char *pcLine) {
        if (strchr(pcLine, '\n') != nullptr || feof(pFile_) != 0) return true;
        int c = getc(pFile_);
        if (c == '\n' || c == EOF) return true;
        ungetc(c, pFile_);
        return false;
    }

private:
    FILE *pFile_;
};

}  // namespace

int ReadConfFile(const char *pcFilePath, const char *pcSection, const char *pcItem,
                 const char *pcDefaultString, char *pcToBuffer, size_t unBufSize) {
    if (pcToBuffer == nullptr || unBufSize == 0) return CONF_NOT_FOUND;
    ConfFile file(pcFilePath);
    if (!file.IsOpen() || pcSection == nullptr || pcItem == nullptr || pcItem[0] == '\0')
        return NotFound(pcDefaultString, pcToBuffer, unBufSize);

    char szHeader[CONF_LINE_MAX + 3];
    snprintf(szHeader, sizeof(szHeader), "[%s]", pcSection);
    size_t unHeaderLen = strlen(szHeader);
    size_t unItemLen = strlen(pcItem);
    bool bInSection = false;

    char szLine[CONF_LINE_MAX + 1];
    while (file.NextLine(szLine, sizeof(szLine))) {
        char *pcLine = _Skip_Whitechar(szLine);
        if (pcLine == nullptr) continue;
        if (!bInSection) {
            bInSection = strncmp(pcLine, szHeader, unHeaderLen) == 0;
            continue;
        }
        if (pcLine[0] == '[' || pcLine[0] == '}') break;
        if (!StartsWithKey(pcLine, pcItem, unItemLen)) continue;
        bool bFits = CopyValue(pcLine + unItemLen, pcToBuffer, unBufSize);
        // A value running past the piece was cut by the line limit, unless a comment began before.
        if (!file.EndsLine(szLine) && strchr(pcLine + unItemLen, '#') == nullptr) bFits = false;
        return bFits ? CONF_FOUND : CONF_TOO_LONG;
    }
    return NotFound(pcDefaultString, pcToBuffer, unBufSize);
}

int ReadConfFile(const char *pcFilePath, const char *pcSection, const char *pcItem,
                 const char *pcDefaultString, char *pcToBuffer) {
    return ReadConfFile(pcFilePath, pcSection, pcItem, pcDefaultString, pcToBuffer,
                        CONF_VALUE_SIZE);
}

char *_Skip_Whitechar(char *pcStr) {
    if (pcStr == nullptr || pcStr[0] == '\0') return nullptr;
    while (IsWhite(*pcStr)) ++pcStr;
    return pcStr;
}

char *GetEnv(char *pcSrc, int nSize) {
    if (pcSrc == nullptr || nSize <= 0) return nullptr;
    wordexp_t stWords{};
    if (wordexp(pcSrc, &stWords, 0) != 0) return pcSrc;  // left unexpanded
    if (stWords.we_wordc > 0) {
        size_t unCap = static_cast<size_t>(nSize);
        size_t unPos = 0;
        pcSrc[0] = '\0';
        for (size_t i = 0; i < stWords.we_wordc && unPos < unCap - 1; ++i) {
            int n = snprintf(pcSrc + unPos, unCap - unPos, i == 0 ? "%s" : " %s",
                             stWords.we_wordv[i]);
            if (n < 0) break;
            unPos += static_cast<size_t>(n);
        }
    }
    wordfree(&stWords);
    return pcSrc;
}
