// Public: bounded string functions and small text formatters.
#pragma once

#include <cstddef>
#include <ctime>

struct stIpAddr {
    int nIPType;               // address family: AF_INET (2) or AF_INET6
    unsigned char stD[16];     // the IPv4 (first 4 bytes) or IPv6 address
    int nPort;
};

int StrLen(const char *pcStr);
char *StrCpy(char *pcDest, const char *pcSrc, size_t unMaxBufLen);
char *StrNCpy(char *pcDest, const char *pcSrc, size_t unValLen, size_t unMaxBufLen);
char *StrCat(char *pcDest, const char *pcSrc, size_t unMaxBufLen);
char *StrNCat(char *pcDest, const char *pcSrc, size_t unValLen, size_t unMaxBufLen);
int StrCmp(const char *pcStr1, const char *pcStr2);
int StrNCmp(const char *pcStr1, const char *pcStr2, size_t nLen);
int StrRCmp(const char *pcStr1, const char *pcStr2, size_t nLen);
char *StrChr(char *pcStr, int nChar);
char *StrStr(char *pcHaystack, const char *pcNeedle);
char *StrTok(char *pcStr, const char *pcDelim);
int SNPrintf(char *pcBuf, size_t nBufLen, const char *pcFormat, ...)
    __attribute__((format(printf, 3, 4)));

void Rtrim(char *pcStr);
void Ltrim(char *pcStr);
void Ltrim(char *pcStr, char *pcBuf, size_t unBufLen);
void Trim(char *pcStr);
void Trim(char *pcStr, char *pcBuf, size_t unBufLen);
char *rtrimK(char *s, const char *chs);
char *ltrimK(char *s, const char *chs);
char *trimAllK(char *s, const char *chs);

int GetTokenLength(const char *pcStr);
int GetTokenLength(char *pcBuf, const char *pcStr, int nMaxBufLen);
char *GetNewLine(char *pcStr);
void StrToUpper(const char *pcOrgStr, char *pcConvStr, int nMaxBufLen);
void StrToLower(char *pcOrgStr, char *pcConvStr, int nMaxBufLen);
int ReplaceStr(char *pcBuf, const char *pcSrc, const char *pcFindValue, const char *pcNewValue,
               int nBufLen);
int ReplaceStr(char *pcBuf, const char *pcSrc, const char *pcFindValue, unsigned int nNewValue,
               int nBufLen);
int Is_Digit(const char *pszStr);

// Blanks and tabs separate words (in place); at most nMaxCnt, -1 on bad input.
int GetWords(char *pszLine, char **pszWords, int nMaxCnt);
int GetWords(const char *pszLine, char *pcBuf, size_t unBufSize, char **pszWords, int nMaxCnt);

char *StrTime(time_t tTime, char *pcBuf, int nMaxBufLen);
char *StrDateTime(time_t tTime, char *pcBuf, int nMaxBufLen);
char *StrDate(time_t tTime, char *pcBuf, int nMaxBufLen);
char *IPv4ToStr(unsigned int unIp, char *pcBuf, int nMaxBufLen);
const char *StrIP(const stIpAddr *pstAddr, char *pcBuf, size_t nMaxBufLen);
const char *StrIPAddr(const stIpAddr *pstAddr, char *pcBuf, size_t nMaxBufLen);
