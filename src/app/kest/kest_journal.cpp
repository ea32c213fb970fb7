// The journal of written rows: a ring of 64-byte slots overwritten in place, so that its sync
// writes one block and never grows the file.
#include "kest_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kest_file_util.h"
#include "kest_manager.h"

namespace kest {

using fileutil::PreadAll;
using fileutil::PwriteAll;

namespace {

constexpr uint32_t kMagic = 0x4b4a524eu;        // "KJRN": a line on record
constexpr uint32_t kMagicSynced = 0x4b4a5253u;  // "KJRS": its line synced
constexpr off_t kFileSize = static_cast<off_t>(Journal::kSlots * sizeof(JournalSlot));

// A whole ring of slots, smaller than this one's, as earlier releases kept.
bool IsSmallerRing(off_t lSize) {
    return lSize > 0 && lSize < kFileSize && lSize % static_cast<off_t>(sizeof(JournalSlot)) == 0;
}
constexpr off_t kMaxLine = 4096;

// FNV-1a over the slot, check field zeroed: a slot torn by a power failure passes for no record.
uint32_t CheckOf(JournalSlot stSlot) {
    stSlot.unCheck = 0;
    const auto *pucByte = reinterpret_cast<const unsigned char *>(&stSlot);
    uint32_t unHash = 2166136261u;
    for (size_t i = 0; i < sizeof(stSlot); ++i) unHash = (unHash ^ pucByte[i]) * 16777619u;
    return unHash;
}

bool IsEmpty(const JournalSlot &stSlot) {
    const auto *pucByte = reinterpret_cast<const unsigned char *>(&stSlot);
    for (size_t i = 0; i < sizeof(stSlot); ++i)
        if (pucByte[i] != 0) return false;
    return true;
}

// A bill file named by a journal record, which is input: only a regular file right in the bill
// folder, never through a link, and never a FIFO whose open would wait for a writer. -1 otherwise.
int OpenBillFile(const std::string &billDir, const std::string &name) {
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) return -1;
    std::string path = billDir + "/" + name;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The bytes [from, to) of a bill file; empty when they are not all there.
std::string ReadRange(const std::string &billDir, const std::string &name, off_t from, off_t to) {
    if (from < 0 || to <= from || to - from > kMaxLine) return std::string();
    int fd = OpenBillFile(billDir, name);
    if (fd < 0) return std::string();
    std::string bytes(static_cast<size_t>(to - from), '\0');
    bool bOk = PreadAll(fd, &bytes[0], bytes.size(), from);
    close(fd);
    return bOk ? bytes : std::string();
}

bool SyncBillFile(const std::string &billDir, const std::string &name) {
    int fd = OpenBillFile(billDir, name);
    if (fd < 0) return false;
    bool bOk = fdatasync(fd) == 0;
    int nErr = errno;
    close(fd);
    errno = nErr;
    return bOk;
}

// A record's place as this writer makes them: a line of at most kMaxLine bytes from a non-negative
// offset on (so that no sum or difference of the two can overflow).
bool PlaceIsSane(const JournalSlot &stSlot) {
    return stSlot.lStart >= 0 && stSlot.lEnd > stSlot.lStart &&
           stSlot.lEnd - stSlot.lStart <= kMaxLine;
}

OrvoLogger &Log() { return KestManager::getInstance()->log(); }

}  // namespace

Journal::Journal(std::string path, std::string billDir, bool bSync)
    : path_(std::move(path)), billDir_(std::move(billDir)), bSync_(bSync) {
    entries_.reserve(kSlots);
    for (LinePlace &place : places_) place.file.reserve(sizeof(JournalSlot::szFile));
}

Journal::~Journal() {
    if (syncer_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bStop_ = true;
        }
        cv_.notify_all();
        syncer_.join();
    }
    if (fd_ >= 0) close(fd_);
}

Journal::SyncAlongside::SyncAlongside(Journal &journal)
    : journal_(journal), bWaiting_(journal.startSync()) {}

void Journal::SyncAlongside::wait() {
    if (!bWaiting_) return;
    bWaiting_ = false;
    journal_.finishSync();
}

// True when the sync thread was asked; otherwise nothing was to be synced, or it was synced here.
bool Journal::startSync() {
    flush();
    if (fd_ < 0 || !dirty_) return false;
    if (!bSync_) {
        dirty_ = bCleared_ = false;
        return false;
    }
    if (!syncer_.joinable()) syncer_ = std::thread([this] { syncLoop(); });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bSyncAsked_ = true;
        bSyncDone_ = false;
    }
    cv_.notify_all();
    return true;
}

void Journal::finishSync() {
    int nErr = 0;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return bSyncDone_; });
        nErr = nSyncErrno_;
    }
    if (nErr != 0) {
        errno = nErr;
        return goOff("cannot be synced");
    }
    dirty_ = bCleared_ = false;
}

// The descriptor is not closed while a sync is asked: finishSync() comes first on every path.
void Journal::syncLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return bSyncAsked_ || bStop_; });
        if (bStop_) return;
        bSyncAsked_ = false;
        int fd = fd_;
        lock.unlock();
        int nErr = fdatasync(fd) == 0 ? 0 : errno;
        lock.lock();
        nSyncErrno_ = nErr;
        bSyncDone_ = true;
        cv_.notify_all();
    }
}

void Journal::open() {
    if (path_.empty()) {
        Log().info("[JOURNAL] Off: a row whose delete is lost with a crash is billed again\n");
        return;
    }
    // Not through a link: a journal of another size is cut and rewritten, which must not hit a file
    // it names.
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640);
    if (fd_ < 0) return disable("cannot be opened");
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd_);
        fd_ = -1;
        std::string folder = path_.substr(0, path_.find_last_of('/') + 1);
        throw std::runtime_error("Failed ! The key folder " + (folder.empty() ? "." : folder) +
                                 " is in use by another instance: " + path_ + " is locked");
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0) return disable("cannot be read");
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return disable("is not a regular file");
    }
    if (IsSmallerRing(st.st_size)) {
        if (!growFrom(st.st_size)) return disable("cannot be written");
    } else if (st.st_size != kFileSize) {
        if (st.st_size != 0)
            Log().critical("[JOURNAL] %s has %ld bytes, not %ld: started anew\n", path_.c_str(),
                           static_cast<long>(st.st_size), static_cast<long>(kFileSize));
        if (!writeRing()) return disable("cannot be written");
        Log().info("[JOURNAL] %s created\n", path_.c_str());
        return;
    }
    load();
}

// An earlier release's ring of fewer slots: its records may be the only trace of lines synced
// before their commit, so each moves to its place in this ring; load() then judges them as ever.
bool Journal::growFrom(off_t lSize) {
    const size_t unOldSlots = static_cast<size_t>(lSize) / sizeof(JournalSlot);
    std::vector<JournalSlot> old(unOldSlots);
    if (!PreadAll(fd_, old.data(), static_cast<size_t>(lSize), 0)) return false;
    for (size_t i = 0; i < unOldSlots; ++i)
        if (!IsEmpty(old[i]) && old[i].ulSerial % unOldSlots == i)
            image_[old[i].ulSerial % kSlots] = old[i];
    if (!writeRing()) return false;
    Log().info("[JOURNAL] %s grown from %ld to %ld bytes, its records kept\n", path_.c_str(),
               static_cast<long>(lSize), static_cast<long>(kFileSize));
    return true;
}

// The ring in memory (empty, or grown from an earlier one) as the whole file, durable.
bool Journal::writeRing() {
    return PwriteAll(fd_, image_.data(), static_cast<size_t>(kFileSize), 0) &&
           ftruncate(fd_, kFileSize) == 0 && fdatasync(fd_) == 0 &&
           fileutil::SyncDirectoryOf(path_) == 0;
}

void Journal::load() {
    std::vector<JournalSlot> &slots = image_;
    if (!PreadAll(fd_, slots.data(), slots.size() * sizeof(JournalSlot), 0))
        return disable("cannot be read");
    unsigned unErased = 0;
    std::set<std::string> files;
    for (unsigned i = 0; i < kSlots && fd_ >= 0; ++i) {
        const JournalSlot &stSlot = slots[i];
        if (IsEmpty(stSlot)) continue;
        bool bSynced = stSlot.unMagic == kMagicSynced;
        bool bValid = (stSlot.unMagic == kMagic || bSynced) && stSlot.unCheck == CheckOf(stSlot) &&
                      stSlot.ulSerial % kSlots == i && PlaceIsSane(stSlot) &&
                      memchr(stSlot.szFile, '\0', sizeof(stSlot.szFile)) != nullptr;
        LinePlace place;
        if (bValid) {
            place = {stSlot.szFile, static_cast<off_t>(stSlot.lStart),
                     static_cast<off_t>(stSlot.lEnd)};
            filesOnRecord_.insert(place.file);
            if (stSlot.ulSerial >= ulNextSerial_) ulNextSerial_ = stSlot.ulSerial + 1;
        }
        // A synced line counts wherever its file went since.
        if (!bValid || (!bSynced && !wholeLineAt(place))) {
            clearSlot(i);
            ++unErased;
            continue;
        }
        slotSerial_[i] = stSlot.ulSerial;
        auto it = entries_.find(static_cast<long>(stSlot.lSeq));
        if (it != entries_.end() && it->second.ulSerial > stSlot.ulSerial) continue;
        take(static_cast<long>(stSlot.lSeq), {i, stSlot.ulSerial, bSynced}, place);
        if (!bSynced) files.insert(place.file);
    }
    // Lines a killed process left in the page cache are on disk before any row is deleted on their
    // account; the rows of lines that cannot be synced are written again.
    for (const std::string &file : files) {
        if (SyncBillFile(billDir_, file)) continue;
        Log().critical("[JOURNAL] %s/%s cannot be synced : %s; its rows on record are written "
                       "again\n",
                       billDir_.c_str(), file.c_str(), strerror(errno));
        for (auto it = entries_.begin(); it != entries_.end();) {
            auto next = std::next(it);
            if (places_[it->second.unSlot].file == file && !it->second.bSynced) erase(it->first);
            it = next;
        }
    }
    sync();
    Log().info("[JOURNAL] %s: %zu written rows on record, %u records of lines not in place "
               "erased\n",
               path_.c_str(), entries_.size(), unErased);
}

// The bytes at place form one line: a line feed before (or the file's start), one at the end only.
bool Journal::wholeLineAt(const LinePlace &place) const {
    off_t from = place.start > 0 ? place.start - 1 : 0;
    std::string bytes = ReadRange(billDir_, place.file, from, place.end);
    if (bytes.empty() || bytes.back() != '\n') return false;
    size_t unFirst = place.start > 0 ? 1 : 0;
    if (unFirst == 1 && bytes[0] != '\n') return false;
    return bytes.find('\n', unFirst) == bytes.size() - 1;
}

bool Journal::holds(const LinePlace &place, const std::string &line) const {
    return static_cast<off_t>(line.size()) == place.end - place.start && wholeLineAt(place) &&
           ReadRange(billDir_, place.file, place.start, place.end) == line;
}

void Journal::record(long lSeq, const LinePlace &place) {
    if (fd_ < 0 || place.file.size() >= sizeof(JournalSlot::szFile)) return;
    uint64_t ulSerial = ulNextSerial_++;
    Entry entry{static_cast<unsigned>(ulSerial % kSlots), ulSerial, false};
    // The row whose record the ring overwrites is forgotten, as a restart would forget it.
    if (slotSerial_[entry.unSlot] != 0) {
        auto old = entries_.find(static_cast<long>(image_[entry.unSlot].lSeq));
        if (old != entries_.end() && old->second.unSlot == entry.unSlot) entries_.erase(old);
    }
    take(lSeq, entry, place);
    writeSlot(lSeq, entry);
    slotSerial_[entry.unSlot] = ulSerial;
}

// An earlier record of the row stays in its slot, no longer the row's.
void Journal::take(long lSeq, const Entry &entry, const LinePlace &place) {
    LinePlace &stored = places_[entry.unSlot];
    stored.file.assign(place.file);  // within the capacity a name had before
    stored.start = place.start;
    stored.end = place.end;
    entries_[lSeq] = entry;
}

void Journal::markSynced(long lSeq) {
    auto it = entries_.find(lSeq);
    if (fd_ < 0 || it == entries_.end() || it->second.bSynced) return;
    it->second.bSynced = true;
    writeSlot(lSeq, it->second);
    bCleared_ = true;  // durable with the next sync
}

void Journal::writeSlot(long lSeq, const Entry &entry) {
    JournalSlot &stSlot = image_[entry.unSlot];
    stSlot = JournalSlot{};
    stSlot.unMagic = entry.bSynced ? kMagicSynced : kMagic;
    stSlot.ulSerial = entry.ulSerial;
    stSlot.lSeq = lSeq;
    const LinePlace &place = places_[entry.unSlot];
    stSlot.lStart = place.start;
    stSlot.lEnd = place.end;
    memcpy(stSlot.szFile, place.file.c_str(), place.file.size() + 1);
    stSlot.unCheck = CheckOf(stSlot);
    changed(entry.unSlot);
    // A mark asks for no sync of its own: until one comes, a restart checks the line in its file.
    if (!entry.bSynced) dirty_ = true;
}

void Journal::changed(unsigned unSlot) {
    changedFrom_ = std::min(changedFrom_, unSlot);
    changedTo_ = std::max(changedTo_, unSlot + 1);
}

// A pass's slots follow each other in the ring: one write covers them (where they wrap, the ring).
void Journal::flush() {
    if (changedFrom_ >= changedTo_) return;
    unsigned unFrom = changedFrom_;
    unsigned unTo = changedTo_;
    changedFrom_ = kSlots;
    changedTo_ = 0;
    if (fd_ < 0) return;
    if (!PwriteAll(fd_, &image_[unFrom], (unTo - unFrom) * sizeof(JournalSlot),
                   static_cast<off_t>(unFrom * sizeof(JournalSlot))))
        goOff("cannot be written");
}

void Journal::sync() {
    flush();
    if (fd_ < 0 || (!dirty_ && !bCleared_)) return;
    if (bSync_ && fdatasync(fd_) != 0) return goOff("cannot be synced");
    dirty_ = bCleared_ = false;
}

const LinePlace *Journal::find(long lSeq) const {
    auto it = entries_.find(lSeq);
    return it == entries_.end() ? nullptr : &places_[it->second.unSlot];
}

const LinePlace *Journal::billed(long lSeq, const std::string &line) const {
    auto it = entries_.find(lSeq);
    if (it == entries_.end()) return nullptr;
    const LinePlace &place = places_[it->second.unSlot];
    return it->second.bSynced || holds(place, line) ? &place : nullptr;
}

void Journal::erase(long lSeq) {
    auto it = entries_.find(lSeq);
    if (it == entries_.end()) return;
    if (slotSerial_[it->second.unSlot] == it->second.ulSerial) clearSlot(it->second.unSlot);
    entries_.erase(it);
}

void Journal::clearSlot(unsigned unSlot) {
    if (fd_ < 0) return;
    image_[unSlot] = JournalSlot{};
    changed(unSlot);
    slotSerial_[unSlot] = 0;
    bCleared_ = true;
}

// A journal failing in the run is emptied as it goes off: records of lines never written, or not
// yet erased, would name places later lines fill, and a later start would take them for billed.
void Journal::goOff(const char *pcWhat) {
    int nErr = errno;
    if (fd_ >= 0 && ftruncate(fd_, 0) != 0) {
        // Left as it is: the next start checks each record against its line.
    }
    errno = nErr;
    disable(pcWhat);
}

// Without the journal every row is still billed, at least once.
void Journal::disable(const char *pcWhat) {
    Log().critical("[JOURNAL] %s %s : %s; rows are billed at least once from here on\n",
                   path_.c_str(), pcWhat, strerror(errno));
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    entries_.clear();
}

}  // namespace kest
