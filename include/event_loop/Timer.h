// Public: a one-shot relative timer over a timerfd, dispatched by the reactor. It fires at most
// once; then it is unregistered, its descriptor closed and the object spent. Callers usually create
// it shared and let the callback hold that reference: the stored handler keeps the timer alive
// until it fires, the running callback until it returns.
#pragma once

#include <string.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "event_loop/Epoll.h"
#include "event_loop/Error.h"
#include "event_loop/Event.h"

namespace EventCLoop {

class Timer {
public:
    using Callback = std::function<void(Error &)>;

    // Creates the descriptor; registers nothing. `loop` must outlive the timer.
    explicit Timer(Epoll &loop) : epoll(loop), timerfd(-1) {
        timerfd = timerfd_create(CLOCK_MONOTONIC, 0);
        if (timerfd == -1) {
            throw std::runtime_error(std::string("timerfd_create fail ") + strerror(errno));
        }
    }

    // A waiting timer is cancelled: its callback never runs. A timer that was never waited on still
    // owns its descriptor and closes it here.
    ~Timer() {
        if (!event.isCleared()) {
            epoll.Close(event);
        } else if (timerfd != -1) {
            close(timerfd);
        }
    }

    Timer(const Timer &) = delete;
    Timer &operator=(const Timer &) = delete;

    // Arms once, relative to now, no repetition. (0, 0) disarms.
    void initOneTimer(unsigned int sec, unsigned int nsec) {
        struct itimerspec spec = {};
        spec.it_value.tv_sec = sec;
        spec.it_value.tv_nsec = nsec;
        if (timerfd_settime(timerfd, 0, &spec, nullptr) < 0) {
            throw std::runtime_error(std::string("timerfd_settime fail ") + strerror(errno));
        }
    }

    // Registers the timer; `callback` runs once on the reactor's thread when it expires. A second
    // call while waiting throws the reactor's add error; the first registration stays.
    void async_wait(Callback callback) {
        event.fd = timerfd;
        epoll.AddEvent(event, Epoll::Readable(timerfd));
        event.pop = [this, callback](const epoll_event &ev) { epoll_pop(ev, callback); };
    }

private:
    // Works on its own copy of the callback: clearing the Event below destroys the stored handler,
    // and with it possibly the last other reference to this timer.
    void epoll_pop(const epoll_event &ev, Callback callback) {
        Error status;
        if (ev.events & EPOLLERR) {
            status = Error(strerror(errno));
        } else {
            uint64_t expirations = 0;
            ssize_t got = read(ev.data.fd, &expirations, sizeof(expirations));
            (void)got;
        }
        callback(status);
        epoll.Close(event);
        timerfd = -1;
    }

    Epoll &epoll;
    Event event;
    int timerfd;
};

// Runs `callback` once, `sec` seconds from now, on the reactor's thread; the timer keeps itself
// until then.
inline void RunAfter(Epoll &loop, unsigned int sec, Timer::Callback callback) {
    auto timer = std::make_shared<Timer>(loop);
    timer->initOneTimer(sec, 0);
    timer->async_wait([timer, callback](Error &error) { callback(error); });
}

}  // namespace EventCLoop
