#include "cfg/conf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "scratch_dir.h"

namespace {

class ConfFile : public ::testing::Test {
protected:
    std::string Write(const std::string &text) {
        std::ofstream(path_) << text;
        return path_;
    }
    std::string Value(const char *pcSection, const char *pcKey, int *pnRet = nullptr) {
        char szBuf[CONF_VALUE_SIZE];
        int nRet = ReadConfFile(path_.c_str(), pcSection, pcKey, "DEFAULT", szBuf);
        if (pnRet) *pnRet = nRet;
        return szBuf;
    }
    ScratchDir dir_;
    std::string path_ = dir_ / "kest.ini";
};

}  // namespace

TEST_F(ConfFile, ValuesSeparatorsAndComments) {
    Write("[COMMON]\n"
          "  LOG_LEVEL = 5    # five\n"
          "LOG_PATH=/var/log/x#old\n"
          "KEY_PATH\t==\t/opt/key \r\n"
          "EMPTY =\n"
          "# DSN = commented\n");
    int nRet = 0;
    EXPECT_EQ(Value("COMMON", "LOG_LEVEL", &nRet), "5");
    EXPECT_EQ(nRet, CONF_FOUND);
    EXPECT_EQ(Value("COMMON", "LOG_PATH"), "/var/log/x");
    EXPECT_EQ(Value("COMMON", "KEY_PATH"), "/opt/key");
    EXPECT_EQ(Value("COMMON", "EMPTY", &nRet), "");
    EXPECT_EQ(nRet, CONF_FOUND);
    EXPECT_EQ(Value("COMMON", "DSN", &nRet), "DEFAULT");
    EXPECT_EQ(nRet, CONF_NOT_FOUND);
}

TEST_F(ConfFile, KeysMatchWholeNamesOnly) {
    Write("[DB]\nDSN_OLD=a\nDSN=b\n");
    EXPECT_EQ(Value("DB", "DSN"), "b");
    EXPECT_EQ(Value("DB", "DSN_OLD"), "a");
    EXPECT_EQ(Value("DB", "DS"), "DEFAULT");
}

TEST_F(ConfFile, SectionsBoundTheSearch) {
    Write("LOG_LEVEL=1\n"
          "[COMMON] trailing words\n"
          "LOG_LEVEL=2\n"
          "[BILL]\n"
          "BILL_PATH=/bill\n"
          "[COMMON]\n"
          "KEY_PATH=/second\n"
          "[DB]\n"
          "}\n"
          "DSN=after-brace\n");
    EXPECT_EQ(Value("COMMON", "LOG_LEVEL"), "2");
    EXPECT_EQ(Value("BILL", "BILL_PATH"), "/bill");
    EXPECT_EQ(Value("COMMON", "KEY_PATH"), "DEFAULT");  // only the first [COMMON] counts
    EXPECT_EQ(Value("DB", "DSN"), "DEFAULT");           // "}" ends the section
    EXPECT_EQ(Value("common", "LOG_LEVEL"), "DEFAULT");  // names are case-sensitive
}

TEST_F(ConfFile, LastLineWithoutLineFeedIsRead) {
    Write("[DB]\nUID=kest\nDSN=last");
    EXPECT_EQ(Value("DB", "DSN"), "last");
}

TEST_F(ConfFile, LongValuesAreReportedNotOverflowed) {
    Write("[DB]\nPWD=" + std::string(100, 'p') + "\nUID=" + std::string(63, 'u') + "  \n");
    char szField[64];
    memset(szField, 'Z', sizeof(szField));
    EXPECT_EQ(ReadConfFile(path_.c_str(), "DB", "PWD", "", szField, sizeof(szField)),
              CONF_TOO_LONG);
    EXPECT_EQ(strlen(szField), 63u);
    EXPECT_EQ(ReadConfFile(path_.c_str(), "DB", "UID", "", szField, sizeof(szField)), CONF_FOUND);
    EXPECT_EQ(std::string(szField), std::string(63, 'u'));  // trailing blanks do not count
}

TEST_F(ConfFile, OverlongLinesAreReadInPieces) {
    // Lines are read in pieces of 1,023 characters, each a line of its own.
    Write("[DB]\n#" + std::string(1022, 'x') + "DSN=piece\nUID=u\n");
    EXPECT_EQ(Value("DB", "UID"), "u");
    EXPECT_EQ(Value("DB", "DSN"), "piece");

    // A line of exactly 1,023 characters is still whole: its value fits.
    std::string value(CONF_LINE_MAX - 4, 'v');
    Write("[DB]\nDSN=" + value + "\nUID=u\n");
    int nRet = 0;
    EXPECT_EQ(Value("DB", "DSN", &nRet), value);
    EXPECT_EQ(nRet, CONF_FOUND);
    EXPECT_EQ(Value("DB", "UID"), "u");
    // One character more is cut by the line limit.
    Write("[DB]\nDSN=" + value + "w\n");
    EXPECT_EQ(Value("DB", "DSN", &nRet), value);
    EXPECT_EQ(nRet, CONF_TOO_LONG);
}

TEST_F(ConfFile, MissingFileGivesTheDefault) {
    char szBuf[16];
    EXPECT_EQ(ReadConfFile((dir_ / "none.ini").c_str(), "DB", "DSN", "ALTIBASE_DSN", szBuf,
                           sizeof(szBuf)),
              CONF_NOT_FOUND);
    EXPECT_STREQ(szBuf, "ALTIBASE_DSN");
}

TEST(SkipWhite, NullEmptyAndBlanks) {
    EXPECT_EQ(_Skip_Whitechar(nullptr), nullptr);
    char szEmpty[] = "";
    EXPECT_EQ(_Skip_Whitechar(szEmpty), nullptr);
    char szText[] = " \t\r\nkey";
    EXPECT_STREQ(_Skip_Whitechar(szText), "key");
}

TEST(PathExpansion, VariablesUnsetVariablesAndFailures) {
    setenv("KEST_T_ROOT", "/opt/app", 1);
    unsetenv("KEST_T_UNSET");
    char szPath[64] = "${KEST_T_ROOT}/key/KEST.EXE";
    EXPECT_STREQ(GetEnv(szPath, sizeof(szPath)), "/opt/app/key/KEST.EXE");
    char szBill[64] = "${KEST_T_UNSET}/bill";
    EXPECT_STREQ(GetEnv(szBill, sizeof(szBill)), "/bill");
    char szOnly[64] = "${KEST_T_UNSET}";
    EXPECT_STREQ(GetEnv(szOnly, sizeof(szOnly)), "${KEST_T_UNSET}");  // no words: unchanged
    char szPipe[64] = "/a|b";
    EXPECT_STREQ(GetEnv(szPipe, sizeof(szPipe)), "/a|b");  // expansion fails: unchanged
    char szWords[64] = "a   b";
    EXPECT_STREQ(GetEnv(szWords, sizeof(szWords)), "a b");
    setenv("KTR", "/home/a-long-home", 1);
    char szSmall[8] = "$KTR";
    EXPECT_STREQ(GetEnv(szSmall, sizeof(szSmall)), "/home/a");  // cut, terminated
    unsetenv("KTR");
    EXPECT_EQ(GetEnv(nullptr, 10), nullptr);
    EXPECT_EQ(GetEnv(szPath, 0), nullptr);
    unsetenv("KEST_T_ROOT");
}
