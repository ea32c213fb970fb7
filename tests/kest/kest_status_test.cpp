// The status file: its text as a node-exporter textfile collector reads it,
// the whole-file replacement, its path setting, the counters of the cycle and
// the ending's text.
#include "kest_status.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/string.h"
#include "kest_manager.h"
#include "file_text.h"
#include "scratch_dir.h"

using kest::FormatStatus;
using kest::KestManager;
using kest::ReplaceFile;
using kest::StatusFile;
using kest::StatusSnapshot;

namespace {

// Sample lines by "name{labels}", as a collector parses them; every sample
// must be announced by its HELP and TYPE lines.
std::map<std::string, std::string> Samples(const std::string &text) {
    std::map<std::string, std::string> samples;
    std::istringstream in(text);
    std::string line, help, type;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            help = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            type = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        size_t unSpace = line.rfind(' ');
        EXPECT_NE(unSpace, std::string::npos) << line;
        std::string key = line.substr(0, unSpace);
        std::string name = key.substr(0, key.find('{'));
        EXPECT_EQ(help, name) << "no HELP line before " << line;
        EXPECT_EQ(type, name) << "no TYPE line before " << line;
        EXPECT_TRUE(samples.emplace(key, line.substr(unSpace + 1)).second) << "twice: " << key;
    }
    return samples;
}

class ConfigFile {
  public:
    explicit ConfigFile(const std::string &body) : path_(dir_ / "kest.ini") {
        std::ofstream(path_) << body;
    }
    const char *path() const { return path_.c_str(); }

  private:
    ScratchDir dir_;
    std::string path_;
};

}  // namespace

TEST(StatusText, EveryValueAsACollectorReadsIt) {
    StatusSnapshot stSnap;
    stSnap.nRole = kest::ACTIVE;
    stSnap.role = "ACTIVE_SYSTEM";
    stSnap.bConnected = true;
    stSnap.bCommitPerPass = true;
    stSnap.ulRowsBilled = 12345678901ULL;
    stSnap.ulRowsRejected = 7;
    stSnap.ulPasses = 42;
    stSnap.tLastPass = 1765000000;
    stSnap.billFile = "/opt/kest/bill/SMSC_2026-12-06_000";
    stSnap.tStarted = 1764990000;
    stSnap.tWritten = 1765000001;
    stSnap.bUp = false;
    stSnap.exitReason = "hand_over";
    stSnap.nBillWritable = 1;
    stSnap.nRejectWritable = 0;

    std::string text = FormatStatus(stSnap);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    auto samples = Samples(text);
    EXPECT_EQ(samples.size(), 16u);
    EXPECT_EQ(samples["kest_up"], "0");
    EXPECT_EQ(samples["kest_build_info{version=\"" KEST_VERSION "\"}"], "1");
    EXPECT_EQ(samples["kest_exit_info{reason=\"hand_over\"}"], "1");
    EXPECT_EQ(samples["kest_bill_folder_writable"], "1");
    EXPECT_EQ(samples["kest_reject_folder_writable"], "0");
    EXPECT_EQ(samples["kest_role{role=\"ACTIVE_SYSTEM\"}"], "3");
    EXPECT_EQ(samples["kest_db_connected"], "1");
    EXPECT_EQ(samples["kest_commit_per_pass"], "1");
    EXPECT_EQ(samples["kest_journal"], "0");
    EXPECT_EQ(samples["kest_rows_billed_total"], "12345678901");
    EXPECT_EQ(samples["kest_rows_rejected_total"], "7");
    EXPECT_EQ(samples["kest_passes_total"], "42");
    EXPECT_EQ(samples["kest_last_pass_timestamp_seconds"], "1765000000");
    EXPECT_EQ(samples["kest_bill_file_info{file=\"/opt/kest/bill/SMSC_2026-12-06_000\"}"], "1");
    EXPECT_EQ(samples["kest_start_time_seconds"], "1764990000");
    EXPECT_EQ(samples["kest_status_time_seconds"], "1765000001");
    EXPECT_NE(text.find("# TYPE kest_rows_billed_total counter\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE kest_passes_total counter\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE kest_rows_rejected_total counter\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE kest_last_pass_timestamp_seconds gauge\n"), std::string::npos);

    // Before anything happened: no role, no pass, no bill file.
    // Running, folders not yet checked: no reason, no folder gauges.
    auto empty = Samples(FormatStatus(StatusSnapshot{}));
    EXPECT_EQ(empty.size(), 13u);
    EXPECT_EQ(empty["kest_up"], "1");
    EXPECT_EQ(empty["kest_role{role=\"\"}"], "0");
    EXPECT_EQ(empty["kest_db_connected"], "0");
    EXPECT_EQ(empty["kest_last_pass_timestamp_seconds"], "0");
    EXPECT_EQ(empty["kest_bill_file_info{file=\"\"}"], "1");
}

TEST(StatusText, LabelValuesAreEscaped) {
    StatusSnapshot stSnap;
    stSnap.billFile = "/bill/a\"b\\c\nd";
    std::string text = FormatStatus(stSnap);
    EXPECT_NE(text.find("kest_bill_file_info{file=\"/bill/a\\\"b\\\\c\\nd\"} 1\n"),
              std::string::npos)
        << text;
    // The raw line feed must not split the sample line.
    EXPECT_EQ(Samples(text).count("kest_bill_file_info{file=\"/bill/a\\\"b\\\\c\\nd\"}"), 1u);
}

TEST(StatusReplace, WholeFileReplacedWithoutTemporaryLeft) {
    ScratchDir dir;
    std::string path = dir / "kest.prom";
    ASSERT_EQ(ReplaceFile(path, "first 1\n"), 0);
    EXPECT_EQ(ReadAll(path), "first 1\n");
    ASSERT_EQ(ReplaceFile(path, "second 2\n"), 0);
    EXPECT_EQ(ReadAll(path), "second 2\n");
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"kest.prom"});

    // A directory that does not exist: the error comes back, nothing is made.
    EXPECT_EQ(ReplaceFile(dir / "missing/kest.prom", "x\n"), ENOENT);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST(StatusPath, DefaultKeyAndEmptyValue) {
    setenv("PKG_ROOT", "/opt/app", 1);
    KestManager *pm = KestManager::getInstance();
    auto pathFrom = [pm](const std::string &text) {
        ConfigFile conf(text);
        StrCpy(pm->common.CONFIG_PATH, conf.path(), KestManager::PATH_SIZE);
        pm->readConfigINI();
        return std::string(pm->common.STATUS_FILE);
    };
    EXPECT_EQ(pathFrom("[COMMON]\nLOG_LEVEL = 3\n"), "/opt/app/log/kest.prom");
    EXPECT_EQ(pathFrom("[COMMON]\nSTATUS_FILE = ${PKG_ROOT}/metrics/kest.prom # scraped\n[BILL]\n"),
              "/opt/app/metrics/kest.prom");
    EXPECT_EQ(pathFrom("[COMMON]\nSTATUS_FILE =\n[BILL]\n"), "");
    unsetenv("PKG_ROOT");
}

TEST(StatusCounters, PassesRowsConnectionAndRoleReachTheFile) {
    ScratchDir dir;
    std::string path = dir / "kest.prom";
    KestManager *pm = KestManager::getInstance();
    pm->ha.MODE = kest::ACTIVE;
    StatusFile status(path);
    EXPECT_FALSE(std::filesystem::exists(path));

    status.connected(true);
    auto samples = Samples(ReadAll(path));
    EXPECT_EQ(samples["kest_db_connected"], "1");
    EXPECT_EQ(samples["kest_role{role=\"ACTIVE_SYSTEM\"}"], "3");
    EXPECT_EQ(samples["kest_passes_total"], "0");

    time_t tBefore = time(nullptr);
    status.passDone(9, dir / "SMSC_2026-12-06_000");
    status.passDone(4, dir / "SMSC_2026-12-06_000");
    status.passDone(0, "");  // an empty pass keeps the file name it had
    samples = Samples(ReadAll(path));
    EXPECT_EQ(samples["kest_rows_billed_total"], "13");
    EXPECT_EQ(samples["kest_passes_total"], "3");
    EXPECT_GE(std::stoll(samples["kest_last_pass_timestamp_seconds"]), tBefore);
    EXPECT_EQ(samples["kest_bill_file_info{file=\"" + (dir / "SMSC_2026-12-06_000") + "\"}"], "1");

    // A pass cut short by the role or the database: its rows still count.
    pm->ha.MODE = kest::STANDBY;
    status.rowsBilled(2);
    status.connected(false);
    samples = Samples(ReadAll(path));
    EXPECT_EQ(samples["kest_db_connected"], "0");
    EXPECT_EQ(samples["kest_role{role=\"STANDBY_SYSTEM\"}"], "2");
    EXPECT_EQ(samples["kest_rows_billed_total"], "15");
    EXPECT_EQ(samples["kest_passes_total"], "3");
    pm->ha.MODE = 0;
}

TEST(StatusCounters, UnwritableFileNeverStopsTheCycleAndRecovers) {
    ScratchDir dir;
    std::string sub = dir / "later";
    StatusFile status(sub + "/kest.prom");
    status.passDone(2, "");  // the directory is missing: counted, not written
    EXPECT_EQ(status.snapshot().ulRowsBilled, 2u);
    std::filesystem::create_directories(sub);
    status.passDone(3, "");
    EXPECT_EQ(Samples(ReadAll(sub + "/kest.prom"))["kest_rows_billed_total"], "5");

    StatusFile disabled("");
    disabled.passDone(1, "");
    EXPECT_EQ(disabled.snapshot().ulPasses, 1u);
}

TEST(StatusCounters, BusyPassesReplaceTheFileAtMostOnceASecond) {
    ScratchDir dir;
    std::string path = dir / "kest.prom";
    StatusFile status(path);
    status.connected(true);
    // A thousand passes with rows take far less than a second: the file
    // keeps an earlier count, unless the very last pass opened a new second.
    for (int i = 0; i < 1000; ++i) status.passDone(9, "");
    EXPECT_LT(std::stoll(Samples(ReadAll(path))["kest_passes_total"]), 1000);
    EXPECT_EQ(status.snapshot().ulRowsBilled, 9000u);
    // The pass that finds nothing shows everything at once.
    status.passDone(0, "");
    auto samples = Samples(ReadAll(path));
    EXPECT_EQ(samples["kest_passes_total"], "1001");
    EXPECT_EQ(samples["kest_rows_billed_total"], "9000");
}

TEST(StatusEnding, TheEndingsTextStaysAndAFaultWritesThePreparedOne) {
    ScratchDir dir;
    std::string path = dir / "kest.prom";
    StatusFile untouched(path);
    untouched.ended("fatal");  // never written by this process: left to the lock's owner
    EXPECT_FALSE(std::filesystem::exists(path));

    StatusFile status(path);
    status.start();
    EXPECT_EQ(Samples(ReadAll(path))["kest_up"], "1");
    status.ended("stop");
    status.connected(true);  // the cycle runs on until the exit: the ending's text stays
    auto samples = Samples(ReadAll(path));
    EXPECT_EQ(samples["kest_up"], "0");
    EXPECT_EQ(samples["kest_exit_info{reason=\"stop\"}"], "1");
    EXPECT_EQ(samples["kest_db_connected"], "0");

    StatusFile faulted(path);
    faulted.passDone(0, "");
    faulted.passDone(0, "");  // the text a fault writes is the one of the last write
    faulted.endedByFault();
    samples = Samples(ReadAll(path));
    EXPECT_EQ(samples["kest_up"], "0");
    EXPECT_EQ(samples["kest_exit_info{reason=\"fault\"}"], "1");
    EXPECT_EQ(samples["kest_passes_total"], "2");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp.fault"));
}
