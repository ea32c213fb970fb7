// The bill line builder on any fetched row: NULL or not per column, any bytes
// in the text columns (terminated, as the driver leaves them), any group
// numbers. Nothing is read beyond a column's buffer. A line is one line: exactly one line feed, at its end; with
// groups of 0-999 and a serial number of at most 10 characters it has the
// fixed length of 104 bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "kest_file_manager.h"
#include "kest_query.h"

namespace {

class Input {
public:
    Input(const uint8_t *pData, size_t unSize) : p_(pData), n_(unSize) {}
    uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    long number() {
        uint32_t u = 0;
        for (int i = 0; i < 4; ++i) u = (u << 8) | byte();
        return static_cast<int32_t>(u);
    }
    // A text column: NULL (indicator -1) or up to its whole buffer; a value
    // as long as the buffer comes without the terminating zero, as some
    // drivers deliver it.
    template <size_t N>
    void text(char (&szField)[N], long &lIndicator) {
        memset(szField, 0, N);
        uint8_t cLen = byte();
        if (cLen == 0xff) {
            lIndicator = kest::DAO::NULL_INDICATOR;
            return;
        }
        size_t unLen = cLen % (N + 1);
        for (size_t i = 0; i < unLen; ++i) szField[i] = static_cast<char>(byte());
        lIndicator = static_cast<long>(strnlen(szField, N));
    }

private:
    const uint8_t *p_;
    size_t n_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t unSize) {
    Input in(pData, unSize);
    kest::DAO::TSMS_SND_MSG rec{};
    rec.MSG_SEQ = in.number();
    in.text(rec.PROC_RESULT, rec.len_proc_result);
    in.text(rec.IN_GROUP, rec.len_in_group);
    rec.OUT_GROUP = in.number();
    rec.len_out_group = (in.byte() & 1) ? kest::DAO::NULL_INDICATOR : 4;
    in.text(rec.SERIAL_NUM, rec.len_serial_num);
    in.text(rec.CALLER_NO, rec.len_caller_no);
    in.text(rec.CALLEE_NO, rec.len_callee_no);
    in.text(rec.CALLBACK_NO, rec.len_callback_no);
    in.text(rec.IN_TIME, rec.len_in_time);
    in.text(rec.REPORT_TIME, rec.len_report_time);

    std::string line;
    try {
        line = kest::FileManager::format_line(rec);
    } catch (const std::invalid_argument &) {
        return 0;  // IN_GROUP is no number: the documented refusal
    } catch (const std::out_of_range &) {
        return 0;
    }
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) abort();
    long lIn = rec.len_in_group == -1
                   ? 0
                   : std::stol(std::string(rec.IN_GROUP, strnlen(rec.IN_GROUP, sizeof(rec.IN_GROUP))));
    long lOut = rec.len_out_group == -1 ? 0 : rec.OUT_GROUP;
    size_t unSerial = rec.len_serial_num == -1 ? 10 : strnlen(rec.SERIAL_NUM, sizeof(rec.SERIAL_NUM));
    if (lIn >= 0 && lIn <= 999 && lOut >= 0 && lOut <= 999 && unSerial <= 10 &&
        line.size() != 104)
        abort();
    return 0;
}
