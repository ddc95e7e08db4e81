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

using Duration = Watchdog::Duration;

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

Duration timeout_from_seconds(double seconds) {
    if (std::isnan(seconds) || seconds < 0) raise(ErrorKind::Value, "'timeout' must be a non-negative number");
    seconds = std::min(seconds, kMaxTimeoutSeconds);
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
}

class SteadyClock final : public WatchdogClock {
public:
    Duration now() const noexcept override {
        return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
    }
    std::optional<Duration> real_wait(Duration remaining) const noexcept override { return remaining; }
};

// The state commands' intent word: (generation << 1) | asked-for-active.
constexpr uint64_t kActiveBit = 1;
constexpr uint64_t kNoIntent = ~uint64_t{0};  // raw commands: always applied
constexpr uint64_t next_intent(uint64_t current, bool active) { return ((current >> 1) + 1) << 1 | (active ? 1 : 0); }

}  // namespace

std::shared_ptr<WatchdogClock> steady_watchdog_clock() {
    static const std::shared_ptr<WatchdogClock> clock = std::make_shared<SteadyClock>();
    return clock;
}

void ManualClock::subscribe(Listener &listener) {
    std::lock_guard lock(mutex_);
    listeners_.push_back(&listener);
}

void ManualClock::unsubscribe(Listener &listener) noexcept {
    std::lock_guard lock(mutex_);
    std::erase(listeners_, &listener);
}

void ManualClock::advance(Duration step) {
    if (step <= Duration::zero()) return;
    // Under the lock: a listener is never told after it unsubscribed.
    std::lock_guard lock(mutex_);
    now_ns_.fetch_add(step.count(), std::memory_order_acq_rel);
    for (Listener *listener : listeners_) listener->time_changed();
}

void set_watchdog_log_sink(WatchdogLogSink sink) noexcept {
    g_log_sink.store(sink ? sink : &cerr_sink, std::memory_order_release);
}

bool set_watchdog_log_sink_if_default(WatchdogLogSink sink) noexcept {
    WatchdogLogSink expected = &cerr_sink;
    return g_log_sink.compare_exchange_strong(expected, sink ? sink : &cerr_sink, std::memory_order_acq_rel);
}

struct Watchdog::State final : WatchdogClock::Listener {
    struct Entry {
        uint8_t command;
        uint64_t ticket;  // 0 for commands nobody waits for
        uint64_t intent;  // the intent word it set (kNoIntent: raw)
    };

    State(double timeout_s, Callback cb, Duration wait, std::shared_ptr<WatchdogClock> c)
        : timeout(timeout_from_seconds(timeout_s)),
          callback(std::move(cb)),
          blocking_wait(wait),
          clock(c ? std::move(c) : steady_watchdog_clock()) {
        clock->subscribe(*this);
    }
    ~State() { clock->unsubscribe(*this); }

    const Duration timeout;
    const Callback callback;
    const Duration blocking_wait;
    const std::shared_ptr<WatchdogClock> clock;

    // Written by reset() on every cycle: kept on its own cache line so that the
    // thread's other fields do not bounce between cores.
    alignas(64) std::atomic<Duration::rep> last_reset{std::numeric_limits<Duration::rep>::min()};
    alignas(64) std::atomic<bool> alive{false};  // accepting commands
    std::atomic<bool> active{false};             // written by the watchdog thread only
    std::atomic<uint64_t> intent{0};             // see next_intent(); changed under `mutex` or on the thread
    std::atomic<std::thread::id> thread_id{};

    std::mutex blocking_lock;  // serialises the blocking commands

    std::mutex mutex;  // guards the fields below
    std::condition_variable command_cv;
    std::condition_variable done_cv;
    std::deque<Entry> queue;
    uint64_t posted = 0;
    uint64_t completed = 0;
    bool started = false;
    bool body_claimed = false;  // a thread runs (or ran) the body
    bool finished = false;
    bool abandoned = false;

    // Owned by the watchdog thread.
    Duration base{};  // start of the current timing
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

    void time_changed() noexcept override {
        { std::lock_guard lock(mutex); }  // a waiter has either seen the new time or is waiting
        command_cv.notify_all();
    }

    // Caller holds blocking_lock. ACTIVATE and DEACTIVATE return at once when
    // the last state command already asked for the same (checked again here,
    // as the callback may have changed it inline meanwhile).
    void process_blocking(WatchdogCommand command) {
        std::unique_lock lock(mutex);
        if (!alive.load(std::memory_order_relaxed)) raise(ErrorKind::Runtime, kNotRunning);
        uint64_t entry_intent = kNoIntent;
        if (command == WatchdogCommand::ACTIVATE || command == WatchdogCommand::DEACTIVATE) {
            const bool want = command == WatchdogCommand::ACTIVATE;
            uint64_t current = intent.load();
            do {
                if (((current & kActiveBit) != 0) == want) return;
                entry_intent = next_intent(current, want);
            } while (!intent.compare_exchange_weak(current, entry_intent));
        }
        const uint64_t ticket = ++posted;
        queue.push_back({static_cast<uint8_t>(command), ticket, entry_intent});
        command_cv.notify_one();
        // An unanswered command is not an error: the caller just goes on.
        done_cv.wait_for(lock, blocking_wait, [&] { return completed >= ticket; });
    }

    void post(uint8_t command) {
        {
            std::lock_guard lock(mutex);
            if (!alive.load(std::memory_order_relaxed)) raise(ErrorKind::Runtime, kNotRunning);
            queue.push_back({command, 0, kNoIntent});
        }
        command_cv.notify_one();
    }

    // Records `want` as the newest state asked for (on the thread only).
    void set_intent(bool want) {
        uint64_t current = intent.load();
        while (!intent.compare_exchange_weak(current, next_intent(current, want))) {
        }
    }

    // The body is not running and will not run: nothing to wait for.
    void finish_unstarted() {
        alive.store(false, std::memory_order_release);
        finished = true;
        body_claimed = true;
        completed = posted;
        queue.clear();
    }

    // Asks the thread to end without waiting; false when it no longer runs.
    bool request_stop() {
        if (on_thread()) {
            apply_inline(WatchdogCommand::STOP);
            return true;
        }
        {
            std::lock_guard lock(mutex);
            if (!body_claimed && started && !finished) {
                // Started for an owner's thread that never ran the body.
                finish_unstarted();
            } else {
                if (!alive.load(std::memory_order_relaxed)) return !finished;
                queue.push_back({static_cast<uint8_t>(WatchdogCommand::STOP), 0, kNoIntent});
                command_cv.notify_one();
                return true;
            }
        }
        done_cv.notify_all();
        return false;
    }

    // A command issued on the watchdog thread itself (from the callback): the
    // thread cannot take it from the queue while it runs the callback, so it
    // takes effect at once instead of stalling its caller.
    // A state command supersedes every one still queued.
    void apply_inline(WatchdogCommand command) {
        switch (command) {
            case WatchdogCommand::ACTIVATE:
                set_intent(true);
                if (!active.load(std::memory_order_relaxed)) {
                    active.store(true);
                    base = clock->now();
                }
                break;
            case WatchdogCommand::DEACTIVATE:
                set_intent(false);
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

    Duration timing_start() const { return std::max(base, Duration(last_reset.load(std::memory_order_relaxed))); }

    // One pass of the thread's loop: wait for a command or an expiry, then handle it.
    void wait_and_handle_next() {
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
                while (!has_command()) {
                    const Duration remaining = timing_start() + timeout - clock->now();
                    if (remaining <= Duration::zero()) {
                        expired = true;
                        break;
                    }
                    if (const auto real = clock->real_wait(remaining)) {
                        command_cv.wait_for(lock, *real);
                    } else {
                        command_cv.wait(lock);
                    }
                }
                if (expired) {
                    lock.unlock();
                    callback();
                    base = clock->now();
                    return;
                }
            }
            entry = queue.front();
            queue.pop_front();
        }
        base = clock->now();  // any command restarts the timing
        current_ticket = entry.ticket;
        // Superseded by a later state command: that one decides.
        if (entry.intent != kNoIntent && entry.intent != intent.load()) {
            complete(entry.ticket);
            return;
        }
        switch (entry.command) {
            case static_cast<uint8_t>(WatchdogCommand::RESET):
                break;
            case static_cast<uint8_t>(WatchdogCommand::STOP):
                apply_inline(WatchdogCommand::STOP);
                break;
            case static_cast<uint8_t>(WatchdogCommand::ACTIVATE):
                // A current ACTIVATE may find the thread active when the
                // DEACTIVATE before it was superseded: only a raw one is wrong.
                if (entry.intent == kNoIntent) {
                    if (active.load()) {
                        log_error("WatchdogCommand.ACTIVATE received while already active");
                        complete(entry.ticket);
                        raise(ErrorKind::Runtime);
                    }
                    set_intent(true);
                }
                active.store(true, std::memory_order_release);
                break;
            case static_cast<uint8_t>(WatchdogCommand::DEACTIVATE):
                if (entry.intent == kNoIntent) set_intent(false);
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
    base = clock->now();
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
            wait_and_handle_next();
#if defined(__GLIBCXX__)
        } catch (abi::__forced_unwind &) {
            throw;
#endif
        } catch (...) {
            base = clock->now();
            complete(current_ticket);
            log_error(kCrashed, std::current_exception());
        }
    }
}

Watchdog::Watchdog(double timeout_s, Callback callback, Duration blocking_command_wait,
                   std::shared_ptr<WatchdogClock> clock)
    : state_(std::make_shared<State>(timeout_s, std::move(callback), blocking_command_wait, std::move(clock))) {}

Watchdog::~Watchdog() { close(); }

void Watchdog::close() noexcept {
    State &s = *state_;
    {
        std::lock_guard lock(s.mutex);
        if (!s.started) return;
    }
    if (s.on_thread()) {
        s.apply_inline(WatchdogCommand::STOP);
        if (thread_.joinable()) thread_.detach();  // the thread holds the state until it ends
        return;
    }
    s.request_stop();
    bool finished;
    {
        std::unique_lock lock(s.mutex);
        s.done_cv.wait(lock, [&] { return s.finished || s.abandoned; });
        finished = s.finished;
    }
    if (!thread_.joinable()) return;
    if (finished) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

void Watchdog::start_external() { begin(false); }

void Watchdog::begin(bool claim_body) {
    State &s = *state_;
    {
        std::lock_guard lock(s.mutex);
        if (s.started) raise(ErrorKind::Runtime, "threads can only be started once");
        s.started = true;
        s.body_claimed = claim_body;
        s.alive.store(true, std::memory_order_release);
    }
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    r.live.emplace_back(state_.get(), state_);
}

void Watchdog::cancel_start() noexcept {
    State &s = *state_;
    {
        std::lock_guard lock(s.mutex);
        if (!s.started || s.body_claimed) return;
        s.finish_unstarted();
    }
    s.done_cv.notify_all();
}

void Watchdog::run() {
    State &s = *state_;
    {
        std::lock_guard lock(s.mutex);
        if (!s.started) raise(ErrorKind::Runtime, "the watchdog's thread body runs once, after start");
        if (s.finished) return;  // stopped before its thread came to run it
        if (s.body_claimed) raise(ErrorKind::Runtime, "the watchdog's thread body runs once, after start");
        s.body_claimed = true;
    }
    const std::shared_ptr<State> keep = state_;  // the owner may go once the body finished
    keep->run();
}

void Watchdog::run_on_new_thread() {
    State &s = *state_;
    {
        std::lock_guard lock(s.mutex);
        if (!s.started || s.body_claimed)
            raise(ErrorKind::Runtime, "the watchdog's thread body runs once, after start");
        s.body_claimed = true;
    }
    try {
        thread_ = std::thread([state = state_] { state->run(); });
    } catch (...) {
        {
            std::lock_guard lock(s.mutex);
            s.finish_unstarted();
        }
        s.done_cv.notify_all();
        throw;
    }
}

void Watchdog::start() {
    begin(true);
    try {
        thread_ = std::thread([state = state_] { state->run(); });
    } catch (...) {
        {
            std::lock_guard lock(state_->mutex);
            state_->finish_unstarted();
        }
        state_->done_cv.notify_all();
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
    // Every cycle calls this with activation already asked for: no lock on
    // that path, so a deactivate() waiting for a busy thread cannot hold the
    // caller up.
    if (s.intent.load(std::memory_order_acquire) & kActiveBit) return;
    if (s.on_thread()) return s.apply_on_thread(WatchdogCommand::ACTIVATE);
    std::lock_guard lock(s.blocking_lock);
    s.process_blocking(WatchdogCommand::ACTIVATE);
}

void Watchdog::deactivate() {
    State &s = *state_;
    if (!(s.intent.load(std::memory_order_acquire) & kActiveBit)) return;
    if (s.on_thread()) return s.apply_on_thread(WatchdogCommand::DEACTIVATE);
    std::lock_guard lock(s.blocking_lock);
    s.process_blocking(WatchdogCommand::DEACTIVATE);
}

void Watchdog::stop() {
    State &s = *state_;
    if (s.on_thread()) return s.apply_on_thread(WatchdogCommand::STOP);
    std::lock_guard lock(s.blocking_lock);
    s.process_blocking(WatchdogCommand::STOP);
}

void Watchdog::reset() {
    State &s = *state_;
    if (!s.alive.load(std::memory_order_acquire)) raise(ErrorKind::Runtime, kNotRunning);
    // Keep the latest of concurrent resets: one load and, normally, one CAS.
    const Duration::rep now = s.clock->now().count();
    Duration::rep last = s.last_reset.load(std::memory_order_relaxed);
    while (last < now && !s.last_reset.compare_exchange_weak(last, now, std::memory_order_relaxed)) {
    }
}

bool Watchdog::active() const noexcept { return state_->active.load(std::memory_order_acquire); }

Watchdog::Duration Watchdog::last_reset() const noexcept {
    return Duration(state_->last_reset.load(std::memory_order_relaxed));
}

bool Watchdog::requested_active() const noexcept {
    return (state_->intent.load(std::memory_order_acquire) & kActiveBit) != 0;
}

double Watchdog::timeout_s() const noexcept { return std::chrono::duration<double>(state_->timeout).count(); }

bool Watchdog::on_watchdog_thread() const noexcept { return state_->on_thread(); }

void Watchdog::_post_raw(uint8_t command) { state_->post(command); }

std::size_t stop_all_watchdogs(Watchdog::Duration budget) {
    std::vector<std::shared_ptr<Watchdog::State>> states;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        for (auto &entry : r.live)
            if (auto s = entry.second.lock()) states.push_back(std::move(s));
    }
    const auto deadline = std::chrono::steady_clock::now() + budget;
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
