#include "base/dynamic_time.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "base/error.h"

namespace {

class TimeFormat : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        Clr_Error();
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
        Clr_Error();
    }
    // 2026-12-06 14:03:32 UTC
    static constexpr time_t kWhen = 1796565812;
};

void ExpectDefault(const stTimeFormat &st) {
    EXPECT_EQ(st.nYearCnt, 2);
    EXPECT_EQ(st.nMonthCnt, 2);
    EXPECT_EQ(st.nDayCnt, 2);
    EXPECT_EQ(st.nHourCnt, 2);
    EXPECT_EQ(st.nMinuteCnt, 2);
    EXPECT_EQ(st.nSecondCnt, 2);
    EXPECT_EQ(st.nUSecCnt, 3);
    EXPECT_EQ(std::string(st.cDivider, 6), "// ::-");
    EXPECT_EQ(st.cDivider[6], 0);
}

}  // namespace

TEST_F(TimeFormat, ParsesCountsAndSeparators) {
    stTimeFormat st = TimeFormat2Val("MM/DD hh:mm:ss-uuu");
    EXPECT_EQ(st.nYearCnt, 0);
    EXPECT_EQ(st.nMonthCnt, 2);
    EXPECT_EQ(st.nUSecCnt, 3);
    EXPECT_EQ(std::string(st.cDivider), "/ ::-");
    stTimeFormat split = TimeFormat2Val("h:h");
    EXPECT_EQ(split.nHourCnt, 2);
    EXPECT_EQ(split.cDivider[0], ':');
    ExpectDefault(TimeFormat2Val(""));
    ExpectDefault(TimeFormat2Val(nullptr));
    EXPECT_EQ(Get_ErrorCount(), 0u);
}

TEST_F(TimeFormat, InvalidFormatsFallBackToDefaultWithTheirError) {
    ExpectDefault(TimeFormat2Val("DD/MM"));
    EXPECT_NE(std::string(StrError(0)).find("Invalid Format[DD/MM] (TimeFormat2Val/"),
              std::string::npos);
    ExpectDefault(TimeFormat2Val("YYYYY"));
    EXPECT_NE(std::string(StrError(0)).find("Year Count Over[5] in Format[YYYYY]"),
              std::string::npos);
    ExpectDefault(TimeFormat2Val("ss.uuuuuuu"));
    EXPECT_NE(std::string(StrError(0)).find("Microsecond Count Over[7] in Format[ss.uuuuuuu]"),
              std::string::npos);
    ExpectDefault(TimeFormat2Val("DDD"));
    EXPECT_NE(std::string(StrError(0)).find("Day Count Over[3]"), std::string::npos);
}

TEST_F(TimeFormat, PrintsFieldsInFixedOrderWithConsumedSeparators) {
    char szBuf[64];
    timespec ts{kWhen, 123456789};
    EXPECT_STREQ(Time2Str(ts, szBuf, TimeFormat2Val("YYYY-MM-DD hh:mm:ss.uuuuuu"), 64),
                 "2026-12-06 14:03:32.123456");
    EXPECT_STREQ(Time2Str(ts, szBuf, sizeof(szBuf)), "26/12/06 14:03:32-123");
    EXPECT_STREQ(Time2Str(ts, szBuf, TimeFormat2Val("MM/DD hh:mm:ss-uuu"), 64),
                 "12/06 14:03:32-123");
    EXPECT_STREQ(Time2Str(ts, szBuf, TimeFormat2Val("hh:mm:ss"), 64), "14:03:32");
    EXPECT_STREQ(Time2Str(ts, szBuf, TimeFormat2Val("ss"), 64), "32");
    // Fields print in fixed order whatever their order in the text.
    EXPECT_STREQ(Time2Str(ts, szBuf, TimeFormat2Val("ss:hh"), 64), "14:32");
    EXPECT_STREQ(Time2Str(ts, szBuf, TimeFormat2Val("hh|"), 64), "14|");
    timeval tv{kWhen, 5000};
    EXPECT_STREQ(Time2Str(tv, szBuf, TimeFormat2Val("ss.uuuu"), 64), "32.0050");
}

TEST_F(TimeFormat, FractionIsCutNeverCarried) {
    char szBuf[64];
    timespec ts{kWhen, 999999999};
    EXPECT_STREQ(Time2Str(ts, szBuf, TimeFormat2Val("ss.uuu"), 64), "32.999");
    EXPECT_STREQ(Time2Str(ts, szBuf, TimeFormat2Val("u"), 64), "9");
}

TEST_F(TimeFormat, ZeroAndMinusOneMeanNowAndOneIsTheEpoch) {
    char szBuf[64];
    EXPECT_STREQ(Time2Str(static_cast<time_t>(1), szBuf, sizeof(szBuf)), "70/01/01 00:00:01-000");
    std::regex now(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d-\d{3})");
    std::string sNow = Time2Str(static_cast<time_t>(0), szBuf, sizeof(szBuf));
    EXPECT_TRUE(std::regex_match(sNow, now));
    EXPECT_NE(sNow.substr(0, 8), "70/01/01");
    std::string sMinus = Time2Str(static_cast<time_t>(-1), szBuf, sizeof(szBuf));
    EXPECT_NE(sMinus.substr(0, 8), "70/01/01");
    timespec zero{0, 0};
    EXPECT_NE(std::string(Time2Str(zero)).substr(0, 8), "70/01/01");
}

TEST_F(TimeFormat, OutputIsCutAtTheBufferSize) {
    char szBuf[8];
    memset(szBuf, 'Z', sizeof(szBuf));
    timespec ts{kWhen, 0};
    EXPECT_STREQ(Time2Str(ts, szBuf, 6), "26/12");
    EXPECT_EQ(szBuf[6], 'Z');
    EXPECT_EQ(__Time2Str(nullptr, nullptr, szBuf, nullptr, 8), nullptr);
    EXPECT_NE(std::string(StrError(0)).find("ptspec is NULL"), std::string::npos);
}

TEST_F(TimeFormat, PrintFormatOfOneField) {
    char szFmt[16];
    EXPECT_EQ(__Make_PrintTimeFormat(szFmt, sizeof(szFmt), 3, '-'), 0);
    EXPECT_STREQ(szFmt, "%03d-");
    EXPECT_EQ(__Make_PrintTimeFormat(szFmt, sizeof(szFmt), 2, 0), 0);
    EXPECT_STREQ(szFmt, "%02d");
    EXPECT_EQ(__Make_PrintTimeFormat(szFmt, sizeof(szFmt), -1, 0), -1);
    EXPECT_NE(std::string(StrError(0)).find("nCnt[-1] is small"), std::string::npos);
    time_t tStored = 0;
    time_t tNow = Time(&tStored, CLOCK_REALTIME);
    EXPECT_EQ(tNow, tStored);
    EXPECT_GT(tNow, 1700000000);
}
