// Public: the registration record tying one descriptor to one readiness handler. Owned by a Timer
// or an Eventfd; the reactor only refers to it.
#pragma once

#include <sys/epoll.h>

#include <functional>

namespace EventCLoop {

class Event {
public:
    using Handler = std::function<void(const epoll_event &)>;

    bool isCleared() const { return fd == -1; }

    // Releases whatever the handler captured.
    void clear() {
        fd = -1;
        pop = nullptr;
    }

    int fd = -1;
    Handler pop;
};

}  // namespace EventCLoop
