// The journal of written rows, in-process: what outlives a restart, its sync
// on a thread of its own (labelled for ThreadSanitizer), and its file read as
// input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <future>
#include <string>

#include "file_text.h"
#include "kest_journal.h"
#include "scratch_dir.h"

// The journal across a restart: a record counts only while its line is whole
// at its place; committed, torn and damaged records are gone; a file that
// cannot be used leaves the daemon billing at least once.
TEST(Journal, OnlyRecordsOfWholeLinesInPlaceOutliveARestart) {
    ScratchDir dir;
    const std::string name = "SMSC_2026-12-07_000";
    const std::string lines[] = {"000 001 line one\n", "000 002 line two\n",
                                 "000 003 line three\n"};
    std::string text = lines[0] + lines[1] + lines[2].substr(0, 7);  // the third torn
    {
        std::ofstream(dir / name) << text;
    }
    auto place = [&](int i) {
        off_t start = 0;
        for (int k = 0; k < i; ++k) start += static_cast<off_t>(lines[k].size());
        return kest::LinePlace{name, start, start + static_cast<off_t>(lines[i].size())};
    };
    const std::string path = dir / "KEST.journal";
    {
        kest::Journal journal(path, dir.path().string(), true);
        journal.open();
        ASSERT_TRUE(journal.enabled());
        for (int i = 0; i < 3; ++i) journal.record(11 + i, place(i));
        journal.record(14, place(1));
        journal.erase(14);  // its delete committed
        // Synced on the journal's own thread, as beside a bill file's sync.
        kest::Journal::SyncAlongside alongside(journal);
        alongside.wait();
        EXPECT_TRUE(journal.enabled());
    }
    {
        kest::Journal journal(path, dir.path().string(), true);
        journal.open();
        ASSERT_NE(journal.find(11), nullptr);
        EXPECT_TRUE(journal.holds(*journal.find(11), lines[0]));
        EXPECT_FALSE(journal.holds(*journal.find(11), lines[1])) << "another row's line";
        ASSERT_NE(journal.find(12), nullptr);
        EXPECT_EQ(journal.find(12)->start, place(1).start);
        EXPECT_EQ(journal.find(13), nullptr) << "its line is torn";
        EXPECT_EQ(journal.find(14), nullptr) << "committed";
    }
    // A damaged record is not taken for one: here the first record's MSG_SEQ
    // (slot 1, offset 16, low byte first) turned from 11 into 10, which would
    // have row 10 deleted on the strength of row 11's line.
    int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    char c = 0;
    ASSERT_EQ(pread(fd, &c, 1, 64 + 16), 1);
    ASSERT_EQ(c, 11);
    c = 10;
    ASSERT_EQ(pwrite(fd, &c, 1, 64 + 16), 1);
    close(fd);
    {
        kest::Journal journal(path, dir.path().string(), true);
        journal.open();
        EXPECT_EQ(journal.find(10), nullptr);
        EXPECT_EQ(journal.find(11), nullptr);
        EXPECT_NE(journal.find(12), nullptr);
    }
    // An earlier release's ring of 64 slots keeps its records: here the last of 70, whose serial
    // places it in another slot there than here.
    const std::string older = dir / "older.journal";
    {
        kest::Journal journal(older, dir.path().string(), true);
        journal.open();
        for (long seq = 100; seq < 170; ++seq) journal.record(seq, place(0));
        for (long seq = 100; seq < 169; ++seq) journal.erase(seq);
        journal.sync();
    }
    std::string ring = ReadAll(older), small(64 * 64, '\0');
    const size_t slot = ring.find_first_not_of('\0') / 64;
    ASSERT_GE(slot, 64u);
    small.replace(slot % 64 * 64, 64, ring, slot * 64, 64);
    std::ofstream(older, std::ios::trunc) << small;
    {
        kest::Journal journal(older, dir.path().string(), true);
        journal.open();
        EXPECT_NE(journal.find(169), nullptr);
    }
    // A file of another size is started anew; a folder that does not exist
    // leaves the journal off, and every call harmless.
    ASSERT_EQ(truncate(path.c_str(), 100), 0);
    {
        kest::Journal journal(path, dir.path().string(), true);
        journal.open();
        EXPECT_TRUE(journal.enabled());
        EXPECT_EQ(journal.find(12), nullptr);
    }
    kest::Journal off(dir / "missing/KEST.journal", dir.path().string(), true);
    off.open();
    EXPECT_FALSE(off.enabled());
    off.record(20, place(0));
    off.sync();
    EXPECT_EQ(off.find(20), nullptr);

    // A synced line stays billed after a collector took its file; a journal
    // serves one process, and a second one on it is refused.
    const std::string synced = dir / "synced.journal";
    {
        kest::Journal journal(synced, dir.path().string(), true);
        journal.open();
        journal.record(21, place(0));
        journal.record(22, place(1));
        journal.markSynced(21);
        // The largest pass after them: every one of its records must outlive the restart too.
        for (long seq = 1000; seq < 2000; ++seq) {
            journal.record(seq, place(0));
            journal.markSynced(seq);
        }
        journal.sync();
        kest::Journal second(synced, dir.path().string(), true);
        EXPECT_THROW(second.open(), std::runtime_error);
    }
    ASSERT_EQ(rename((dir / name).c_str(), (dir / "collected").c_str()), 0);
    kest::Journal journal(synced, dir.path().string(), true);
    journal.open();
    EXPECT_NE(journal.billed(21, lines[0]), nullptr);
    EXPECT_NE(journal.billed(1000, lines[0]), nullptr) << "the journal is smaller than a pass";
    EXPECT_EQ(journal.find(22), nullptr) << "not synced, its line gone";
}

// The journal file is input: a record may name any file and any offsets, and
// the file may be a link. None of it lets the daemon read outside the bill
// folder, wait on a FIFO, compute with absurd offsets or cut another file.
TEST(Journal, AHostileJournalReadsOrCutsNothingOutsideTheBillFolder) {
    ScratchDir dir;
    const std::string billDir = dir / "bill";
    ASSERT_EQ(mkdir(billDir.c_str(), 0700), 0);
    const std::string line = "000 001 line one\n";
    const off_t len = static_cast<off_t>(line.size());
    const std::string name = "SMSC_2026-12-07_000";
    std::ofstream(billDir + "/" + name) << line;
    std::ofstream(dir / "secret") << line;  // a whole line, but not a bill file
    ASSERT_EQ(mkfifo((billDir + "/SMSC_2026-12-07_001").c_str(), 0600), 0);
    ASSERT_EQ(symlink((billDir + "/" + name).c_str(), (billDir + "/SMSC_2026-12-07_002").c_str()),
              0);

    const std::string path = dir / "KEST.journal";
    {
        kest::Journal journal(path, billDir, true);
        journal.open();
        ASSERT_TRUE(journal.enabled());
        journal.record(1, {name, 0, len});                          // sound
        journal.record(2, {"../secret", 0, len});                   // outside the folder
        journal.record(3, {"SMSC_2026-12-07_001", 0, len});         // a FIFO
        journal.record(4, {"SMSC_2026-12-07_002", 0, len});         // a link
        journal.record(5, {name, -1, len});                         // before the file's start
        journal.record(6, {name, INT64_MIN, len});                  // end - start overflows
        journal.sync();
    }
    {
        kest::Journal journal(path, billDir, true);
        auto opened = std::async(std::launch::async, [&journal] { journal.open(); });
        if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            int fd = ::open((billDir + "/SMSC_2026-12-07_001").c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) close(fd);  // lets the stuck open go on
            ADD_FAILURE() << "the journal's start waits on a FIFO its record names";
            opened.wait();
        }
        ASSERT_NE(journal.find(1), nullptr);
        for (long seq = 2; seq <= 6; ++seq) EXPECT_EQ(journal.find(seq), nullptr) << seq;
    }

    // A journal that is a link to another file of another size: the file is
    // neither cut nor rewritten, the journal stays off.
    const std::string victim = dir / "victim";
    std::ofstream(victim) << "not a journal\n";
    const std::string link = dir / "KEST.journal.link";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    kest::Journal linked(link, billDir, true);
    linked.open();
    EXPECT_FALSE(linked.enabled());
    EXPECT_EQ(ReadAll(victim), "not a journal\n");
}
