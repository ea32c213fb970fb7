// Public: reader of the INI-style configuration file; environment expansion in configured paths.
#pragma once

#include <cstddef>

constexpr size_t CONF_LINE_MAX = 1023;     // longer lines are read in pieces of this size
constexpr size_t CONF_VALUE_SIZE = 1024;   // capacity assumed by the five-argument reader

enum ConfResult {
    CONF_FOUND = 0,
    CONF_NOT_FOUND = -1,   // file unreadable or key absent: the default was copied
    CONF_TOO_LONG = -2,    // key found, value longer than the destination: cut, see caller
};

// Always terminated; pcDefaultString when the key is not found.
int ReadConfFile(const char *pcFilePath, const char *pcSection, const char *pcItem,
                 const char *pcDefaultString, char *pcToBuffer, size_t unBufSize);
int ReadConfFile(const char *pcFilePath, const char *pcSection, const char *pcItem,
                 const char *pcDefaultString, char *pcToBuffer);

// First character of pcStr that is not a blank, tab, LF or CR; null for a null or empty text.
char *_Skip_Whitechar(char *pcStr);

// Words joined by one blank and cut to nSize - 1 characters. A failed expansion or one without
// words leaves the text as it was.
char *GetEnv(char *pcSrc, int nSize);
