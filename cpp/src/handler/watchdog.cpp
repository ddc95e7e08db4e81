#include "kestrel/handler/watchdog.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "kestrel/common/error.hpp"

namespace kestrel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kNotRunning = "FSoE Watchdog thread is not running";
constexpr const char *kCrashed = "FSoE Watchdog thread crashed. Restarting...";

void cerr_sink(std::string_view message, std::exception_ptr error) {
    std::string out(message);
    if (error) {
        out += "\n  caused by: ";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception &e) {
            out += e.what();
        } catch (...) {
            out += "unknown exception";
        }
    }
    out += '\n';
    std::cerr << out << std::flush;
}

std::atomic<WatchdogLogSink> g_log_sink{&cerr_sink};

void log_error(std::string_view message, std::exception_ptr error = nullptr) {
    try {
        g_log_sink.load(std::memory_order_acquire)(message, std::move(error));
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        throw;  // the thread is being ended (a host ending threads at exit)
#endif
    } catch (...) {
        // A failing log sink must not take the watchdog down.
    }
}

// Largest timeout honoured; longer ones (infinity included) never expire in
// practice and keep deadline arithmetic far from overflow.
constexpr double kMaxTimeoutSeconds = 1e9;

Clock::duration timeout_from_seconds(double seconds) {
    if (std::isnan(seconds) || seconds < 0) raise(ErrorKind::Value, "'timeout' must be a non-negative number");
    seconds = std::min(seconds, kMaxTimeoutSeconds);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

void set_watchdog_log_sink(WatchdogLogSink sink) noexcept {
    g_log_sink.store(sink ? sink : &cerr_sink, std::memory_order_release);
}

struct Watchdog::State {
    struct Entry {
        uint8_t command;
        uint64_t ticket;        // 0 for commands nobody waits for
        uint64_t inline_epoch;  // inline changes seen when it was posted
    };

    State(double timeout_s, Callback cb, Duration wait)
        : timeout(timeout_from_seconds(timeout_s)), callback(std::move(cb)), blocking_wait(wait) {}

    const Clock::duration timeout;
    const Callback callback;
    const Duration blocking_wait;

    // Written by reset() on every cycle: kept on its own cache line so that the
    // thread's other fields do not bounce between cores.
    alignas(64) std::atomic<Clock::rep> last_reset{std::numeric_limits<Clock::rep>::min()};
    alignas(64) std::atomic<bool> alive{false};  // accepting commands
    std::atomic<bool> active{false};             // written by the watchdog thread only
    std::atomic<std::thread::id> thread_id{};
    std::atomic<uint64_t> inline_epoch{0};  // counts commands applied on the thread itself

    std::mutex blocking_lock;  // serialises the blocking commands

    std::mutex mutex;  // guards the fields below
    std::condition_variable command_cv;
    std::condition_variable done_cv;
    std::deque<Entry> queue;
    uint64_t posted = 0;
    uint64_t completed = 0;
    bool started = false;
    bool finished = false;
    bool abandoned = false;

    // Owned by the watchdog thread.
    Clock::time_point base{};  // start of the current timing
    bool stop_flag = false;
    uint64_t current_ticket = 0;

    bool on_thread() const noexcept { return thread_id.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

    void complete(uint64_t ticket) {
        if (ticket == 0) return;
        {
            std::lock_guard lock(mutex);
            completed = std::max(completed, ticket);
        }
        done_cv.notify_all();
    }

    // Caller holds blocking_lock; `epoch` is inline_epoch read before the
    // caller looked at `active`.
    void process_blocking(WatchdogCommand command, uint64_t epoch) {
        std::unique_lock lock(mutex);
        if (!alive.load(std::memory_order_relaxed)) raise(ErrorKind::Runtime, kNotRunning);
        const uint64_t ticket = ++posted;
        queue.push_back({static_cast<uint8_t>(command), ticket, epoch});
        command_cv.notify_one();
        // An unanswered command is not an error: the caller just goes on.
        done_cv.wait_for(lock, blocking_wait, [&] { return completed >= ticket; });
    }

    void post(uint8_t command) {
        {
            std::lock_guard lock(mutex);
            if (!alive.load(std::memory_order_relaxed)) raise(ErrorKind::Runtime, kNotRunning);
            queue.push_back({command, 0, inline_epoch.load(std::memory_order_relaxed)});
        }
        command_cv.notify_one();
    }

    // Asks the thread to end without waiting; false when it no longer runs.
    bool request_stop() {
        if (on_thread()) {
            apply_inline(WatchdogCommand::STOP);
            return true;
        }
        std::lock_guard lock(mutex);
        if (!alive.load(std::memory_order_relaxed)) return !finished;
        queue.push_back({static_cast<uint8_t>(WatchdogCommand::STOP), 0, 0});
        command_cv.notify_one();
        return true;
    }

    // A command issued on the watchdog thread itself (from the callback): the
    // thread cannot take it from the queue while it runs the callback, so it
    // takes effect at once instead of stalling its caller.
    void apply_inline(WatchdogCommand command) {
        struct Bump {  // after the change: see the posting side in activate()
            std::atomic<uint64_t> &epoch;
            ~Bump() { epoch.fetch_add(1); }
        } bump{inline_epoch};
        switch (command) {
            case WatchdogCommand::ACTIVATE:
                if (!active.load(std::memory_order_relaxed)) {
                    active.store(true);
                    base = Clock::now();
                }
                break;
            case WatchdogCommand::DEACTIVATE:
                active.store(false);
                break;
            case WatchdogCommand::STOP: {
                stop_flag = true;
                std::lock_guard lock(mutex);
                alive.store(false, std::memory_order_release);
                break;
            }
            case WatchdogCommand::RESET:
                break;
        }
    }

    // A command from the callback: as from any other thread, it fails once
    // the watchdog has been stopped (is_alive() is false from then on).
    void apply_on_thread(WatchdogCommand command) {
        if (!alive.load(std::memory_order_acquire)) raise(ErrorKind::Runtime, kNotRunning);
        apply_inline(command);
    }

    Clock::time_point timing_start() const {
        const Clock::time_point reset_at{Clock::duration(last_reset.load(std::memory_order_relaxed))};
        return std::max(base, reset_at);
    }

    // One turn: wait for a command or an expiry, then handle it.
    void turn() {
        current_ticket = 0;
        Entry entry{};
        {
            std::unique_lock lock(mutex);
            const auto has_command = [&] { return !queue.empty(); };
            if (!active.load(std::memory_order_relaxed)) {
                command_cv.wait(lock, has_command);
            } else {
                // Resets do not wake the thread: when the wait ends, look for a
                // reset that restarted the timing meanwhile and wait the rest.
                bool expired = false;
                while (!expired) {
                    if (command_cv.wait_until(lock, timing_start() + timeout, has_command)) break;
                    expired = Clock::now() >= timing_start() + timeout;
                }
                if (expired) {
                    lock.unlock();
                    callback();
                    base = Clock::now();
                    return;
                }
            }
            entry = queue.front();
            queue.pop_front();
        }
        base = Clock::now();  // any command restarts the timing
        current_ticket = entry.ticket;
        switch (entry.command) {
            case static_cast<uint8_t>(WatchdogCommand::RESET):
                break;
            case static_cast<uint8_t>(WatchdogCommand::STOP):
                apply_inline(WatchdogCommand::STOP);
                break;
            case static_cast<uint8_t>(WatchdogCommand::ACTIVATE):
                // Posted while inactive; the callback activating the watchdog
                // itself meanwhile is a benign race, not a corrupted state.
                if (active.load() && entry.inline_epoch == inline_epoch.load()) {
                    log_error("WatchdogCommand.ACTIVATE received while already active");
                    complete(entry.ticket);
                    raise(ErrorKind::Runtime);
                }
                active.store(true, std::memory_order_release);
                break;
            case static_cast<uint8_t>(WatchdogCommand::DEACTIVATE):
                active.store(false, std::memory_order_release);
                break;
            default:
                log_error("Unknown FSoE Watchdog internal command received. Watchdog corrupted");
                complete(entry.ticket);
                raise(ErrorKind::NotImplemented);
        }
        complete(entry.ticket);
    }

    void run();
};

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::pair<const Watchdog::State *, std::weak_ptr<Watchdog::State>>> live;
};

// Never destroyed: threads may still deregister while the process exits.
Registry &registry() {
    static Registry *r = new Registry;
    return *r;
}

}  // namespace

void Watchdog::State::run() {
    thread_id.store(std::this_thread::get_id(), std::memory_order_relaxed);
    base = Clock::now();
    // Also runs when the thread is unwound by force (thread cancellation).
    struct Finish {
        State &s;
        ~Finish() {
            // Thread ids are reused: a later thread must not pass for this one.
            s.thread_id.store(std::thread::id{}, std::memory_order_relaxed);
            {
                std::lock_guard lock(s.mutex);
                s.alive.store(false, std::memory_order_release);
                s.finished = true;
                s.completed = s.posted;  // nobody waits for a thread that is gone
                s.queue.clear();
            }
            s.done_cv.notify_all();
            Registry &r = registry();
            std::lock_guard lock(r.mutex);
            std::erase_if(r.live, [this](const auto &e) { return e.first == &s; });
        }
    } finish{*this};

    while (!stop_flag) {
        try {
            turn();
#if defined(__GLIBCXX__)
        } catch (abi::__forced_unwind &) {
            throw;
#endif
        } catch (...) {
            base = Clock::now();
            complete(current_ticket);
            log_error(kCrashed, std::current_exception());
        }
    }
}

Watchdog::Watchdog(double timeout_s, Callback callback, Duration blocking_command_wait)
    : state_(std::make_shared<State>(timeout_s, std::move(callback), blocking_command_wait)) {}

Watchdog::~Watchdog() {
    if (!thread_.joinable()) return;
    State &s = *state_;
    if (s.on_thread()) {
        s.apply_inline(WatchdogCommand::STOP);
        thread_.detach();  // the thread holds the state until it ends
        return;
    }
    s.request_stop();
    bool finished;
    {
        std::unique_lock lock(s.mutex);
        s.done_cv.wait(lock, [&] { return s.finished || s.abandoned; });
        finished = s.finished;
    }
    if (finished) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

void Watchdog::start() {
    State &s = *state_;
    {
        std::lock_guard lock(s.mutex);
        if (s.started) raise(ErrorKind::Runtime, "threads can only be started once");
        s.started = true;
        s.alive.store(true, std::memory_order_release);
    }
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        r.live.emplace_back(state_.get(), state_);
    }
    try {
        thread_ = std::thread([state = state_] { state->run(); });
    } catch (...) {
        std::lock_guard lock(s.mutex);
        s.alive.store(false, std::memory_order_release);
        s.finished = true;
        throw;
    }
}

bool Watchdog::is_alive() const noexcept { return state_->alive.load(std::memory_order_acquire); }

bool Watchdog::join(std::optional<Duration> timeout) {
    State &s = *state_;
    std::unique_lock lock(s.mutex);
    if (!s.started) raise(ErrorKind::Runtime, "cannot join thread before it is started");
    if (s.on_thread()) raise(ErrorKind::Runtime, "cannot join current thread");
    const auto ended = [&] { return s.finished || s.abandoned; };  // abandoned: nobody waits
    if (timeout) {
        s.done_cv.wait_for(lock, *timeout, ended);
    } else {
        s.done_cv.wait(lock, ended);
    }
    return s.finished;
}

void Watchdog::activate() {
    State &s = *state_;
    // Every cycle calls this on an active watchdog: no lock on that path, so a
    // deactivate() waiting for a busy thread cannot hold the caller up.
    if (s.active.load(std::memory_order_acquire)) return;
    if (s.on_thread()) return s.apply_on_thread(WatchdogCommand::ACTIVATE);
    std::lock_guard lock(s.blocking_lock);
    // The epoch is read before `active`, and bumped after `active` changes: a
    // callback that activates inline after this check changes the epoch.
    const uint64_t epoch = s.inline_epoch.load();
    if (s.active.load()) return;
    s.process_blocking(WatchdogCommand::ACTIVATE, epoch);
}

void Watchdog::deactivate() {
    State &s = *state_;
    if (!s.active.load(std::memory_order_acquire)) return;
    if (s.on_thread()) return s.apply_on_thread(WatchdogCommand::DEACTIVATE);
    std::lock_guard lock(s.blocking_lock);
    const uint64_t epoch = s.inline_epoch.load();
    if (!s.active.load()) return;
    s.process_blocking(WatchdogCommand::DEACTIVATE, epoch);
}

void Watchdog::stop() {
    State &s = *state_;
    if (s.on_thread()) return s.apply_on_thread(WatchdogCommand::STOP);
    std::lock_guard lock(s.blocking_lock);
    s.process_blocking(WatchdogCommand::STOP, s.inline_epoch.load());
}

void Watchdog::reset() {
    State &s = *state_;
    if (!s.alive.load(std::memory_order_acquire)) raise(ErrorKind::Runtime, kNotRunning);
    // Keep the latest of concurrent resets: one load and, normally, one CAS.
    const Clock::rep now = Clock::now().time_since_epoch().count();
    Clock::rep last = s.last_reset.load(std::memory_order_relaxed);
    while (last < now && !s.last_reset.compare_exchange_weak(last, now, std::memory_order_relaxed)) {
    }
}

bool Watchdog::active() const noexcept { return state_->active.load(std::memory_order_acquire); }

double Watchdog::timeout_s() const noexcept { return std::chrono::duration<double>(state_->timeout).count(); }

void Watchdog::_post_raw(uint8_t command) { state_->post(command); }

std::size_t stop_all_watchdogs(Watchdog::Duration budget) {
    std::vector<std::shared_ptr<Watchdog::State>> states;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        for (auto &entry : r.live)
            if (auto s = entry.second.lock()) states.push_back(std::move(s));
    }
    const auto deadline = Clock::now() + budget;
    for (auto &s : states) s->request_stop();
    std::size_t remaining = 0;
    for (auto &s : states) {
        if (s->on_thread()) continue;  // ends once its callback returns
        std::unique_lock lock(s->mutex);
        if (!s->done_cv.wait_until(lock, deadline, [&] { return s->finished; })) {
            // Nobody waits for it any more, and commands fail as on a stopped
            // watchdog instead of waiting for a thread that may never answer.
            s->abandoned = true;
            s->alive.store(false, std::memory_order_release);
            s->completed = s->posted;
            ++remaining;
            lock.unlock();
            s->done_cv.notify_all();
        }
    }
    return remaining;
}

}  // namespace kestrel
