// Bounded string functions: every copy keeps to the caller's capacity and terminates the text.
#include "base/string.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/error.h"

namespace {

bool IsNull(const void *p, const char *pcWhat) {
    if (p != nullptr) return false;
    SET_ERROR(EINVAL, "%s is NULL", pcWhat);
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsTokenChar(unsigned char c) {
    return isalnum(c) || (c != '\0' && strchr("-.!%*_+`'~", c) != nullptr);
}

size_t LeadingBlanks(const char *pcStr) {
    size_t n = 0;
    while (IsBlank(pcStr[n])) ++n;
    return n;
}

// Appends up to unLen bytes of pcSrc at pcBuf[nPos], never past nBufLen - 1.
void AppendCut(char *pcBuf, int nBufLen, int &nPos, const char *pcSrc, size_t unLen) {
    int nRoom = nBufLen - 1 - nPos;
    if (nRoom <= 0) return;
    size_t unCopy = unLen < static_cast<size_t>(nRoom) ? unLen : static_cast<size_t>(nRoom);
    memcpy(pcBuf + nPos, pcSrc, unCopy);
    nPos += static_cast<int>(unCopy);
    pcBuf[nPos] = '\0';
}

// The argument checks of the bounded comparisons, recorded under the caller's name.
bool BadCompare(const char *pcStr1, const char *pcStr2, size_t nLen, const char *pcFunc) {
    if (IsNull(pcStr1, "pcStr1") || IsNull(pcStr2, "pcStr2")) return true;
    if (nLen != 0) return false;
    __Set_Error(EINVAL, pcFunc, __LINE__, "nLen is Small");
    return true;
}

void ConvertCase(const char *pcOrgStr, char *pcConvStr, int nMaxBufLen, int (*fConvert)(int)) {
    if (IsNull(pcOrgStr, "pcOrgStr") || IsNull(pcConvStr, "pcConvStr") || nMaxBufLen <= 0) return;
    int i = 0;
    for (; i < nMaxBufLen - 1 && pcOrgStr[i] != '\0'; ++i)
        pcConvStr[i] = static_cast<char>(fConvert(static_cast<unsigned char>(pcOrgStr[i])));
    pcConvStr[i] = '\0';
}

char *FormatLocal(time_t tTime, char *pcBuf, int nMaxBufLen, const char *pcZero,
                  const char *pcFormat, bool bDate, bool bTime) {
    if (IsNull(pcBuf, "pcBuf")) return nullptr;
    if (nMaxBufLen <= 0) return nullptr;
    if (tTime == 0) {
        snprintf(pcBuf, nMaxBufLen, "%s", pcZero);
        return pcBuf;
    }
    tm stTm{};
    localtime_r(&tTime, &stTm);
    if (bDate && bTime)
        snprintf(pcBuf, nMaxBufLen, pcFormat, stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour,
                 stTm.tm_min, stTm.tm_sec);
    else if (bDate)
        snprintf(pcBuf, nMaxBufLen, pcFormat, stTm.tm_mon + 1, stTm.tm_mday);
    else
        snprintf(pcBuf, nMaxBufLen, pcFormat, stTm.tm_hour, stTm.tm_min, stTm.tm_sec);
    return pcBuf;
}

}  // namespace

int StrLen(const char *pcStr) { return pcStr == nullptr ? -1 : static_cast<int>(strlen(pcStr)); }

char *StrCpy(char *pcDest, const char *pcSrc, size_t unMaxBufLen) {
    return StrNCpy(pcDest, pcSrc, 0, unMaxBufLen);
}

char *StrNCpy(char *pcDest, const char *pcSrc, size_t unValLen, size_t unMaxBufLen) {
    if (IsNull(pcDest, "pcDest") || IsNull(pcSrc, "pcSrc")) return nullptr;
    if (unMaxBufLen == 0) {
        SET_ERROR(EINVAL, "unMaxBufLen is small[%lu]", 0UL);
        return nullptr;
    }
    size_t unLen = unValLen == 0 ? strlen(pcSrc) : strnlen(pcSrc, unValLen);
    if (unLen > unMaxBufLen - 1) unLen = unMaxBufLen - 1;
    memmove(pcDest, pcSrc, unLen);
    pcDest[unLen] = '\0';
    return pcDest;
}

char *StrCat(char *pcDest, const char *pcSrc, size_t unMaxBufLen) {
    return StrNCat(pcDest, pcSrc, 0, unMaxBufLen);
}

char *StrNCat(char *pcDest, const char *pcSrc, size_t unValLen, size_t unMaxBufLen) {
    if (IsNull(pcDest, "pcDest") || IsNull(pcSrc, "pcSrc")) return nullptr;
    size_t unDestLen = strnlen(pcDest, unMaxBufLen);
    size_t unLen = unValLen == 0 ? strlen(pcSrc) : strnlen(pcSrc, unValLen);
    if (unDestLen >= unMaxBufLen || unLen > unMaxBufLen - 1 - unDestLen) {
        SET_ERROR(EINVAL, "Dest buffer length is small\n");
        return nullptr;
    }
    memcpy(pcDest + unDestLen, pcSrc, unLen);
    pcDest[unDestLen + unLen] = '\0';
    return pcDest;
}

int StrCmp(const char *pcStr1, const char *pcStr2) {
    if (pcStr1 == nullptr || pcStr2 == nullptr) return -1;
    return strcmp(pcStr1, pcStr2);
}

int StrNCmp(const char *pcStr1, const char *pcStr2, size_t nLen) {
    if (BadCompare(pcStr1, pcStr2, nLen, __func__)) return -1;
    return strncmp(pcStr1, pcStr2, nLen);
}

int StrRCmp(const char *pcStr1, const char *pcStr2, size_t nLen) {
    if (BadCompare(pcStr1, pcStr2, nLen, __func__)) return -1;
    size_t unLen1 = strlen(pcStr1);
    size_t unCmp = nLen < unLen1 ? nLen : unLen1;
    return strncmp(pcStr1 + (unLen1 - unCmp), pcStr2, unCmp);
}

char *StrChr(char *pcStr, int nChar) {
    if (IsNull(pcStr, "pcStr")) return nullptr;
    return strchr(pcStr, nChar);
}

char *StrStr(char *pcHaystack, const char *pcNeedle) {
    if (IsNull(pcHaystack, "pcHaystack") || IsNull(pcNeedle, "pcNeedle")) return nullptr;
    return strstr(pcHaystack, pcNeedle);
}

char *StrTok(char *pcStr, const char *pcDelim) {
    if (IsNull(pcStr, "pcStr") || IsNull(pcDelim, "pcDelim")) return nullptr;
    char *pcSave = nullptr;
    return strtok_r(pcStr, pcDelim, &pcSave);
}

int SNPrintf(char *pcBuf, size_t nBufLen, const char *pcFormat, ...) {
    if (pcBuf == nullptr || nBufLen < 2 || pcFormat == nullptr) return 0;
    va_list args;
    va_start(args, pcFormat);
    int n = vsnprintf(pcBuf, nBufLen, pcFormat, args);
    va_end(args);
    if (n < 0) return 0;
    if (static_cast<size_t>(n) >= nBufLen) return static_cast<int>(nBufLen);
    return n;
}

void Rtrim(char *pcStr) {
    if (pcStr == nullptr) return;
    size_t n = strlen(pcStr);
    while (n > 0 && IsBlank(pcStr[n - 1])) pcStr[--n] = '\0';
}

// Works for texts of any length: a long line must not keep its leading blanks.
void Ltrim(char *pcStr) {
    if (pcStr == nullptr) return;
    size_t unSkip = LeadingBlanks(pcStr);
    if (unSkip > 0) memmove(pcStr, pcStr + unSkip, strlen(pcStr + unSkip) + 1);
}

void Ltrim(char *pcStr, char *pcBuf, size_t unBufLen) {
    if (IsNull(pcStr, "pcStr") || IsNull(pcBuf, "pcBuf") || unBufLen == 0) return;
    StrCpy(pcBuf, pcStr + LeadingBlanks(pcStr), unBufLen);
}

void Trim(char *pcStr) {
    Rtrim(pcStr);
    Ltrim(pcStr);
}

void Trim(char *pcStr, char *pcBuf, size_t unBufLen) {
    Rtrim(pcStr);
    Ltrim(pcStr, pcBuf, unBufLen);
}

char *rtrimK(char *s, const char *chs) {
    if (s == nullptr || chs == nullptr) return s;
    size_t n = strlen(s);
    while (n > 1 && strchr(chs, s[n - 1]) != nullptr) s[--n] = '\0';
    return s;
}

char *ltrimK(char *s, const char *chs) {
    if (s == nullptr || chs == nullptr) return s;
    size_t unSkip = 0;
    while (s[unSkip] != '\0' && strchr(chs, s[unSkip]) != nullptr) ++unSkip;
    if (unSkip > 0) memmove(s, s + unSkip, strlen(s + unSkip) + 1);
    return s;
}

char *trimAllK(char *s, const char *chs) { return ltrimK(rtrimK(s, chs), chs); }

int GetTokenLength(const char *pcStr) {
    if (IsNull(pcStr, "pcStr")) return 0;
    int n = 0;
    while (IsTokenChar(static_cast<unsigned char>(pcStr[n]))) ++n;
    return n;
}

int GetTokenLength(char *pcBuf, const char *pcStr, int nMaxBufLen) {
    if (IsNull(pcBuf, "pcBuf") || IsNull(pcStr, "pcStr") || nMaxBufLen <= 0) return 0;
    int n = GetTokenLength(pcStr);
    if (n > nMaxBufLen) n = nMaxBufLen;
    int nCopy = n < nMaxBufLen - 1 ? n : nMaxBufLen - 1;
    memcpy(pcBuf, pcStr, nCopy);
    pcBuf[nCopy] = '\0';
    return n;
}

char *GetNewLine(char *pcStr) {
    if (IsNull(pcStr, "pcStr")) return nullptr;
    char *p = pcStr;
    for (;;) {
        p = strpbrk(p, "\r\n");
        if (p == nullptr) return nullptr;
        char *pcAfter = (p[0] == '\r' && p[1] == '\n') ? p + 2 : p + 1;
        if (*pcAfter != ' ' && *pcAfter != '\t') return p;
        p = pcAfter;  // folded line: the logical line goes on
    }
}

void StrToUpper(const char *pcOrgStr, char *pcConvStr, int nMaxBufLen) {
    ConvertCase(pcOrgStr, pcConvStr, nMaxBufLen, toupper);
}

void StrToLower(char *pcOrgStr, char *pcConvStr, int nMaxBufLen) {
    ConvertCase(pcOrgStr, pcConvStr, nMaxBufLen, tolower);
}

int ReplaceStr(char *pcBuf, const char *pcSrc, const char *pcFindValue, const char *pcNewValue,
               int nBufLen) {
    if (IsNull(pcBuf, "pcBuf") || IsNull(pcSrc, "pcSrc") || IsNull(pcFindValue, "pcFindValue") ||
        IsNull(pcNewValue, "pcNewValue"))
        return -1;
    if (nBufLen <= 0) return 0;
    int nPos = 0;
    pcBuf[0] = '\0';
    size_t unFindLen = strlen(pcFindValue);
    size_t unNewLen = strlen(pcNewValue);
    const char *p = pcSrc;
    if (unFindLen > 0) {
        for (const char *pcHit; (pcHit = strstr(p, pcFindValue)) != nullptr;
             p = pcHit + unFindLen) {
            AppendCut(pcBuf, nBufLen, nPos, p, static_cast<size_t>(pcHit - p));
            AppendCut(pcBuf, nBufLen, nPos, pcNewValue, unNewLen);
        }
    }
    AppendCut(pcBuf, nBufLen, nPos, p, strlen(p));
    return nPos;
}

int ReplaceStr(char *pcBuf, const char *pcSrc, const char *pcFindValue, unsigned int nNewValue,
               int nBufLen) {
    char szValue[16];
    snprintf(szValue, sizeof(szValue), "%u", nNewValue);
    return ReplaceStr(pcBuf, pcSrc, pcFindValue, szValue, nBufLen);
}

int Is_Digit(const char *pszStr) {
    if (pszStr == nullptr || pszStr[0] == '\0') return 0;
    for (const char *p = pszStr; *p != '\0'; ++p)
        if (*p < '0' || *p > '9') return 0;
    return 1;
}

int GetWords(char *pszLine, char **pszWords, int nMaxCnt) {
    if (IsNull(pszLine, "pszLine") || IsNull(pszWords, "pszWords")) return -1;
    Trim(pszLine);
    int nCnt = 0;
    char *pcSave = nullptr;
    for (char *pcWord = strtok_r(pszLine, " \t", &pcSave); pcWord != nullptr && nCnt < nMaxCnt;
         pcWord = strtok_r(nullptr, " \t", &pcSave))
        pszWords[nCnt++] = pcWord;
    return nCnt;
}

int GetWords(const char *pszLine, char *pcBuf, size_t unBufSize, char **pszWords, int nMaxCnt) {
    if (IsNull(pszLine, "pszLine") || StrCpy(pcBuf, pszLine, unBufSize) == nullptr) return -1;
    return GetWords(pcBuf, pszWords, nMaxCnt);
}

char *StrTime(time_t tTime, char *pcBuf, int nMaxBufLen) {
    return FormatLocal(tTime, pcBuf, nMaxBufLen, "00:00:00", "%02d:%02d:%02d", false, true);
}

char *StrDateTime(time_t tTime, char *pcBuf, int nMaxBufLen) {
    return FormatLocal(tTime, pcBuf, nMaxBufLen, "00/00 00:00:00", "%02d/%02d %02d:%02d:%02d",
                       true, true);
}

char *StrDate(time_t tTime, char *pcBuf, int nMaxBufLen) {
    return FormatLocal(tTime, pcBuf, nMaxBufLen, "00/00", "%02d/%02d", true, false);
}

char *IPv4ToStr(unsigned int unIp, char *pcBuf, int nMaxBufLen) {
    if (IsNull(pcBuf, "pcBuf") || nMaxBufLen <= 0) return nullptr;
    snprintf(pcBuf, nMaxBufLen, "%u.%u.%u.%u", unIp & 0xFFu, (unIp >> 8) & 0xFFu,
             (unIp >> 16) & 0xFFu, (unIp >> 24) & 0xFFu);
    return pcBuf;
}

const char *StrIP(const stIpAddr *pstAddr, char *pcBuf, size_t nMaxBufLen) {
    if (IsNull(pstAddr, "pstAddr") || IsNull(pcBuf, "pcBuf")) return nullptr;
    int nFamily = pstAddr->nIPType == AF_INET ? AF_INET : AF_INET6;
    if (inet_ntop(nFamily, pstAddr->stD, pcBuf, static_cast<socklen_t>(nMaxBufLen)) == nullptr) {
        SET_ERROR(errno, "inet_ntop fail[family:%d]", nFamily);
        return nullptr;
    }
    return pcBuf;
}

const char *StrIPAddr(const stIpAddr *pstAddr, char *pcBuf, size_t nMaxBufLen) {
    if (StrIP(pstAddr, pcBuf, nMaxBufLen) == nullptr) return nullptr;
    if (pstAddr->nPort > 0) {
        size_t unLen = strlen(pcBuf);
        snprintf(pcBuf + unLen, nMaxBufLen - unLen, ":%d", pstAddr->nPort);
    }
    return pcBuf;
}
