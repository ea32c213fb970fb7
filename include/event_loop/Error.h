// Public: the status value handed to timer callbacks. Not an exception: a callback tests it (true
// means something went wrong) and reads what().
#pragma once

#include <string>

namespace EventCLoop {

class Error {
public:
    Error() : flag(false) {}
    explicit Error(const std::string &what) : msg(what), flag(true) {}

    explicit operator bool() const { return flag; }

    // Valid while this Error lives and is not assigned to.
    const char *what() const { return msg.c_str(); }

private:
    std::string msg;
    bool flag;
};

}  // namespace EventCLoop
