// Public: small helpers of the event loop library.
#pragma once

#include <stdio.h>
#include <time.h>

#include <string>

namespace EventCLoop {

// "YYYY-MM-DD hh:mm:ss mmm": wall-clock seconds, milliseconds of the monotonic clock. Empty when
// the clock cannot be read. Uses the non-re-entrant localtime.
inline std::string now_str() {
    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        perror("time() call error");
        return std::string();
    }
    struct tm *local = localtime(&now);
    if (local == nullptr) {
        perror("localtime() call error");
        return std::string();
    }
    struct timespec mono = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    int millis = static_cast<int>(mono.tv_nsec / 1000000);

    char buf[64];
    snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d %03d", local->tm_year + 1900,
             local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec,
             millis);
    return std::string(buf);
}

}  // namespace EventCLoop
