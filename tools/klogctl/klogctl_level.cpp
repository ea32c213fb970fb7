// Level words: the names come from the logging library's own tables.
#include "klogctl_level.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/log.h"

namespace klogctl {

namespace {

constexpr unsigned int kLadderMask = 0xFFFF;
constexpr unsigned int kNamedLevels[] = {LOG_1, LOG_2, LOG_3, LOG_4, LOG_5, LOG_6,
                                         LOG_7, LOG_8, LOG_9, LOG_H, LOG_D, LOG_T};

bool IsLadder(unsigned int unLevel) {
    return unLevel >= LOG_1 && unLevel <= LOG_5;
}

// A level character of the log lines (C E N I M 6 7 8 9 H D T) or a Str_LogLevel name (1 to 5).
bool LevelOfName(char cName, unsigned int &unLevel) {
    char cUpper = static_cast<char>(toupper(static_cast<unsigned char>(cName)));
    if (cUpper == '0') {
        unLevel = LOG_F;
        return true;
    }
    char szName[8];
    for (unsigned int unCandidate : kNamedLevels) {
        Str_LogLevel(unCandidate, szName, sizeof(szName));
        if (cUpper == __Char_LogLevel(unCandidate) || cUpper == szName[0]) {
            unLevel = unCandidate;
            return true;
        }
    }
    return false;
}

bool ParseWord(const std::string &token, unsigned int &unWord) {
    if (token.empty() || token[0] == '-' || token[0] == '+')
        return false;
    errno = 0;
    char *pcEnd = nullptr;
    unsigned long ulValue = strtoul(token.c_str(), &pcEnd, 0);
    if (errno != 0 || *pcEnd != '\0' || ulValue > 0xFFFFFFFFul)
        return false;
    unWord = static_cast<unsigned int>(ulValue);
    return true;
}

bool ParseToken(std::string token, unsigned int &unLevel, bool &bWhole) {
    if (token.size() > 4 && strncasecmp(token.c_str(), "LOG_", 4) == 0)
        token.erase(0, 4);
    bWhole = token.size() > 1;
    return bWhole ? ParseWord(token, unLevel) : LevelOfName(token[0], unLevel);
}

}  // namespace

bool ParseLevel(const std::string &text, unsigned int &unWord, std::string &error) {
    unsigned int unFlags = 0;
    unsigned int unLadder = 0;
    size_t unTokens = 0;
    size_t unPos = 0;
    const char *pcSeparators = " \t,+|";
    while ((unPos = text.find_first_not_of(pcSeparators, unPos)) != std::string::npos) {
        size_t unEnd = text.find_first_of(pcSeparators, unPos);
        std::string token = text.substr(unPos, unEnd - unPos);
        unPos = unEnd;
        ++unTokens;
        unsigned int unLevel = 0;
        bool bWhole = false;
        if (!ParseToken(token, unLevel, bWhole)) {
            error = "unknown level \"" + token +
                    "\" (names C E N I M 1-5, flags 6 7 8 9 H D T, "
                    "or a number)";
            return false;
        }
        unsigned int unTokenLadder =
            bWhole ? unLevel & kLadderMask : (IsLadder(unLevel) ? unLevel : 0);
        if (unTokenLadder != 0 && unLadder != 0 && unTokenLadder != unLadder) {
            error = "more than one ladder level in \"" + text + "\"";
            return false;
        }
        if (unTokenLadder != 0)
            unLadder = unTokenLadder;
        unFlags |= bWhole ? unLevel & ~kLadderMask : (IsLadder(unLevel) ? 0 : unLevel);
    }
    if (unTokens == 0) {
        error = "no level given";
        return false;
    }
    unWord = unFlags | unLadder;
    return true;
}

std::string DescribeLevel(unsigned int unWord) {
    char szNames[64];
    std::string names = Str_LogLevel(unWord, szNames, sizeof(szNames));
    while (!names.empty() && names.back() == ' ') names.pop_back();
    char szWord[16];
    snprintf(szWord, sizeof(szWord), "0x%08x", unWord);
    return std::string(szWord) + " (" + (names.empty() ? "off" : names) + ")";
}

}  // namespace klogctl
