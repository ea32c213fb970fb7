// Bill file writer: names the day's file, switches it after local midnight and appends the lines.
#include "kest_file_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace kest {

using fileutil::AppendFile;

namespace {

constexpr const char *kLineFormat =
    "%3.3s %03ld %03ld %10.*s %16.16s %16.16s %16.16s %14.14s %14.14s\n";
constexpr const char *kRecordType = "000";
constexpr const char *kBillShape = "SMSC_####-##-##_###";
constexpr const char *kSerialFiller = "__________";
constexpr const char *kNumberFiller = "________________";
constexpr const char *kTimeFiller = "______________";

bool IsNull(long lIndicator) { return lIndicator == DAO::NULL_INDICATOR; }

const char *TextOrFiller(const char *pcValue, long lIndicator, const char *pcFiller) {
    return IsNull(lIndicator) ? pcFiller : pcValue;
}

// A driver may fill a text buffer to its last byte without the terminating zero when the value is
// exactly as long as the buffer: read no further.
template <size_t N>
size_t FieldLength(const char (&szField)[N]) {
    return strnlen(szField, N);
}

// A control character inside a text column would split the bill line or shift its columns: the line
// shows it as '?'. Only text columns can hold one; the rest is digits and blanks.
void ShowControlCharacters(std::string &line, bool bKeepLineFeed = false) {
    size_t unEnd = bKeepLineFeed && !line.empty() ? line.size() - 1 : line.size();
    for (size_t i = 0; i < unEnd; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7f) line[i] = '?';
    }
}

// IN_GROUP holds a decimal number as text (leading blanks and sign allowed; stops at a non-digit).
long InGroupValue(const DAO::TSMS_SND_MSG &rec) {
    if (IsNull(rec.len_in_group)) return 0;
    std::string text(rec.IN_GROUP, FieldLength(rec.IN_GROUP));
    try {
        return std::stoi(text);
    } catch (const std::invalid_argument &) {
        ShowControlCharacters(text);  // the text goes into a log line
        throw std::invalid_argument("IN_GROUP is not a number [" + text +
                                    "] MSG_SEQ:" + std::to_string(rec.MSG_SEQ));
    } catch (const std::out_of_range &) {
        ShowControlCharacters(text);
        throw std::out_of_range("IN_GROUP is out of range [" + text +
                                "] MSG_SEQ:" + std::to_string(rec.MSG_SEQ));
    }
}

std::string ErrnoText() { return strerror(errno); }

// Size of the file up to its last line feed: a line torn by a killed process is not kept in front
// of the lines this one appends; its row is still in the table and billed again.
off_t WholeLinesSize(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return -1;
    off_t end = st.st_size;
    char szTail[512];
    while (end > 0) {
        off_t start = end > static_cast<off_t>(sizeof(szTail)) ? end - sizeof(szTail) : 0;
        ssize_t n = pread(fd, szTail, static_cast<size_t>(end - start), start);
        if (n <= 0) return -1;
        for (ssize_t i = n; i > 0; --i)
            if (szTail[i - 1] == '\n') return start + i;
        end = start;
    }
    return 0;
}

// Base name plus the three-digit file index.
std::string WithIndex(const std::string &base, uint32_t unIndex) {
    char szSuffix[16];
    snprintf(szSuffix, sizeof(szSuffix), "_%03u", unIndex);
    return base + szSuffix;
}

}  // namespace

FileManager::FileManager()
    : pm(*KestManager::getInstance()),
      file(WholeLinesSize, pm.bill.BILL_SYNC != 0),
      index(0),
      prev_time(0),
      billpath(pm.bill.BILL_PATH) {}

std::string FileManager::make_name() {
    time_t now = time(nullptr);
    if (now != prev_time) {
        prev_time = now;
        tm stTm{};
        localtime_r(&now, &stTm);
        char szDate[32];
        if (strftime(szDate, sizeof(szDate), "%Y-%m-%d", &stTm) == 0)
            throw std::runtime_error("strftime fail :" + ErrnoText());
        timeformat = szDate;
    }
    return billpath + "/SMSC_" + timeformat;
}

void FileManager::open() {
    std::string name = make_name();
    pm.log().debug("[FILE] make_name: %s, prev_format:%s\n", name.c_str(), prev_format.c_str());
    if (name != prev_format) {
        prev_format = name;
        if (file.isOpen()) {
            pm.log().info("[FILE] File Closed\n");
            file.close();
        }
        index = 0;
        pm.log().info("[FILE] Try Open File: %s", WithIndex(name, index).c_str());
    }
    std::string full = WithIndex(name, index);
    switch (file.open(full)) {
        case AppendFile::Opened::DirectorySyncFailed:
            throw std::runtime_error(full + " directory sync fail :" + ErrnoText());
        case AppendFile::Opened::OpenFailed:
            throw std::runtime_error(name + " fopen fail :" + ErrnoText());
        default:
            return;
    }
}

std::string FileManager::file_name() const {
    return file.isOpen() ? file.path() : std::string();
}

std::string FileManager::base_name() const {
    std::string full = file_name();
    return full.substr(full.find_last_of('/') + 1);
}

std::string FileManager::format_line(const DAO::TSMS_SND_MSG &rec) {
    std::string line;
    format_line(rec, line);
    return line;
}

void FileManager::format_line(const DAO::TSMS_SND_MSG &rec, std::string &line) {
    long lOutGroup = IsNull(rec.len_out_group) ? 0 : rec.OUT_GROUP;
    long lInGroup = InGroupValue(rec);
    char szLine[512];
    int n = snprintf(szLine, sizeof(szLine), kLineFormat, kRecordType, lInGroup, lOutGroup,
                     static_cast<int>(IsNull(rec.len_serial_num) ? strlen(kSerialFiller)
                                                                 : FieldLength(rec.SERIAL_NUM)),
                     TextOrFiller(rec.SERIAL_NUM, rec.len_serial_num, kSerialFiller),
                     TextOrFiller(rec.CALLER_NO, rec.len_caller_no, kNumberFiller),
                     TextOrFiller(rec.CALLEE_NO, rec.len_callee_no, kNumberFiller),
                     TextOrFiller(rec.CALLBACK_NO, rec.len_callback_no, kNumberFiller),
                     TextOrFiller(rec.IN_TIME, rec.len_in_time, kTimeFiller),
                     TextOrFiller(rec.REPORT_TIME, rec.len_report_time, kTimeFiller));
    // snprintf reports the length it wanted, which may exceed the buffer.
    size_t unLen = n <= 0 ? 0 : std::min(static_cast<size_t>(n), sizeof(szLine) - 1);
    line.assign(szLine, unLen);
    ShowControlCharacters(line, true);
}

void FileManager::append(const std::string &line) {
    if (!file.append(line)) fail();
    pm.log().debug("[FILE] %s", line.c_str());
}

// The caller deletes the rows of the lines synced here right after.
void FileManager::sync() {
    if (!file.sync()) fail();
}

void FileManager::discard_unsettled() {
    if (!file.discardUnsettled()) fail();
}

// Lines whose sync failed must not stay (their rows are still in the table), nor any after them.
void FileManager::fail() {
    file.abandon();
    prev_format.clear();
    throw std::runtime_error("FileManager write fail : " + ErrnoText());
}

void FileManager::cut_torn_tails(std::set<std::string> names) {
    fileutil::CutTornTails(billpath, kBillShape, std::move(names), WholeLinesSize,
                           pm.bill.BILL_SYNC != 0);
}

}  // namespace kest
