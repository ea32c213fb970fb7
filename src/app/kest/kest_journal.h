// Internal to the daemon: the journal of written rows, a ring of fixed slots in the key folder
// that records where a row's bill line goes before it is written. A row met again (its delete not
// committed) is deleted without a second line when its line is whole at the recorded place.
#pragma once

#include <sys/types.h>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kest {

// Where a row's line lies: a file of the bill folder and its bytes [start, end).
struct LinePlace {
    std::string file;
    off_t start = 0;
    off_t end = 0;
};

// One slot of the journal file, as on disk (host byte order: the file never leaves the node).
struct JournalSlot {
    uint32_t unMagic;   // also tells a record whose line is synced
    uint32_t unCheck;   // over every other byte of the slot
    uint64_t ulSerial;  // order of the records; the ring's next slot follows the highest
    int64_t lSeq;       // MSG_SEQ of the row
    int64_t lStart;     // its line's first byte in the file
    int64_t lEnd;       // one past its line feed
    char szFile[24];    // the bill file's name in the bill folder
};
static_assert(sizeof(JournalSlot) == 64, "journal slot layout");
static_assert(offsetof(JournalSlot, szFile) == 40, "journal slot layout");

class Journal {
public:
    // Enough for two passes of the largest size: only rows whose deletes are not yet committed
    // need their slot, older ones are overwritten.
    static constexpr unsigned kSlots = 2048;

    // path: the journal file (empty: no journal); billDir: the bill folder; bSync: records reach
    // the disk with the bill lines (BILL_SYNC).
    Journal(std::string path, std::string billDir, bool bSync);
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Opens or creates the file, locks it, and keeps its records of lines synced or whole in their
    // files (the others' places will hold other lines). One another process holds throws
    // std::runtime_error: two writers would wipe each other's records. One that cannot be used is
    // logged and left off: rows are then billed at least once.
    void open();
    bool enabled() const { return fd_ >= 0; }

    // Records, before the line is written, that seq's line goes to place. Records, marks and
    // erasures reach the file with the next flush() or sync.
    void record(long lSeq, const LinePlace &place);
    // Writes the slots changed since the last flush in one write: records before their lines.
    void flush();
    // Makes the records and erasures so far durable.
    void sync();

    // The records so far made durable (with any erasures) on a thread of the journal's own while
    // the caller syncs the bill file: the disk flushes of the two syncs overlap. Erasures alone do
    // not ask for it. Both are durable once wait() (or the destructor) has returned.
    class SyncAlongside {
    public:
        explicit SyncAlongside(Journal &journal);
        ~SyncAlongside() { wait(); }
        SyncAlongside(const SyncAlongside &) = delete;
        SyncAlongside &operator=(const SyncAlongside &) = delete;
        void wait();

    private:
        Journal &journal_;
        bool bWaiting_;
    };
    // Place of seq's line from an earlier pass or run whose delete was not known to be committed,
    // when that line is billed: synced, or whole byte for byte at its place. nullptr otherwise.
    const LinePlace *billed(long lSeq, const std::string &line) const;
    // Place of seq's line on record, billed or not; nullptr when there is none.
    const LinePlace *find(long lSeq) const;
    // Whether line lies whole, byte for byte, at place.
    bool holds(const LinePlace &place, const std::string &line) const;
    // The bill files that records found at open() name, valid or not.
    const std::set<std::string> &filesOnRecord() const { return filesOnRecord_; }
    // seq's line is synced: it stays billed wherever its file goes. Durable with the next sync.
    void markSynced(long lSeq);
    // seq's record goes, durable with the next sync: its line was cut off unsynced (the record must
    // not name the place where later lines go), or its delete is committed (a row stored again
    // later under the same key is not taken for billed).
    void erase(long lSeq);

private:
    // A row on record; its place is places_[unSlot].
    struct Entry {
        unsigned unSlot;
        uint64_t ulSerial;
        bool bSynced;
    };

    bool growFrom(off_t lSize);
    bool writeRing();
    void load();
    bool wholeLineAt(const LinePlace &place) const;
    void writeSlot(long lSeq, const Entry &entry);
    void take(long lSeq, const Entry &entry, const LinePlace &place);
    void clearSlot(unsigned unSlot);
    void changed(unsigned unSlot);
    void disable(const char *pcWhat);
    void goOff(const char *pcWhat);
    bool startSync();
    void finishSync();
    void syncLoop();

    std::string path_;
    std::string billDir_;
    bool bSync_;
    int fd_ = -1;
    bool dirty_ = false;     // records written, not yet synced
    bool bCleared_ = false;  // slots cleared or marked, not yet synced
    uint64_t ulNextSerial_ = 1;
    std::array<uint64_t, kSlots> slotSerial_{};
    // The file's slots as they are to be; [changedFrom_, changedTo_) not yet written.
    std::vector<JournalSlot> image_ = std::vector<JournalSlot>(kSlots);
    unsigned changedFrom_ = kSlots;
    unsigned changedTo_ = 0;
    // Places by slot, and entries from a pool: a record reuses their memory, allocating nothing.
    std::vector<LinePlace> places_ = std::vector<LinePlace>(kSlots);
    std::pmr::unsynchronized_pool_resource pool_;
    std::pmr::unordered_map<long, Entry> entries_{&pool_};
    std::set<std::string> filesOnRecord_;

    // The sync thread, started with the first sync alongside.
    std::thread syncer_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool bSyncAsked_ = false;
    bool bSyncDone_ = false;
    bool bStop_ = false;
    int nSyncErrno_ = 0;
};

}  // namespace kest
