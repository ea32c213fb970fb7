// Public: an eventfd channel through which code on the reactor's thread posts a callback for a
// later turn of the loop. Only the last posted callback is kept: n posts run it n times.
#pragma once

#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "event_loop/Epoll.h"
#include "event_loop/Event.h"

namespace EventCLoop {

class Eventfd {
public:
    using Callback = std::function<void()>;

    // Creates and registers the descriptor for the channel's life. `loop` must outlive the channel.
    explicit Eventfd(Epoll &loop) : epoll(loop), event_fd(-1) {
        event_fd = eventfd(0, EFD_NONBLOCK);
        if (event_fd == -1) {
            throw std::runtime_error(std::string("eventfd create fail ") + strerror(errno));
        }
        event.fd = event_fd;
        try {
            epoll.AddEvent(event, Epoll::Readable(event_fd));
        } catch (...) {
            close(event_fd);
            throw;
        }
    }

    ~Eventfd() {
        if (!event.isCleared()) epoll.Close(event);
    }

    Eventfd(const Eventfd &) = delete;
    Eventfd &operator=(const Eventfd &) = delete;

    // Must be called on the reactor's thread. A failed write is not reported.
    void SendEvent(Callback callback) {
        uint64_t one = 1;
        ssize_t put = write(event_fd, &one, sizeof(one));
        (void)put;
        event.fd = event_fd;
        event.pop = [this, callback](const epoll_event &ev) { SendEventPop(ev, callback); };
        epoll.ModEvent(event_fd, Epoll::Readable(event_fd));
    }

    // Readiness handler. Runs its own copy of the callback, which may post again and so replace the
    // stored handler while this one runs.
    void SendEventPop(const epoll_event &, Callback callback) {
        uint64_t count = 0;
        if (read(event_fd, &count, sizeof(count)) != static_cast<ssize_t>(sizeof(count))) {
            return;
        }
        for (uint64_t i = 0; i < count; ++i) {
            callback();
        }
    }

private:
    Epoll &epoll;
    int event_fd;
    Event event;
};

}  // namespace EventCLoop
