// Reactor, one-shot timers and the posted-callback channel.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>

#include "event_loop/Epoll.h"
#include "event_loop/Error.h"
#include "event_loop/Event.h"
#include "event_loop/Eventfd.h"
#include "event_loop/Timer.h"
#include "event_loop/Util.h"
#include "open_fds.h"

using namespace EventCLoop;
using Clock = std::chrono::steady_clock;

namespace {

// Turns the loop until `done` holds; false after a generous time-out.
bool RunUntil(Epoll &epoll, const std::function<bool()> &done,
              std::chrono::seconds limit = std::chrono::seconds(10)) {
    auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        epoll.Run();
    }
    return true;
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A pipe whose read end is ready; closed at the end of the test.
struct ReadyPipe {
    ReadyPipe() {
        if (pipe(fds) != 0) abort();
        if (write(fds[1], "x", 1) != 1) abort();
    }
    ~ReadyPipe() {
        close(fds[0]);
        close(fds[1]);
    }
    epoll_event interest() const {
        epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.fd = fds[0];
        return ev;
    }
    int fds[2];
};

// Fires after `ms` milliseconds and raises `fired`: a bound for waiting on
// something that must not happen.
std::shared_ptr<Timer> Sentinel(Epoll &epoll, bool &fired, unsigned ms) {
    auto timer = std::make_shared<Timer>(epoll);
    timer->initOneTimer(0, ms * 1000000u);
    timer->async_wait([&fired](Error &) { fired = true; });
    return timer;
}

}  // namespace

TEST(Error, DefaultIsNoErrorAndTextIsAnError) {
    Error none;
    EXPECT_FALSE(none);
    EXPECT_STREQ("", none.what());

    Error failed("boom");
    EXPECT_TRUE(failed);
    EXPECT_STREQ("boom", failed.what());

    none = std::move(failed);
    EXPECT_TRUE(none);
    EXPECT_STREQ("boom", none.what());
}

TEST(Util, NowStrHasDateTimeAndMilliseconds) {
    std::string now = now_str();
    EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \d{3})")))
        << now;
}

TEST(Epoll, IdleRunWaitsAboutOneSecondAndCallsNothing) {
    Epoll epoll;
    ReadyPipe idle;
    // Registered but never readable: the write end is watched for input.
    Event event;
    event.fd = idle.fds[1];
    bool called = false;
    event.pop = [&](const epoll_event &) { called = true; };
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = event.fd;
    epoll.AddEvent(event, ev);

    auto start = Clock::now();
    epoll.Run();
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_FALSE(called);
    EXPECT_GE(waited.count(), 1000);
    EXPECT_LT(waited.count(), 5000);
    epoll.DelEvent(event.fd);
}

TEST(Epoll, SignalEndsTheWaitWithoutDispatch) {
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    struct sigaction previous = {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));

    Epoll epoll;
    std::atomic<bool> done{false};
    pthread_t waiter = pthread_self();
    // Keeps interrupting until the wait has ended, so the signal cannot slip
    // in before epoll_wait starts.
    std::thread interrupter([&] {
        while (!done) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    auto start = Clock::now();
    epoll.Run();
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_LT(waited.count(), 900);
}

TEST(Epoll, RegistrationErrorsAndHarmlessRemoval) {
    Epoll epoll;
    ReadyPipe ready;
    Event first;
    first.fd = ready.fds[0];
    int calls_first = 0;
    first.pop = [&](const epoll_event &) { ++calls_first; };
    epoll.AddEvent(first, ready.interest());

    Event second;
    second.fd = ready.fds[0];
    int calls_second = 0;
    second.pop = [&](const epoll_event &) { ++calls_second; };
    try {
        epoll.AddEvent(second, ready.interest());
        FAIL() << "second registration of one descriptor accepted";
    } catch (const std::logic_error &e) {
        EXPECT_EQ(std::string("epoll_ctl EPOLL_CTL_ADD fail") + strerror(EEXIST), e.what());
    }
    // The first registration is untouched.
    epoll.Run();
    EXPECT_EQ(1, calls_first);
    EXPECT_EQ(0, calls_second);

    EXPECT_NO_THROW(epoll.DelEvent(12345));
    epoll.DelEvent(ready.fds[0]);
    EXPECT_FALSE(epoll.HasEvent(ready.fds[0]));
    EXPECT_TRUE(IsOpen(ready.fds[0]));  // removal never closes

    try {
        epoll.ModEvent(ready.fds[0], ready.interest());
        FAIL() << "modify of an unregistered descriptor accepted";
    } catch (const std::logic_error &e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find(strerror(ENOENT))) << e.what();
    }
}

TEST(Epoll, EmptyHandlerIsSkippedAndReportedAgain) {
    Epoll epoll;
    ReadyPipe ready;
    Event event;
    event.fd = ready.fds[0];
    epoll.AddEvent(event, ready.interest());
    epoll.Run();  // ready, no handler: skipped

    int calls = 0;
    event.pop = [&](const epoll_event &) { ++calls; };
    epoll.Run();  // level-triggered: reported again, now with a handler
    epoll.Run();
    EXPECT_EQ(2, calls);
    epoll.DelEvent(event.fd);
}

TEST(Epoll, HandlerRemovingALaterDescriptorOfTheBatchPreventsItsDispatch) {
    Epoll epoll;
    ReadyPipe a, b;
    Event ea, eb;
    int calls = 0;
    // Whichever the kernel reports first removes the other.
    ea.fd = a.fds[0];
    ea.pop = [&](const epoll_event &) {
        ++calls;
        epoll.DelEvent(b.fds[0]);
    };
    eb.fd = b.fds[0];
    eb.pop = [&](const epoll_event &) {
        ++calls;
        epoll.DelEvent(a.fds[0]);
    };
    epoll.AddEvent(ea, a.interest());
    epoll.AddEvent(eb, b.interest());
    epoll.Run();
    EXPECT_EQ(1, calls);
    epoll.DelEvent(a.fds[0]);
    epoll.DelEvent(b.fds[0]);
}

TEST(Timer, FiresOnceThenIsGoneWithItsDescriptorClosed) {
    Epoll epoll;
    auto before = OpenFds();
    auto timer = std::make_shared<Timer>(epoll);
    auto added = NewFds(before, OpenFds());
    ASSERT_EQ(1u, added.size());
    int fd = *added.begin();
    std::weak_ptr<Timer> watch = timer;

    int calls = 0;
    bool error = true;
    timer->initOneTimer(0, 1000000);
    // The callback alone keeps the timer alive.
    timer->async_wait([&, timer](Error &status) {
        ++calls;
        error = static_cast<bool>(status);
        EXPECT_TRUE(epoll.HasEvent(fd));  // unregistered only after the callback
    });
    timer.reset();
    EXPECT_TRUE(epoll.HasEvent(fd));
    ASSERT_TRUE(RunUntil(epoll, [&] { return calls > 0; }));

    EXPECT_EQ(1, calls);
    EXPECT_FALSE(error);
    EXPECT_FALSE(epoll.HasEvent(fd));
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_TRUE(watch.expired());

    bool sentinel = false;
    auto bound = Sentinel(epoll, sentinel, 50);
    ASSERT_TRUE(RunUntil(epoll, [&] { return sentinel; }));
    EXPECT_EQ(1, calls);
}

TEST(Timer, DestroyingTheReactorReleasesWaitingTimers) {
    auto before = OpenFds();
    std::weak_ptr<Timer> watch;
    bool called = false;
    {
        Epoll epoll;
        auto timer = std::make_shared<Timer>(epoll);
        watch = timer;
        timer->initOneTimer(60, 0);
        timer->async_wait([&called, timer](Error &) { called = true; });
    }
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(called);
    EXPECT_EQ(before, OpenFds());  // the timer's and the reactor's descriptors closed
}

TEST(Timer, CancelledOrDisarmedTimerNeverCalls) {
    Epoll epoll;
    bool cancelled_called = false, disarmed_called = false;
    auto before = OpenFds();
    {
        Timer cancelled(epoll);
        cancelled.initOneTimer(0, 1000000);
        cancelled.async_wait([&](Error &) { cancelled_called = true; });
    }
    EXPECT_EQ(before, OpenFds());

    Timer disarmed(epoll);
    disarmed.initOneTimer(0, 0);
    disarmed.async_wait([&](Error &) { disarmed_called = true; });

    bool sentinel = false;
    auto bound = Sentinel(epoll, sentinel, 100);
    ASSERT_TRUE(RunUntil(epoll, [&] { return sentinel; }));
    EXPECT_FALSE(cancelled_called);
    EXPECT_FALSE(disarmed_called);
}

TEST(Timer, ArmingAndWaitingErrors) {
    Epoll epoll;
    auto before = OpenFds();
    {
        Timer timer(epoll);
        try {
            timer.initOneTimer(0, 1000000000u);
            FAIL() << "nanoseconds of a whole second accepted";
        } catch (const std::runtime_error &e) {
            EXPECT_EQ(std::string("timerfd_settime fail ") + strerror(EINVAL), e.what());
        }
    }
    // A timer that never waited still closes its descriptor.
    EXPECT_EQ(before, OpenFds());

    Timer timer(epoll);
    timer.initOneTimer(0, 1000000);
    int first = 0, second = 0;
    timer.async_wait([&](Error &) { ++first; });
    try {
        timer.async_wait([&](Error &) { ++second; });
        FAIL() << "second wait accepted";
    } catch (const std::logic_error &e) {
        EXPECT_EQ(std::string("epoll_ctl EPOLL_CTL_ADD fail") + strerror(EEXIST), e.what());
    }
    ASSERT_TRUE(RunUntil(epoll, [&] { return first + second > 0; }));
    EXPECT_EQ(1, first);
    EXPECT_EQ(0, second);
}

TEST(Timer, ManyChainedTimersLeaveNoDescriptorBehind) {
    Epoll epoll;
    auto before = OpenFds();
    const int rounds = 2000;
    int fired = 0;
    // Each callback schedules the next timer, as delays are chained in use.
    std::function<void()> next = [&] {
        auto timer = std::make_shared<Timer>(epoll);
        timer->initOneTimer(0, 1000);
        timer->async_wait([&, timer](Error &) {
            if (++fired < rounds) next();
        });
    };
    next();
    ASSERT_TRUE(RunUntil(epoll, [&] { return fired == rounds; }, std::chrono::seconds(60)));
    EXPECT_EQ(before, OpenFds());
}

TEST(Eventfd, TwoPostsBeforeATurnRunTheLastCallbackTwice) {
    Epoll epoll;
    Eventfd channel(epoll);
    int first = 0, second = 0;
    channel.SendEvent([&] { ++first; });
    channel.SendEvent([&] { ++second; });
    ASSERT_TRUE(RunUntil(epoll, [&] { return first + second > 0; }));
    EXPECT_EQ(0, first);
    EXPECT_EQ(2, second);

    // The counter was consumed: nothing runs again without a new post.
    bool sentinel = false;
    auto bound = Sentinel(epoll, sentinel, 50);
    ASSERT_TRUE(RunUntil(epoll, [&] { return sentinel; }));
    EXPECT_EQ(2, second);
}

TEST(Eventfd, CallbackThatPostsAgainRunsOncePerTurn) {
    Epoll epoll;
    Eventfd channel(epoll);
    int runs = 0;
    std::function<void()> pass = [&] {
        ++runs;
        if (runs < 5) channel.SendEvent(pass);
    };
    channel.SendEvent(pass);
    for (int turn = 1; turn <= 5; ++turn) {
        epoll.Run();
        EXPECT_EQ(turn, runs);
    }
    bool sentinel = false;
    auto bound = Sentinel(epoll, sentinel, 50);
    ASSERT_TRUE(RunUntil(epoll, [&] { return sentinel; }));
    EXPECT_EQ(5, runs);
}

TEST(Eventfd, DestructionUnregistersAndCloses) {
    Epoll epoll;
    auto before = OpenFds();
    int fd = -1;
    {
        Eventfd channel(epoll);
        auto added = NewFds(before, OpenFds());
        ASSERT_EQ(1u, added.size());
        fd = *added.begin();
        EXPECT_TRUE(epoll.HasEvent(fd));
    }
    EXPECT_FALSE(epoll.HasEvent(fd));
    EXPECT_EQ(before, OpenFds());
}
