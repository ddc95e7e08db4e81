// The watchdog thread: recovery, blocking-command waits, commands issued from
// the callback, exit-time shutdown, and a concurrency stress run (meant for
// ThreadSanitizer builds as well).
#include "kestrel/handler/watchdog.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/common/error.hpp"

namespace {

using namespace std::chrono_literals;
using kestrel::ErrorKind;
using kestrel::Watchdog;
using kestrel::WatchdogCommand;
using Clock = std::chrono::steady_clock;

struct Record {
    std::string message;
    bool has_error;
    ErrorKind kind;
};

std::mutex g_records_mutex;
std::vector<Record> g_records;

void capture_sink(std::string_view message, std::exception_ptr error) {
    Record r{std::string(message), error != nullptr, ErrorKind::Value};
    if (error) {
        try {
            std::rethrow_exception(error);
        } catch (const kestrel::Error &e) {
            r.kind = e.kind();
        } catch (...) {
            r.kind = ErrorKind::MasterException;  // marks "not a core error"
        }
    }
    std::lock_guard lock(g_records_mutex);
    g_records.push_back(std::move(r));
}

std::vector<Record> records() {
    std::lock_guard lock(g_records_mutex);
    return g_records;
}

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 2000ms) {
    const auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A gate the callback can wait on; shared so that a thread outliving its test
// (abandoned at shutdown) still finds it.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    std::atomic<int> entered{0};
    void pass() {
        ++entered;
        std::unique_lock lock(m);
        cv.wait_for(lock, 3s, [&] { return open; });
    }
    void release() {
        {
            std::lock_guard lock(m);
            open = true;
        }
        cv.notify_all();
    }
};

class WatchdogTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard lock(g_records_mutex);
        g_records.clear();
        kestrel::set_watchdog_log_sink(&capture_sink);
    }
    void TearDown() override { kestrel::set_watchdog_log_sink(nullptr); }
};

struct BadCommandCase {
    const char *name;
    uint8_t raw;
    bool activate_first;
    const char *first_record;
    ErrorKind raised;
};

class WatchdogBadCommand : public WatchdogTest, public ::testing::WithParamInterface<BadCommandCase> {};

TEST_P(WatchdogBadCommand, IsLoggedAndTheThreadRecovers) {
    const BadCommandCase &c = GetParam();
    Watchdog wd(10.0, [] {});
    wd.start();
    if (c.activate_first) wd.activate();
    wd._post_raw(c.raw);
    ASSERT_TRUE(eventually([] { return records().size() >= 2; }));
    const auto r = records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].message, c.first_record);
    EXPECT_FALSE(r[0].has_error);
    EXPECT_EQ(r[1].message, "FSoE Watchdog thread crashed. Restarting...");
    EXPECT_TRUE(r[1].has_error);
    EXPECT_EQ(r[1].kind, c.raised);
    // The thread goes on, with the flag unchanged.
    EXPECT_TRUE(wd.is_alive());
    EXPECT_EQ(wd.active(), c.activate_first);
    wd.deactivate();
    wd.activate();
    EXPECT_TRUE(wd.active());
    wd.stop();
    EXPECT_FALSE(wd.is_alive());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, WatchdogBadCommand,
    ::testing::Values(BadCommandCase{"Unknown", 99, false,
                                     "Unknown FSoE Watchdog internal command received. Watchdog corrupted",
                                     ErrorKind::NotImplemented},
                      BadCommandCase{"ActivateWhileActive", static_cast<uint8_t>(WatchdogCommand::ACTIVATE), true,
                                     "WatchdogCommand.ACTIVATE received while already active", ErrorKind::Runtime}),
    [](const auto &info) { return std::string(info.param.name); });

// A blocking command the thread cannot answer (it is stuck in the callback)
// returns without error after the wait and is handled later.
class WatchdogUnanswered : public WatchdogTest, public ::testing::WithParamInterface<WatchdogCommand> {};

TEST_P(WatchdogUnanswered, CommandReturnsAfterTheWait) {
    auto gate = std::make_shared<Gate>();
    Watchdog wd(
        0.005, [gate] { gate->pass(); }, 150ms);
    wd.start();
    wd.activate();
    ASSERT_TRUE(eventually([&] { return gate->entered > 0; }));

    const auto t0 = Clock::now();
    if (GetParam() == WatchdogCommand::STOP) {
        EXPECT_NO_THROW(wd.stop());
    } else {
        EXPECT_NO_THROW(wd.deactivate());
    }
    const auto waited = Clock::now() - t0;
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 1500ms);
    EXPECT_TRUE(wd.active());  // not handled yet
    EXPECT_TRUE(wd.is_alive());

    gate->release();
    if (GetParam() == WatchdogCommand::STOP) {
        EXPECT_TRUE(wd.join(2s));
        EXPECT_FALSE(wd.is_alive());
    } else {
        EXPECT_TRUE(eventually([&] { return !wd.active(); }));
        wd.stop();
    }
    EXPECT_TRUE(records().empty());
}

INSTANTIATE_TEST_SUITE_P(Commands, WatchdogUnanswered,
                         ::testing::Values(WatchdogCommand::DEACTIVATE, WatchdogCommand::STOP));

// Commands issued while the thread is stuck in the callback, each waiting
// 100 ms and then giving up: the watchdog must end as the last one asked, not
// as a stale command still queued decides.
struct StaleCase {
    const char *name;
    std::vector<WatchdogCommand> while_busy;
    bool active_after;
};

class WatchdogStaleCommand : public WatchdogTest, public ::testing::WithParamInterface<StaleCase> {};

TEST_P(WatchdogStaleCommand, LastCommandIssuedWins) {
    const StaleCase &c = GetParam();
    auto gate = std::make_shared<Gate>();
    Watchdog wd(
        0.005, [gate] { gate->pass(); }, 100ms);
    wd.start();
    wd.activate();
    ASSERT_TRUE(eventually([&] { return gate->entered > 0; }));
    for (WatchdogCommand command : c.while_busy) {
        if (command == WatchdogCommand::ACTIVATE) {
            wd.activate();
        } else {
            wd.deactivate();
        }
        EXPECT_EQ(wd.requested_active(), command == WatchdogCommand::ACTIVATE);
    }
    EXPECT_TRUE(wd.active());  // none handled yet
    gate->release();
    wd.stop();  // queued behind the others: handled means they were too
    EXPECT_EQ(wd.active(), c.active_after);
    EXPECT_TRUE(wd.join(2s));
    EXPECT_TRUE(records().empty()) << records().front().message;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, WatchdogStaleCommand,
    ::testing::Values(StaleCase{"Deactivate", {WatchdogCommand::DEACTIVATE}, false},
                      StaleCase{"DeactivateActivate", {WatchdogCommand::DEACTIVATE, WatchdogCommand::ACTIVATE}, true},
                      StaleCase{"DeactivateActivateDeactivate",
                                {WatchdogCommand::DEACTIVATE, WatchdogCommand::ACTIVATE, WatchdogCommand::DEACTIVATE},
                                false}),
    [](const auto &info) { return std::string(info.param.name); });

// The same from the callback: a command it issues after the owner's
// deactivate() was queued is the last one, and the one that holds.
TEST_F(WatchdogTest, CommandFromTheCallbackSupersedesAQueuedOne) {
    std::atomic<int> calls{0};
    Watchdog *self = nullptr;
    Watchdog wd(0.005, [&] {
        if (++calls != 1) return;
        // Posting the DEACTIVATE records the request at once; the thread
        // cannot take it while it runs this callback.
        if (!eventually([&] { return !self->requested_active(); })) return;
        self->activate();
    });
    self = &wd;
    wd.start();
    wd.activate();
    ASSERT_TRUE(eventually([&] { return calls > 0; }));
    wd.deactivate();  // returns once the thread took it (superseded by then)
    EXPECT_TRUE(wd.requested_active());
    EXPECT_TRUE(wd.active());
    EXPECT_TRUE(eventually([&] { return calls > 1; }));  // still watching
    wd.stop();
    EXPECT_TRUE(records().empty()) << records().front().message;
}

// A manual clock: expiry timing without sleeping through the timeouts.
class WatchdogManualClock : public WatchdogTest {
protected:
    std::shared_ptr<kestrel::ManualClock> clock = std::make_shared<kestrel::ManualClock>(1h);
    std::atomic<int> calls{0};
    std::atomic<int64_t> called_at_ns{-1};

    std::unique_ptr<Watchdog> make(double timeout_s) {
        auto wd = std::make_unique<Watchdog>(
            timeout_s,
            [this] {
                called_at_ns = clock->now().count();
                ++calls;
            },
            Watchdog::kBlockingCommandWait, clock);
        wd->start();
        return wd;
    }
    // Real time for the thread to notice a step; long only when it fails.
    bool fired(int n) {
        return eventually([&] { return calls >= n; });
    }
    // The thread took every command before this one: it has seen the time.
    void settle(Watchdog &wd) {
        wd.deactivate();
        wd.activate();
    }
};

TEST_F(WatchdogManualClock, ExpiresWhenTheClockReachesTheTimeoutAndRepeats) {
    auto wd = make(10.0);  // ten seconds of the manual clock: no real wait at all
    wd->activate();
    const auto start = clock->now();
    clock->advance(9999ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls, 0);
    clock->advance(1ms);
    ASSERT_TRUE(fired(1));
    EXPECT_EQ(called_at_ns, (start + 10s).count());
    clock->advance(10s);
    ASSERT_TRUE(fired(2));
    EXPECT_EQ(called_at_ns, (start + 20s).count());
    wd->deactivate();
    clock->advance(1h);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls, 2);
}

TEST_F(WatchdogManualClock, ResetRestartsTheTiming) {
    auto wd = make(1.0);
    wd->activate();
    for (int i = 0; i < 5; ++i) {
        clock->advance(900ms);
        wd->reset();
    }
    clock->advance(999ms);
    settle(*wd);  // restarts the timing at this instant, as any command does
    const auto settled = clock->now();
    clock->advance(999ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls, 0);
    clock->advance(1ms);
    ASSERT_TRUE(fired(1));
    EXPECT_EQ(called_at_ns, (settled + 1s).count());
}

TEST_F(WatchdogManualClock, NegativeStepsAreIgnoredAndSeveralWatchdogsShareTheClock) {
    auto a = make(1.0);
    auto b = make(2.0);
    a->activate();
    b->activate();
    const auto start = clock->now();
    clock->advance(-5s);
    EXPECT_EQ(clock->now(), start);
    clock->advance(2s);
    ASSERT_TRUE(fired(2));  // both
    b.reset();              // unsubscribes while the clock lives on
    clock->advance(1s);
    ASSERT_TRUE(fired(3));
}

// A callback that fails must not release a caller whose command is still
// queued behind it: deactivate() returns only once it took effect.
TEST_F(WatchdogTest, FailingCallbackDoesNotReleaseAQueuedCommandEarly) {
    std::atomic<int> calls{0};
    Watchdog wd(0.005, [&] {
        ++calls;
        std::this_thread::sleep_for(200ms);
        throw std::runtime_error("callback failed");
    });
    wd.start();
    wd.activate();
    ASSERT_TRUE(eventually([&] { return calls > 0; }));
    wd.deactivate();
    EXPECT_FALSE(wd.active());
    wd.stop();
    const auto r = records();
    ASSERT_FALSE(r.empty());
    for (const Record &rec : r) EXPECT_EQ(rec.message, "FSoE Watchdog thread crashed. Restarting...");
}

// Commands issued by the callback itself take effect at once: the thread
// cannot take them from its queue while it runs the callback.
enum class FromCallback { Deactivate, Stop, Destroy };

class WatchdogFromCallback : public WatchdogTest, public ::testing::WithParamInterface<FromCallback> {};

TEST_P(WatchdogFromCallback, DoesNotWaitForItself) {
    std::atomic<int> calls{0};
    std::atomic<int64_t> took_ns{-1};
    std::atomic<bool> armed{false};  // the test thread no longer uses the watchdog
    std::unique_ptr<Watchdog> wd;
    Watchdog *raw = nullptr;
    wd = std::make_unique<Watchdog>(0.005, [&] {
        if (!armed || ++calls > 1) return;
        const auto t0 = Clock::now();
        switch (GetParam()) {
            case FromCallback::Deactivate:
                raw->deactivate();
                break;
            case FromCallback::Stop:
                raw->stop();
                break;
            case FromCallback::Destroy:
                wd.reset();
                break;
        }
        took_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
    });
    raw = wd.get();
    wd->start();
    wd->activate();
    armed = true;
    ASSERT_TRUE(eventually([&] { return took_ns >= 0; }));
    EXPECT_LT(took_ns, std::chrono::nanoseconds(1s).count());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, 1);  // no further expiry
    if (GetParam() == FromCallback::Deactivate) {
        EXPECT_FALSE(wd->active());
        EXPECT_TRUE(wd->is_alive());
        wd->stop();
    } else if (GetParam() == FromCallback::Stop) {
        EXPECT_TRUE(wd->join(2s));
        EXPECT_THROW(wd->reset(), kestrel::Error);
    }
    EXPECT_TRUE(records().empty());
}

INSTANTIATE_TEST_SUITE_P(Commands, WatchdogFromCallback,
                         ::testing::Values(FromCallback::Deactivate, FromCallback::Stop, FromCallback::Destroy));

TEST_F(WatchdogTest, StopAllEndsRunningWatchdogsAndAbandonsStuckOnes) {
    Watchdog idle(10.0, [] {});
    Watchdog watching(0.001, [] {});
    Watchdog never_started(1.0, [] {});
    idle.start();
    watching.start();
    watching.activate();
    EXPECT_EQ(kestrel::stop_all_watchdogs(1s), 0u);
    EXPECT_FALSE(idle.is_alive());
    EXPECT_FALSE(watching.is_alive());
    EXPECT_TRUE(idle.join(0ms));
    EXPECT_TRUE(watching.join(0ms));
    EXPECT_FALSE(never_started.is_alive());

    // A callback that does not return within the budget: its owner then no
    // longer waits for the thread.
    auto gate = std::make_shared<Gate>();
    auto stuck = std::make_unique<Watchdog>(0.001, [gate] { gate->pass(); });
    stuck->start();
    stuck->activate();
    ASSERT_TRUE(eventually([&] { return gate->entered > 0; }));
    std::atomic<bool> released{false};
    std::thread waiter([&] {  // waits for the stuck thread to take the command
        stuck->deactivate();
        released = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(released);
    EXPECT_EQ(kestrel::stop_all_watchdogs(50ms), 1u);
    // Abandoning releases the waiting caller, and commands then fail at once.
    EXPECT_TRUE(eventually([&] { return released.load(); }, 500ms));
    waiter.join();
    EXPECT_FALSE(stuck->is_alive());
    EXPECT_THROW(stuck->reset(), kestrel::Error);
    const auto t0 = Clock::now();
    stuck.reset();
    EXPECT_LT(Clock::now() - t0, 500ms);
    gate->release();
}

// Several threads reset, activate and deactivate while expiries fire; the
// callback toggles the watchdog itself now and then. Run under ThreadSanitizer
// for data races; here it checks that no command is lost or misreported.
TEST_F(WatchdogTest, StressResetActivateDeactivateWhileExpiring) {
    std::atomic<int> expiries{0};
    std::atomic<bool> calm{false};  // after the storm the callback stops toggling
    Watchdog *self = nullptr;
    Watchdog wd(0.001, [&] {
        const int n = ++expiries;
        if (calm) return;
        if (n % 7 == 0) self->deactivate();
        if (n % 11 == 0) self->activate();
    });
    self = &wd;
    wd.start();

    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {  // bursts of resets with gaps for expiries
            while (!done) {
                const auto burst_end = Clock::now() + 2ms;
                while (Clock::now() < burst_end) wd.reset();
                std::this_thread::sleep_for(3ms);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; !done; ++i) {
            if (i % 2) {
                wd.deactivate();
            } else {
                wd.activate();
            }
            std::this_thread::sleep_for(4ms);
        }
    });
    threads.emplace_back([&] {
        while (!done) {
            wd.activate_and_reset();
            (void)wd.active();
            std::this_thread::sleep_for(1ms);
        }
    });
    std::this_thread::sleep_for(400ms);
    done = true;
    for (auto &t : threads) t.join();
    calm = true;
    // Whatever the storm left, the watchdog still obeys and still expires
    // (how many expiries the storm itself saw depends on the machine's load).
    wd.activate();
    EXPECT_TRUE(wd.active());
    const int before = expiries;
    const auto deadline = Clock::now() + 2s;
    while (expiries == before && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_GT(expiries, before);
    wd.deactivate();
    EXPECT_FALSE(wd.active());
    wd.stop();
    EXPECT_TRUE(wd.join(2s));
    EXPECT_TRUE(records().empty()) << records().front().message;
}

}  // namespace
