#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <regex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "log/log.h"
#include "log_support.h"
#include "scratch_dir.h"

// Whether Log(level, format, 0) and Log(level, format, NULL) compile; they
// would pick the form that takes a va_list pointer and drop the record.
template <typename Level>
auto LoneZeroCompiles(Level level) -> decltype(Log(level, "%d\n", 0), std::true_type{});
std::false_type LoneZeroCompiles(...);
template <typename Level>
auto LoneNullCompiles(Level level) -> decltype(Log(level, "%p\n", nullptr), std::true_type{});
std::false_type LoneNullCompiles(...);

namespace {

// Logs through one section of a block of its own and reads the lines back.
class LogFile {
public:
    explicit LogFile(const char *block, unsigned int level = LOG_5 | LOG_D | LOG_T) {
        EXPECT_EQ(Init_Log(block, (dir_ / "app").c_str()), 0);
        EXPECT_EQ(Set_LogLevel(0, level), 0);
    }
    std::vector<std::string> Lines() const { return ReadLines(TodayName(dir_ / "app")); }
    // Lines with the prefix removed.
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        for (const std::string &line : Lines()) out.push_back(MessageOf(line));
        return out;
    }
    const ScratchDir &Dir() const { return dir_; }

private:
    ScratchDir dir_;
};

const std::string SEP(60, '-');

}  // namespace

TEST(LogRecords, PrefixLengthsAndCallErrors) {
    LogFile file("RecordBlock");
    ASSERT_EQ(Log(LOG_3, "plain %d\n", 7), 0);
    ASSERT_EQ(Log(LOG_3, "[FILE] Try Open File: %s", "f"), 0);
    std::string exact(8191, 'x'), longer(9000, 'y');
    ASSERT_EQ(Log(0, LOG_4, "%s", exact.c_str()), 0);
    ASSERT_EQ(Log(LOG_2, "\n%s", longer.c_str()), 0);
    ASSERT_EQ(Log(LOG_F, "level zero reaches handlers only\n"), 0);

    std::vector<std::string> lines = file.Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\[\d\d/\d\d \d\d:\d\d:\d\d-\d{3}\]N\) plain 7)")))
        << lines[0];
    // A record without its own line end, short or cut at the record size, still ends its line.
    EXPECT_EQ(MessageOf(lines[1]), "[FILE] Try Open File: f");
    EXPECT_EQ(MessageOf(lines[2]), exact);
    EXPECT_EQ(lines[3].substr(lines[3].size() - 4), "]E) ");
    EXPECT_EQ(lines[4], std::string(8190, 'y'));

    EXPECT_FALSE(decltype(LoneZeroCompiles(LOG_3))::value);
    EXPECT_FALSE(decltype(LoneNullCompiles(LOG_3))::value);

    Clr_Error();
    EXPECT_EQ(Log(1, LOG_1, "x\n"), -1);
    EXPECT_TRUE(ReportHas("Invalid sect-id [unLogSect:1/ConfiguredSect:1]"));
    EXPECT_EQ(T_Dump(2, LOG_1, "t", "x\n"), -1);
    EXPECT_TRUE(ReportHas("Invalid Sector [unLogSect:2/ConfiguredSect:1]"));
    EXPECT_EQ(H_Dump(0, LOG_1, "d", 1, nullptr), -1);
    EXPECT_TRUE(ReportHas("Invalid parameter [pcFormat is NULL]"));
    EXPECT_EQ(file.Lines().size(), 5u);
}

TEST(LogDumps, HexDumpLinesByteForByte) {
    LogFile file("HexBlock");
    std::string letters = "ABCDEFGHIJKLMNOPQ";
    const char five[] = {'A', 'B', 0, 1, 'C'};
    const char high[] = {'\x7f', '\x80', '\xff', ' '};
    ASSERT_EQ(H_Dump(LOG_3, five, 5, "five"), 0);  // the dump still starts its own line
    ASSERT_EQ(H_Dump(0, LOG_3, letters.data(), 17, "seventeen\n"), 0);
    ASSERT_EQ(H_Dump(LOG_3, high, 4, "high\n"), 0);
    ASSERT_EQ(H_Dump(LOG_3, nullptr, 4, "null\n"), 0);
    ASSERT_EQ(H_Dump(LOG_3, five, 0, "empty\n"), 0);

    std::vector<std::string> expected = {
        "five",
        SEP,
        "000 | 41 42 00 01   43 " + std::string(33, ' ') + "| AB._C",
        SEP,
        "seventeen",
        SEP,
        "000 | 41 42 43 44   45 46 47 48   49 4A 4B 4C   4D 4E 4F 50 | ABCDEFGHIJKLMNOP",
        "016 | 51 " + std::string(45, ' ') + "| Q",
        SEP,
        "high",
        SEP,
        "000 | 7F 80 FF 20 " + std::string(36, ' ') + "| ___ ",
        SEP,
        "null",
        "empty",
    };
    EXPECT_EQ(file.Messages(), expected);
    // Every dump line carries the record's prefix.
    std::vector<std::string> lines = file.Lines();
    EXPECT_EQ(lines[2].substr(0, lines[2].size() - expected[2].size()),
              lines[0].substr(0, lines[0].size() - expected[0].size()));
}

TEST(LogDumps, TextDumpLinesAndDumpsNeedTheirFlags) {
    LogFile file("TextBlock");
    ASSERT_EQ(T_Dump(LOG_3, "a\r\nb\n", "crlf\n"), 0);
    ASSERT_EQ(T_Dump(0, LOG_3, "a\n\nb", "blank\n"), 0);
    ASSERT_EQ(T_Dump(LOG_3, "a\rb", "cr\n"), 0);
    ASSERT_EQ(T_Dump(LOG_3, nullptr, "null\n"), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_5), 0);
    ASSERT_EQ(T_Dump(LOG_3, "hidden", "no text flag\n"), 0);
    ASSERT_EQ(H_Dump(LOG_3, "hidden", 6, "no dump flag\n"), 0);

    std::vector<std::string> expected = {
        "crlf", SEP, "a", "b", SEP, "blank", SEP, "a", "", "b", SEP,
        "cr",   SEP, "a", "b", SEP, "null",  SEP, SEP, "no text flag", "no dump flag",
    };
    EXPECT_EQ(file.Messages(), expected);
}

TEST(LogRecords, ThreadsNeverInterleaveLines) {
    LogFile file("ThreadBlock");
    constexpr int THREADS = 4, RECORDS = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < RECORDS; ++i) {
                std::string body(static_cast<size_t>(1 + (i * 37 + t) % 300), char('a' + t));
                Log(LOG_3, "t%d %d %s\n", t, i, body.c_str());
            }
        });
    }
    for (std::thread &th : threads) th.join();

    std::vector<int> next(THREADS, 0);
    std::regex shape(R"(\[\d\d/\d\d \d\d:\d\d:\d\d-\d{3}\]N\) t(\d) (\d+) ([a-d]+))");
    std::vector<std::string> lines = file.Lines();
    ASSERT_EQ(lines.size(), size_t(THREADS * RECORDS));
    for (const std::string &line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        int t = std::stoi(m[1]), i = std::stoi(m[2]);
        ASSERT_EQ(i, next[t]++) << line;
        ASSERT_EQ(m[3].str(), std::string(static_cast<size_t>(1 + (i * 37 + t) % 300), char('a' + t)));
    }
}

TEST(LogRecords, UnopenableFileFallsBackToStdoutAndIsRetried) {
    LogFile file("FallbackBlock");
    std::string blocker = file.Dir() / "blocker";
    std::ofstream(blocker) << "a file where a directory should be";
    ASSERT_EQ(Set_LogPath(0, (blocker + "/app").c_str()), 0);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(Log(LOG_1, "first\n"), 0);
    ASSERT_EQ(Log(LOG_1, "second\n"), 0);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("]C) first\n"), std::string::npos);
    EXPECT_NE(out.find("]C) second\n"), std::string::npos);
    std::string failure = "Open Log(" + TodayName(blocker + "/app") + ",a+) fails! [";
    size_t first = err.find(failure);
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_NE(err.find(failure, first + 1), std::string::npos) << "each record retries";

    // A directory in place of the file sends records to standard output too.
    std::string dirPrefix = file.Dir() / "asdir";
    std::filesystem::create_directories(TodayName(dirPrefix));
    ASSERT_EQ(Set_LogPath(0, dirPrefix.c_str()), 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(Log(LOG_1, "third\n"), 0);
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("]C) third\n"), std::string::npos);
    EXPECT_NE(err.find("Failed Make Log file path"), std::string::npos);

    ASSERT_EQ(Set_LogPath(0, (file.Dir() / "app").c_str()), 0);
    ASSERT_EQ(Log(LOG_1, "recovered\n"), 0);
    EXPECT_EQ(file.Messages(), std::vector<std::string>{"recovered"});
}

// A full disk (a file size limit here, in a child of its own): a record that
// does not reach the file whole is reported, and what stdio still held of it
// is not glued to the head of the next record once space is back.
TEST(LogRecords, AFullDiskIsReportedAndTheNextRecordStartsItsOwnLine) {
    ScratchDir dir;
    std::string prefix = dir / "app";
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        if (Init_Log("FullDiskBlock", prefix.c_str()) != 0) _exit(2);
        Set_LogLevel(0, LOG_3);
        Log(LOG_1, "before\n");
        rlimit stLimit{};
        getrlimit(RLIMIT_FSIZE, &stLimit);
        rlim_t unWas = stLimit.rlim_cur;
        stLimit.rlim_cur = 100;
        if (setrlimit(RLIMIT_FSIZE, &stLimit) != 0) _exit(3);
        int nRefused = 0;
        for (int i = 0; i < 20; ++i)
            if (Log(LOG_1, "during %02d abcdefghijklmnopqrstuvwxyz\n", i) != 0) ++nRefused;
        stLimit.rlim_cur = unWas;
        setrlimit(RLIMIT_FSIZE, &stLimit);
        if (Log(LOG_1, "after\n") != 0) _exit(4);
        _exit(nRefused > 0 ? 0 : 5);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0) << "5: every record reported as written";
    std::vector<std::string> lines = ReadLines(TodayName(prefix));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(MessageOf(lines.front()), "before");
    EXPECT_EQ(lines.back().rfind('['), 0u) << "a torn record's head glued to it: " << lines.back();
    EXPECT_EQ(MessageOf(lines.back()), "after");
}
