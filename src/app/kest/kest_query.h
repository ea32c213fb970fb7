// Internal to the daemon: one fetched row of TSMS_SND_MSG. Every column is a value and its length
// indicator; an indicator of -1 means NULL.
#pragma once

#include <cstddef>

namespace kest::DAO {

struct TSMS_SND_MSG {
    long MSG_SEQ;
    long len_msg_seq;
    char PROC_RESULT[17];
    long len_proc_result;
    char IN_GROUP[17];
    long len_in_group;
    long OUT_GROUP;
    long len_out_group;
    char SERIAL_NUM[33];
    long len_serial_num;
    char CALLER_NO[41];
    long len_caller_no;
    char CALLEE_NO[41];
    long len_callee_no;
    char CALLBACK_NO[41];
    long len_callback_no;
    char IN_TIME[17];
    long len_in_time;
    char REPORT_TIME[17];
    long len_report_time;
};

constexpr long NULL_INDICATOR = -1;

// The cycle's statements: up to "rownum < ?" pending rows, and the delete of one row by its key.
constexpr const char *SELECT_SQL =
    "SELECT MSG_SEQ, PROC_RESULT, IN_GROUP, OUT_GROUP, SERIAL_NUM, CALLER_NO, CALLEE_NO, "
    "CALLBACK_NO, IN_TIME, REPORT_TIME FROM TSMS_SND_MSG WHERE PROC_STS = 0 and rownum < ?;";
constexpr const char *DELETE_SQL = "DELETE FROM TSMS_SND_MSG WHERE MSG_SEQ = ?;";
// The claim of a pass's rows by their keys (one parameter per row), as its log lines show it.
constexpr const char *CLAIM_SQL_SHOWN =
    "DELETE FROM TSMS_SND_MSG WHERE MSG_SEQ IN (...) RETURNING MSG_SEQ;";

}  // namespace kest::DAO
