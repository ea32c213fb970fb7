#include "base/string.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/error.h"

namespace {

std::string Report() { return StrError(0); }

}  // namespace

TEST(BoundedCopy, NeverWritesPastCapacityAndAlwaysTerminates) {
    char szBuf[10];
    memset(szBuf, 'Z', sizeof(szBuf));
    EXPECT_EQ(StrNCpy(szBuf, "abcdefghijklmnopqrst", 0, 8), szBuf);
    EXPECT_STREQ(szBuf, "abcdefg");
    EXPECT_EQ(szBuf[8], 'Z');  // nothing written past the given capacity

    EXPECT_STREQ(StrNCpy(szBuf, "abcdef", 3, sizeof(szBuf)), "abc");
    EXPECT_STREQ(StrCpy(szBuf, "abcdefghi", sizeof(szBuf)), "abcdefghi");  // exactly fits
    EXPECT_STREQ(StrCpy(szBuf, "abcdefghij", sizeof(szBuf)), "abcdefghi");
    EXPECT_STREQ(StrCpy(szBuf, "", sizeof(szBuf)), "");
    EXPECT_EQ(StrNCpy(szBuf, "abc", 0, 0), nullptr);
    EXPECT_EQ(StrCpy(nullptr, "abc", 4), nullptr);
    EXPECT_NE(Report().find("pcDest is NULL"), std::string::npos);
}

TEST(BoundedCopy, ConcatenationAppendsAllOrNothing) {
    char szBuf[8] = "abc";
    EXPECT_STREQ(StrCat(szBuf, "defg", sizeof(szBuf)), "abcdefg");  // 7 + terminator fits
    EXPECT_EQ(StrCat(szBuf, "h", sizeof(szBuf)), nullptr);
    EXPECT_STREQ(szBuf, "abcdefg");
    EXPECT_NE(Report().find("Dest buffer length is small"), std::string::npos);
    char szPart[8] = "ab";
    EXPECT_STREQ(StrNCat(szPart, "cdefgh", 2, sizeof(szPart)), "abcd");
}

TEST(Compare, NullsLengthsAndTails) {
    EXPECT_EQ(StrCmp("a", "a"), 0);
    EXPECT_EQ(StrCmp(nullptr, "a"), -1);
    EXPECT_EQ(StrNCmp("abcd", "abxx", 2), 0);
    EXPECT_EQ(StrNCmp("abcd", "abxx", 0), -1);
    EXPECT_NE(Report().find("nLen is Small"), std::string::npos);
    EXPECT_EQ(StrRCmp("file.log", "log", 3), 0);
    EXPECT_EQ(StrRCmp("og", "ogre", 5), 0);  // shorter text: all of it
    EXPECT_NE(StrRCmp("file.txt", "log", 3), 0);
    Clr_Error();
}

TEST(Format, SNPrintfReportsCut) {
    char szBuf[6];
    EXPECT_EQ(SNPrintf(szBuf, sizeof(szBuf), "%s", "abc"), 3);
    EXPECT_EQ(SNPrintf(szBuf, sizeof(szBuf), "%s", "abcdefgh"), 6);
    EXPECT_STREQ(szBuf, "abcde");
    EXPECT_EQ(SNPrintf(szBuf, 1, "%s", "a"), 0);
    EXPECT_EQ(SNPrintf(nullptr, 10, "%s", "a"), 0);
}

TEST(Trim, BlanksTabsAndLineEndsOnBothSides) {
    char szA[] = " \t\r\nvalue \t\r\n";
    Trim(szA);
    EXPECT_STREQ(szA, "value");
    std::string longText = std::string(5, ' ') + std::string(1500, 'x');
    Ltrim(longText.data());
    EXPECT_EQ(strlen(longText.c_str()), 1500u);  // long texts are trimmed too
    char szB[] = "  key = v  ";
    char szOut[6];
    Trim(szB, szOut, sizeof(szOut));
    EXPECT_STREQ(szOut, "key =");
    char szC[] = "xxabcxx";
    EXPECT_STREQ(trimAllK(szC, "x"), "abc");
    char szD[] = "xxxx";
    EXPECT_STREQ(rtrimK(szD, "x"), "x");  // the first character is never removed
    char szE[] = "--a-";
    EXPECT_STREQ(ltrimK(szE, "-"), "a-");
}

TEST(Tokens, TokenLengthNewLineAndWords) {
    EXPECT_EQ(GetTokenLength("abc-1.2!%*_+`'~ rest"), 15);
    EXPECT_EQ(GetTokenLength(""), 0);
    char szTok[4];
    EXPECT_EQ(GetTokenLength(szTok, "abcdef;", 4), 4);
    EXPECT_STREQ(szTok, "abc");

    char szLines[] = "Via: a\r\n b\r\nTo: c";
    EXPECT_EQ(GetNewLine(szLines), szLines + 10);  // folded continuation skipped
    char szNone[] = "no end";
    EXPECT_EQ(GetNewLine(szNone), nullptr);

    char szLine[] = "  one two\tthree  ";
    char *words[2];
    EXPECT_EQ(GetWords(szLine, words, 2), 2);
    EXPECT_STREQ(words[0], "one");
    EXPECT_STREQ(words[1], "two");
}

TEST(Convert, CaseReplaceAndDigits) {
    char szOut[4];
    StrToUpper("abcdef", szOut, sizeof(szOut));
    EXPECT_STREQ(szOut, "ABC");
    char szIn[] = "KeSt";
    char szLow[8];
    StrToLower(szIn, szLow, sizeof(szLow));
    EXPECT_STREQ(szLow, "kest");

    char szBuf[32];
    EXPECT_EQ(ReplaceStr(szBuf, "a-%d-b-%d-c", "%d", "XY", sizeof(szBuf)), 11);
    EXPECT_STREQ(szBuf, "a-XY-b-XY-c");
    EXPECT_EQ(ReplaceStr(szBuf, "id=%n", "%n", 4096u, sizeof(szBuf)), 7);
    EXPECT_STREQ(szBuf, "id=4096");
    EXPECT_EQ(ReplaceStr(szBuf, "abc", "", "Z", sizeof(szBuf)), 3);
    char szSmall[5];
    EXPECT_EQ(ReplaceStr(szSmall, "aaaa", "a", "bb", sizeof(szSmall)), 4);
    EXPECT_STREQ(szSmall, "bbbb");

    EXPECT_EQ(Is_Digit("0123"), 1);
    EXPECT_EQ(Is_Digit(""), 0);
    EXPECT_EQ(Is_Digit("12a"), 0);
    EXPECT_EQ(Is_Digit("-1"), 0);
}

TEST(TextOfTimesAndAddresses, ZeroTimesAndByteOrder) {
    char szBuf[32];
    EXPECT_STREQ(StrTime(0, szBuf, sizeof(szBuf)), "00:00:00");
    EXPECT_STREQ(StrDateTime(0, szBuf, sizeof(szBuf)), "00/00 00:00:00");
    EXPECT_STREQ(StrDate(0, szBuf, sizeof(szBuf)), "00/00");
    EXPECT_EQ(StrTime(0, nullptr, 10), nullptr);
    Clr_Error();
    time_t t = time(nullptr);
    tm stTm{};
    localtime_r(&t, &stTm);
    char szExpect[32];
    snprintf(szExpect, sizeof(szExpect), "%02d/%02d %02d:%02d:%02d", stTm.tm_mon + 1,
             stTm.tm_mday, stTm.tm_hour, stTm.tm_min, stTm.tm_sec);
    EXPECT_STREQ(StrDateTime(t, szBuf, sizeof(szBuf)), szExpect);

    EXPECT_STREQ(IPv4ToStr(inet_addr("10.1.2.3"), szBuf, sizeof(szBuf)), "10.1.2.3");

    stIpAddr v4{};
    v4.nIPType = AF_INET;
    inet_pton(AF_INET, "192.168.0.7", v4.stD);
    v4.nPort = 5060;
    EXPECT_STREQ(StrIPAddr(&v4, szBuf, sizeof(szBuf)), "192.168.0.7:5060");
    v4.nPort = 0;
    EXPECT_STREQ(StrIPAddr(&v4, szBuf, sizeof(szBuf)), "192.168.0.7");
    stIpAddr v6{};
    v6.nIPType = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", v6.stD);
    EXPECT_STREQ(StrIP(&v6, szBuf, sizeof(szBuf)), "fe80::1");
}
