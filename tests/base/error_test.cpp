#include "base/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> ReportLines(const char *pcReport) {
    std::vector<std::string> lines;
    std::string text(pcReport);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

class ErrorRegistry : public ::testing::Test {
protected:
    void SetUp() override { Init_BaseLib(); }
    void TearDown() override { Init_BaseLib(); }
};

const char *AppText(int nErrno) { return nErrno == 1200 ? "Queue gone" : nullptr; }

}  // namespace

TEST_F(ErrorRegistry, EntryFormatAndReportHeader) {
    __Set_Error(ENOMEM, "Add_Log", 133, "Log sector is Over");
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(Get_ErrorCount(), 1u);
    auto lines = ReportLines(StrError(0));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "============ Error Information ==============");
    std::regex entry(
        R"(\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d-\d{3}\] Cannot allocate memory \(012\) -  \[Add_Log/133\] Log sector is Over)");
    EXPECT_TRUE(std::regex_match(lines[1], entry)) << lines[1];
    EXPECT_EQ(Get_ErrorCount(), 0u);
}

TEST_F(ErrorRegistry, ClassVariantNamesClassAndStripsOneLineFeed) {
    __Set_Error(EINVAL, "OdbcDbc", "connect", 42, "bad dsn\n");
    std::string report = StrError(0);
    EXPECT_NE(report.find("Invalid argument (022) -  [OdbcDbc/connect/42] bad dsn\n"),
              std::string::npos)
        << report;
    EXPECT_EQ(report.find("bad dsn\n\n"), std::string::npos);
}

TEST_F(ErrorRegistry, PlainVariantKeepsOldest31AndDropsNewer) {
    for (int i = 1; i <= 32; ++i) __Set_Error(EINVAL, "f", i, "failure %d", i);
    EXPECT_EQ(Get_ErrorCount(), 31u);
    auto lines = ReportLines(StrError(0));
    ASSERT_EQ(lines.size(), 32u);
    EXPECT_NE(lines[1].find("failure 31"), std::string::npos);
    EXPECT_NE(lines[31].find("failure 1"), std::string::npos);
    for (const auto &line : lines) EXPECT_EQ(line.find("failure 32"), std::string::npos);
}

TEST_F(ErrorRegistry, ClassVariantDropsOldestWhenFull) {
    for (int i = 1; i <= 33; ++i) __Set_Error(EINVAL, "C", "f", i, "failure %d", i);
    EXPECT_EQ(Get_ErrorCount(), 31u);
    auto lines = ReportLines(StrError(0));
    ASSERT_EQ(lines.size(), 32u);
    EXPECT_NE(lines[1].find("failure 33"), std::string::npos);
    EXPECT_NE(lines[31].find("failure 3"), std::string::npos);
}

TEST_F(ErrorRegistry, StrErrorWithoutEntriesGivesSystemTextOrNothing) {
    __Set_Error(EINVAL, "f", 1, "x");
    StrError(0);
    EXPECT_STREQ(StrError(EINVAL), strerror(EINVAL));
    EXPECT_STREQ(StrError(E_LIB_INTERNAL), "");
    EXPECT_STREQ(StrError(5000), "");
}

TEST_F(ErrorRegistry, ErrorTextsOfLibraryAndApplicationNumbers) {
    __Set_Error(E_LIB_INTERNAL, "f", 1, "x");
    EXPECT_NE(std::string(StrError(0)).find("Invalid Parameter (1155)"), std::string::npos);

    EXPECT_EQ(Add_StrErrFunc(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    Clr_Error();
    ASSERT_EQ(Add_StrErrFunc(AppText), 0);
    __Set_Error(1200, "f", 1, "x");
    __Set_Error(1300, "f", 2, "y");
    std::string report = StrError(0);
    EXPECT_NE(report.find("] Queue gone (1200) -  [f/1] x"), std::string::npos) << report;
    EXPECT_NE(report.find("]  (1300) -  [f/2] y"), std::string::npos) << report;
}

TEST_F(ErrorRegistry, LongDetailIsCutButKeepsTheError) {
    std::string detail(2000, 'x');
    __Set_Error(EBUSY, "Push_Queue", 7, "%s", detail.c_str());
    auto lines = ReportLines(StrError(0));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("Device or resource busy (016) -  [Push_Queue/7] xxx"),
              std::string::npos);
    EXPECT_LE(lines[1].size(), ERR_ENTRY_SIZE - 1);
}

TEST_F(ErrorRegistry, NullFormatRecordsNothing) {
    __Set_Error(EINVAL, "f", 1, nullptr);
    EXPECT_EQ(Get_ErrorCount(), 0u);
}

TEST_F(ErrorRegistry, EachThreadHasItsOwnRegistry) {
    __Set_Error(EINVAL, "main", 1, "main thread");
    std::string other;
    unsigned int unOtherCnt = 99;
    std::thread t([&] {
        unOtherCnt = Get_ErrorCount();
        __Set_Error(EBUSY, "worker", 2, "worker thread");
        other = StrError(0);
    });
    t.join();
    EXPECT_EQ(unOtherCnt, 0u);
    EXPECT_EQ(other.find("main thread"), std::string::npos);
    EXPECT_NE(other.find("worker thread"), std::string::npos);
    EXPECT_EQ(Get_ErrorCount(), 1u);
    EXPECT_NE(Get_ErrorThreadId(), 0u);
}
