#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "log_support.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t MB = 1u << 20;
const std::string BODY(1000, 'r');

// Writes records "seq <n> <body>" from..to (exclusive) into section 0.
void WriteRecords(int from, int to) {
    for (int i = from; i < to; ++i) ASSERT_EQ(Log(LOG_3, "seq %d %s\n", i, BODY.c_str()), 0);
}

std::vector<int> SequenceOf(const std::string &path) {
    std::vector<int> seq;
    for (const std::string &line : ReadLines(path)) {
        seq.push_back(std::stoi(MessageOf(line).substr(4)));
    }
    return seq;
}

// Restores the time zone of the process when a test changed it.
class TimeZone {
public:
    explicit TimeZone(const std::string &tz) {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz.c_str(), 1);
        tzset();
    }
    ~TimeZone() {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

// A fixed-offset zone whose local clock reads 23:59:58 now.
std::string ZoneJustBeforeMidnight() {
    long secondOfDay = static_cast<long>(time(nullptr) % 86400);
    long east = (86400 - 2 - secondOfDay) % 86400;
    if (east > 43200) east -= 86400;
    long a = labs(east);
    char tz[32];
    // POSIX zones count westwards: "XXX-hh:mm:ss" lies east of UTC.
    snprintf(tz, sizeof(tz), "KST%c%02ld:%02ld:%02ld", east > 0 ? '-' : '+', a / 3600,
             a / 60 % 60, a % 60);
    return tz;
}

// Runs fn in a child process; false when it failed or had not ended within
// the time-out (it is then killed).
bool InChildWithin(std::chrono::seconds timeout, const std::function<bool()> &fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn() ? 0 : 1);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Logs records "seq <n> ..." from `from` on until done() holds after one of
// them; the next number, or -1 when done() did not hold within 30 s.
int LogUntil(int from, const std::function<bool()> &done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int i = from; std::chrono::steady_clock::now() < deadline; ++i) {
        if (Log(LOG_3, "seq %d %s\n", i, BODY.c_str()) != 0) return -1;
        if (done()) return i + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::vector<int> Range(int from, int to) {
    std::vector<int> seq;
    for (int i = from; i < to; ++i) seq.push_back(i);
    return seq;
}

}  // namespace

TEST(LogRotation, KeepsAtMostCountFilesLosesNoRecordLeavesOtherDays) {
    ScratchDir dir;
    std::string prefix = dir / "app";
    std::vector<std::string> oldDay = {prefix + ".log.20000101", prefix + ".log.20000101_1",
                                       prefix + ".log.20000101_2", prefix + ".log.20000101_3"};
    for (const std::string &name : oldDay) std::ofstream(name) << name;

    ASSERT_EQ(Init_Log("RotateBlock", prefix.c_str()), 0);
    ASSERT_EQ(Set_Log(LOG_3, 3, 1, "MM/DD hh:mm:ss-uuu"), 0);
    constexpr int RECORDS = 4600;  // about 4.5 MB: four rotations at 1 MB
    WriteRecords(0, RECORDS);

    std::string today = TodayName(prefix);
    std::vector<std::string> expectedFiles;
    for (const std::string &name : oldDay) expectedFiles.push_back(fs::path(name).filename());
    for (const char *suffix : {"", "_1", "_2"}) {
        expectedFiles.push_back(fs::path(today + suffix).filename());
    }
    std::sort(expectedFiles.begin(), expectedFiles.end());
    EXPECT_EQ(FileNames(dir.path()), expectedFiles);

    // The kept files hold one unbroken run of the newest records.
    std::vector<int> seq;
    for (const char *suffix : {"_2", "_1", ""}) {
        std::vector<int> part = SequenceOf(today + suffix);
        if (*suffix != '\0') {
            EXPECT_GE(fs::file_size(today + suffix), MB);
            EXPECT_LT(fs::file_size(today + suffix), MB + 1100);
        }
        seq.insert(seq.end(), part.begin(), part.end());
    }
    ASSERT_FALSE(seq.empty());
    EXPECT_EQ(seq.back(), RECORDS - 1);
    for (size_t i = 1; i < seq.size(); ++i) ASSERT_EQ(seq[i], seq[i - 1] + 1);
    EXPECT_GT(seq.size(), size_t(2 * 1000));  // two full rotated files and the current one

    for (const std::string &name : oldDay) {
        EXPECT_EQ(ReadLines(name), std::vector<std::string>{name});
    }
}

TEST(LogRotation, CountZeroKeepsEveryRotationEvenWithinOneSecond) {
    ScratchDir dir;
    std::string prefix = dir / "app";
    ASSERT_EQ(Init_Log("RotateZeroBlock", prefix.c_str()), 0);
    ASSERT_EQ(Set_Log(LOG_3, 0, 1, "MM/DD hh:mm:ss-uuu"), 0);
    constexpr int RECORDS = 3500;
    WriteRecords(0, RECORDS);

    std::vector<std::string> names = FileNames(dir.path());
    EXPECT_GE(names.size(), 4u);
    std::multiset<int> seen;
    std::string today = fs::path(TodayName(prefix)).filename();
    for (const std::string &name : names) {
        EXPECT_EQ(name.rfind(today, 0), 0u) << name;
        for (int n : SequenceOf(dir / name)) seen.insert(n);
    }
    ASSERT_EQ(seen.size(), size_t(RECORDS));
    for (int i = 0; i < RECORDS; ++i) ASSERT_EQ(seen.count(i), 1u) << i;
}

TEST(LogRotation, RestartContinuesTodaysFileAndItsSize) {
    ScratchDir dir;
    std::string prefix = dir / "app";
    ASSERT_EQ(Init_Log("RestartRotateBlock", prefix.c_str()), 0);
    ASSERT_EQ(Set_Log(LOG_3, 3, 1, "MM/DD hh:mm:ss-uuu"), 0);
    WriteRecords(0, 600);
    ASSERT_EQ(Init_Log("RestartRotateBlock", prefix.c_str()), 0);
    ASSERT_EQ(Set_LogFileSize(0, 1), 0);
    WriteRecords(600, 1200);
    // The size counted from the existing file forced one rotation.
    std::string today = TodayName(prefix);
    std::vector<int> older = SequenceOf(today + "_1");
    ASSERT_FALSE(older.empty());
    EXPECT_EQ(older.front(), 0);
    EXPECT_GT(older.back(), 600);
    EXPECT_EQ(SequenceOf(today).back(), 1199);
}

TEST(LogRotation, LocalMidnightStartsTheNextDaysFile) {
    TimeZone zone(ZoneJustBeforeMidnight());
    ScratchDir dir;
    std::string prefix = dir / "app";
    ASSERT_EQ(Init_Log("MidnightBlock", prefix.c_str()), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_3), 0);
    std::string before = TodayName(prefix);
    ASSERT_EQ(Log(LOG_3, "before\n"), 0);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (TodayName(prefix) == before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string after = TodayName(prefix);
    ASSERT_NE(after, before) << "the local date did not change";
    ASSERT_EQ(Log(LOG_3, "after\n"), 0);

    ASSERT_EQ(ReadLines(before).size(), 1u);
    EXPECT_EQ(MessageOf(ReadLines(before)[0]), "before");
    ASSERT_EQ(ReadLines(after).size(), 1u);
    EXPECT_EQ(MessageOf(ReadLines(after)[0]), "after");
}

TEST(LogRotation, LimitsAreBoundedZeroIsTheDefaultHugeFilesAndCountsRotate) {
    ScratchDir dir;
    std::string prefix = dir / "app";
    ASSERT_EQ(Init_Log("LimitBlock", prefix.c_str()), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_3), 0);
    std::string today = TodayName(prefix);
    const std::vector<std::string> todayOnly{fs::path(today).filename()};

    // 0 reads back as configured and means the default limit, not a
    // rotation at every record.
    ASSERT_EQ(Set_LogFileSize(0, 0), 0);
    EXPECT_EQ(Get_LogFileSize(0), 0);
    WriteRecords(0, 3);
    EXPECT_EQ(FileNames(dir.path()), todayOnly);
    // A limit that another process wrote beyond what the setter stores
    // (4096 MB is 0 in 32 bits of bytes) is bounded as well.
    _ST_LOG_LIST *entry = SharedEntry("LimitBlock", 0);
    ASSERT_NE(entry, nullptr);
    entry->unLogFileSize = 4096;
    WriteRecords(3, 6);
    EXPECT_EQ(FileNames(dir.path()), todayOnly);
    EXPECT_EQ(SequenceOf(today), (std::vector<int>{0, 1, 2, 3, 4, 5}));

    // A file of 2 GiB and more found at opening is rotated, also under a
    // stored limit far above what the setter stores (bounded to 1024 MB).
    std::string bigPrefix = dir / "big";
    std::string bigToday = TodayName(bigPrefix);
    constexpr off_t BIG = (off_t(1) << 31) + 100;
    {
        std::ofstream(bigToday).close();
        ASSERT_EQ(truncate(bigToday.c_str(), BIG), 0);  // sparse
    }
    ASSERT_EQ(Add_Log(bigPrefix.c_str(), LOG_DIRECT), 1);
    ASSERT_EQ(Set_LogMore(1, LOG_3, 5, 1, "hh:mm:ss"), 0);
    _ST_LOG_LIST *bigEntry = SharedEntry("LimitBlock", 1);
    ASSERT_NE(bigEntry, nullptr);
    bigEntry->unLogFileSize = UINT32_MAX;
    ASSERT_EQ(Log(1, LOG_3, "after the big one\n"), 0);
    EXPECT_EQ(fs::file_size(bigToday + "_1"), static_cast<uintmax_t>(BIG));
    EXPECT_EQ(ReadLines(bigToday).size(), 1u);

    // A huge rotation count costs only the rotated files that exist.
    ASSERT_EQ(Set_LogFileSize(1, 1), 0);
    ASSERT_EQ(Set_LogFileCnt(1, UINT32_MAX), 0);
    EXPECT_TRUE(InChildWithin(std::chrono::seconds(60), [&] {
        for (int i = 0; i < 1100; ++i) {
            if (Log(1, LOG_3, "seq %d %s\n", i, BODY.c_str()) != 0) return false;
        }
        return true;
    })) << "the rotation did not end within 60 s";
    EXPECT_EQ(fs::file_size(bigToday + "_2"), static_cast<uintmax_t>(BIG));
    EXPECT_TRUE(fs::exists(bigToday + "_1"));
}

TEST(LogRotation, PathChangedWhileWritersRotateReachesOnlyTheOldOrTheNewFile) {
    ScratchDir dir;
    std::string a = dir / "a";
    std::string bb = dir / "bb";
    ASSERT_EQ(Init_Log("PathSwitchBlock", a.c_str()), 0);
    ASSERT_EQ(Set_Log(LOG_3, 2, 1, "hh:mm:ss"), 0);
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        for (unsigned int i = 0; !stop.load(); ++i) {
            EXPECT_EQ(Set_LogPath(0, (i & 1) != 0 ? a.c_str() : bb.c_str()), 0);
            EXPECT_EQ(Set_LogFileCnt(0, 2 + i % 3), 0);
        }
    });
    constexpr int WRITERS = 2, RECORDS = 8000;  // about 16 rotations at 1 MB
    std::vector<std::thread> writers;
    for (int t = 0; t < WRITERS; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < RECORDS; ++i) Log(LOG_3, "w%d %d %s\n", t, i, BODY.c_str());
        });
    }
    for (std::thread &w : writers) w.join();
    stop.store(true);
    setter.join();

    std::vector<std::string> names = FileNames(dir.path());
    EXPECT_FALSE(names.empty());
    for (const std::string &name : names) {
        EXPECT_TRUE(name.rfind("a.log.", 0) == 0 || name.rfind("bb.log.", 0) == 0) << name;
    }
}

TEST(LogRotation, AFileMovedReplacedOrRemovedUnderTheWriterIsReopened) {
    ScratchDir dir;
    std::string prefix = dir / "app";
    ASSERT_EQ(Init_Log("MovedFileBlock", prefix.c_str()), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_3), 0);
    std::string today = TodayName(prefix);
    WriteRecords(0, 1);

    // Moved away and an empty file put in its place, as a rotation tool does:
    // the records go on in the new file, none is lost.
    std::string moved = today + ".moved";
    ASSERT_EQ(rename(today.c_str(), moved.c_str()), 0);
    std::ofstream(today).close();
    int next = LogUntil(1, [&] { return fs::file_size(today) > 0; });
    ASSERT_GT(next, 1) << "no record reached the new file within 30 s";
    std::vector<int> seq = SequenceOf(moved);
    std::vector<int> later = SequenceOf(today);
    ASSERT_FALSE(later.empty());
    seq.insert(seq.end(), later.begin(), later.end());
    EXPECT_EQ(seq, Range(0, next));

    // Removed: a new file of the same name takes the later records.
    ASSERT_EQ(unlink(today.c_str()), 0);
    int after = LogUntil(next, [&] { return fs::exists(today); });
    ASSERT_GT(after, next) << "the file was not made again within 30 s";
    later = SequenceOf(today);
    ASSERT_FALSE(later.empty());
    EXPECT_EQ(later, Range(later.front(), after));
}
