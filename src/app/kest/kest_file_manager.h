// Internal to the daemon: the bill file writer. One file per local date,
// ${BILL_PATH}/SMSC_YYYY-MM-DD_000, one fixed-column line per row.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "event_loop/Epoll.h"
#include "kest_manager.h"
#include "kest_query.h"

namespace kest {

class FileManager {
public:
    explicit FileManager(EventCLoop::Epoll &epoll);
    // The stream stays open for the life of the process; see open().
    ~FileManager() = default;
    FileManager(const FileManager &) = delete;
    FileManager &operator=(const FileManager &) = delete;

    // Base name of the bill file of the current local date (no index suffix).
    std::string make_name();
    // Makes sure the file of the current local date is open.
    void open();
    // Appends the row's line; it is flushed (and synced when configured)
    // before this returns. Throws when the line is not safely in the file.
    void write(const DAO::TSMS_SND_MSG &rec);

    // Appends one line in one write, not synced; returns the offset where it
    // starts. Throws when the line is not whole in the file.
    off_t append(const std::string &line);
    // Makes the lines appended so far durable when BILL_SYNC is on. On a
    // failure they are cut off again (their rows are not deleted yet) and it
    // throws.
    void sync();
    // Cuts off the lines appended since the last sync: their rows were not
    // deleted and go to whoever bills them next.
    void discard_unsynced();
    // Offset at which the next line will start.
    off_t end() const { return written_size; }
    // Name of the open bill file within the bill folder.
    std::string base_name() const;

    // Full path of the open bill file; empty while none is open.
    std::string file_name() const;

    // The line of one row, as written to the bill file.
    static std::string format_line(const DAO::TSMS_SND_MSG &rec);

private:
    void discard_partial_line();
    [[noreturn]] void fail();

    EventCLoop::Epoll &epoll;
    KestManager &pm;
    FILE *pFile;
    uint32_t index;
    time_t prev_time;
    std::string prev_format;
    std::string timeformat;
    std::string billpath;
    off_t committed_size;  // bytes of whole lines synced (or settled) in the open file
    off_t written_size;    // bytes of whole lines appended to the open file
};

}  // namespace kest
