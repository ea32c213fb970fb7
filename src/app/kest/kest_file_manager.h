// Internal to the daemon: the bill file writer. One file per local date,
// ${BILL_PATH}/SMSC_YYYY-MM-DD_000, one fixed-column line per row.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <set>
#include <string>

#include "kest_file_util.h"
#include "kest_manager.h"
#include "kest_query.h"

namespace kest {

class FileManager {
public:
    // The file stays open for the life of the process; see open().
    FileManager();
    FileManager(const FileManager &) = delete;
    FileManager &operator=(const FileManager &) = delete;

    // Base name of the bill file of the current local date (no index suffix).
    std::string make_name();
    // Makes sure the file of the current local date is open: the one at its path, should a
    // collector have moved or removed the open one.
    void open();
    // Appends lines in one write, not synced. Throws when they are not whole in the file.
    void append(const std::string &line);
    // Makes the lines appended so far durable when BILL_SYNC is on. On a failure the unsettled
    // lines are cut off again and it throws.
    void sync();
    // The rows of the lines written so far are committed: their lines stay.
    void settle() { file.settle(); }
    // Cuts off the lines not settled (their rows go to whoever bills them next) and syncs the cut.
    // Throws when the cut fails.
    void discard_unsettled();
    // The open file has lost its last name: lines in it reach no collector.
    bool removed() const { return file.removed(); }
    // From the ending thread: no line is written from here on; the unsettled ones are cut off.
    void fence() { file.fence(); }
    // Offset at which the next line will start.
    off_t end() const { return file.end(); }
    // Name of the open bill file within the bill folder.
    std::string base_name() const;
    // Cuts the torn tail a killed process may have left in the newest bill file of the folder,
    // whatever its date, and in the files named; logged.
    void cut_torn_tails(std::set<std::string> names);

    // Full path of the open bill file; empty while none is open.
    std::string file_name() const;

    // The line of one row, as written to the bill file.
    static std::string format_line(const DAO::TSMS_SND_MSG &rec);
    // The same into line, whose memory a caller keeps from row to row.
    static void format_line(const DAO::TSMS_SND_MSG &rec, std::string &line);

private:
    [[noreturn]] void fail();

    KestManager &pm;
    fileutil::AppendFile file;
    uint32_t index;
    time_t prev_time;
    std::string prev_format;
    std::string timeformat;
    std::string billpath;
};

}  // namespace kest
