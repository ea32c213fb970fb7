// Public: the single-threaded epoll reactor. Every call, and every change of a registered Event's
// handler, comes from the thread that calls Run() (or before it starts): nothing is locked.
#pragma once

#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "event_loop/Event.h"

namespace EventCLoop {

class Epoll {
public:
    static constexpr uint32_t EpollSize = 1024;
    // Milliseconds an idle Run() waits.
    static constexpr uint32_t EpollTimeout = 1024;

    Epoll() : epollfd(epoll_create1(0)) {
        if (epollfd == -1) {
            throw std::logic_error("epoll_create1 fail");
        }
    }

    // One-shot timers still waiting keep themselves alive through their handlers; dropping the
    // handlers releases them (each then unregisters itself from the emptied map).
    ~Epoll() {
        std::vector<Event::Handler> handlers;
        for (auto &entry : events) {
            handlers.push_back(std::move(entry.second.get().pop));
            entry.second.get().pop = nullptr;
        }
        events.clear();
        handlers.clear();  // no Event is touched from here on
        close(epollfd);
    }

    Epoll(const Epoll &) = delete;
    Epoll &operator=(const Epoll &) = delete;

    // The caller stores event.fd in interest.data.fd and keeps `event` at its address until
    // DelEvent. An already registered descriptor fails in the kernel and leaves the map unchanged.
    void AddEvent(Event &event, epoll_event interest) {
        if (epoll_ctl(epollfd, EPOLL_CTL_ADD, event.fd, &interest) == -1) {
            throw std::logic_error(std::string("epoll_ctl EPOLL_CTL_ADD fail") + strerror(errno));
        }
        events.emplace(event.fd, std::ref(event));
    }

    // Never throws and never closes the descriptor; unknown descriptors are fine.
    void DelEvent(int eventfd) {
        events.erase(eventfd);
        epoll_ctl(epollfd, EPOLL_CTL_DEL, eventfd, nullptr);
    }

    // The map keeps the same Event, so a handler replaced in it is seen by the next dispatch.
    void ModEvent(int eventfd, epoll_event interest) {
        if (epoll_ctl(epollfd, EPOLL_CTL_MOD, eventfd, &interest) == -1) {
            throw std::logic_error(std::string("epoll_ctl EPOLL_CTL_MOD fail") + strerror(errno));
        }
    }

    bool HasEvent(int eventfd) const { return events.count(eventfd) != 0; }

    // Interest in `fd` becoming readable, as timers and channels wait for it.
    static epoll_event Readable(int fd) {
        epoll_event interest = {};
        interest.events = EPOLLIN;
        interest.data.fd = fd;
        return interest;
    }

    // Unregisters `event`, closes its descriptor and clears it.
    void Close(Event &event) {
        DelEvent(event.fd);
        close(event.fd);
        event.clear();
    }

    // One wait and its dispatch. Records are looked up at dispatch time, so a handler that removes
    // a descriptor stops its later dispatch in the batch. Handler exceptions are not caught.
    void Run() {
        int count = epoll_wait(epollfd, ev, EpollSize, EpollTimeout);
        if (count <= 0) {
            return;
        }
        for (int i = 0; i < count; ++i) {
            auto found = events.find(ev[i].data.fd);
            if (found == events.end()) {
                continue;
            }
            Event &event = found->second.get();
            if (event.pop) {
                // The handler may clear or replace itself; nothing of the entry or the Event is
                // used after it returns.
                event.pop(ev[i]);
            }
        }
    }

private:
    int epollfd;
    std::map<int, std::reference_wrapper<Event>> events;
    epoll_event ev[EpollSize];
};

}  // namespace EventCLoop
