// Cycle supervision: a thread that calls a callback when the cycle stops.
//
// While active, the watchdog thread calls the callback once `timeout` has
// passed since the later of the last command it took, the last `reset()` and
// the end of the previous callback, and again after every further `timeout`.
// Time comes from a WatchdogClock: steady_clock unless the owner passes
// another (ManualClock lets tests move time by hand instead of sleeping).
//
// `reset()` is the per-cycle call: it stores a timestamp in an atomic and
// returns. It neither wakes the thread nor takes a lock; the thread reads the
// timestamp when its wait ends and, if a reset came in meanwhile, waits for the
// rest of the new period. Activate, deactivate and stop are blocking commands:
// they go through the command queue and wait (5 s at most, real time) until
// the thread has handled them.
//
// Activate and deactivate decide on the state the last of them asked for, not
// on the thread's current flag: a deactivate() whose wait ran out (the callback
// was busy) stays queued, and a later activate() must still be queued behind
// it. Each state command carries a generation; the thread applies only the
// newest and skips the ones a later command superseded, so the watchdog ends
// in the state the last command issued asked for, whatever the timing. A
// command issued from the callback counts as issued when it is made.
//
// The thread body belongs to the watchdog; the owner chooses the thread:
// start() runs it on a std::thread, or start_external() + run() on a thread
// of the owner's (the Python binding runs it on a threading.Thread).
//
// Locking rules for an owner whose callback takes the owner's own mutex M:
// - The callback runs with no watchdog lock held, so it may call any method of
//   this watchdog. Commands issued on the watchdog thread itself (from the
//   callback or from the log sink) are applied at once and never wait.
// - `reset()`, `active()`, `is_alive()`, and `activate()` when the last
//   command asked for active (the per-cycle `activate_and_reset()`) take no
//   lock and never wait: safe with M held.
// - `activate()` on an inactive watchdog waits only for the idle thread (no
//   callback runs while inactive), so it is prompt with M held too.
// - `deactivate()`, `stop()`, `close()`, `join()` and the destructor wait for
//   the thread, which may be inside the callback waiting for M: call them
//   WITHOUT M held (or from the callback itself, where they do not wait).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrel {

// Monotonic time for watchdogs, as a duration since the clock's own epoch.
class WatchdogClock {
public:
    using Duration = std::chrono::nanoseconds;

    // Told when a clock's time jumps, so that a waiting watchdog looks again.
    class Listener {
    public:
        virtual void time_changed() noexcept = 0;

    protected:
        ~Listener() = default;
    };

    virtual ~WatchdogClock() = default;
    virtual Duration now() const noexcept = 0;
    // How long (real time) a watchdog may sleep before `remaining` of this
    // clock's time can have passed; empty: until time_changed() tells it.
    virtual std::optional<Duration> real_wait(Duration remaining) const noexcept = 0;
    virtual void subscribe(Listener &) {}
    virtual void unsubscribe(Listener &) noexcept {}
};

// std::chrono::steady_clock; shared by every watchdog given no clock.
std::shared_ptr<WatchdogClock> steady_watchdog_clock();

// Time that moves only when told: advance() wakes the watchdogs waiting on it.
class ManualClock final : public WatchdogClock {
public:
    explicit ManualClock(Duration start = Duration::zero()) : now_ns_(start.count()) {}
    Duration now() const noexcept override { return Duration(now_ns_.load(std::memory_order_acquire)); }
    std::optional<Duration> real_wait(Duration) const noexcept override { return std::nullopt; }
    void subscribe(Listener &listener) override;
    void unsubscribe(Listener &listener) noexcept override;
    // Negative steps are ignored: the time never goes back.
    void advance(Duration step);

private:
    std::atomic<Duration::rep> now_ns_;
    std::mutex mutex_;  // guards listeners_; held while they are told
    std::vector<Listener *> listeners_;
};

// Commands posted to the watchdog thread (values as the host sees them).
enum class WatchdogCommand : uint8_t { ACTIVATE = 1, DEACTIVATE = 2, RESET = 3, STOP = 4 };

// Receives the watchdog's error records: a message and, for a failure caught
// on the watchdog thread, the exception (else null). Called on any thread.
// The default writes to std::cerr; an embedding host installs its own.
using WatchdogLogSink = void (*)(std::string_view message, std::exception_ptr error);
void set_watchdog_log_sink(WatchdogLogSink sink) noexcept;  // null: the default again
// Installs `sink` only while the default is in place (a host's own sink is
// kept); returns whether it was installed.
bool set_watchdog_log_sink_if_default(WatchdogLogSink sink) noexcept;

class Watchdog {
public:
    using Callback = std::function<void()>;
    using Duration = std::chrono::nanoseconds;
    static constexpr Duration kBlockingCommandWait = std::chrono::seconds(5);

    // Error(Value) for a negative or NaN timeout; an infinite one never expires.
    // No clock means steady_clock. The thread does not run until start().
    Watchdog(double timeout_s, Callback callback, Duration blocking_command_wait = kBlockingCommandWait,
             std::shared_ptr<WatchdogClock> clock = nullptr);
    // close(): the watchdog ends with its owner.
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    // Runs the thread body on a std::thread; Error(Runtime) "threads can only
    // be started once".
    void start();
    // For an owner that runs the body on a thread of its own: start_external()
    // makes the watchdog accept commands at once (they queue up until the body
    // runs; same error as start()), then that thread calls run(), which
    // returns when the watchdog stops. cancel_start() undoes start_external()
    // when the owner's thread could not be started. run() raises Error(Runtime)
    // unless start_external() came first and no other thread runs the body;
    // it returns at once when the watchdog was stopped before it came.
    void start_external();
    void run();
    void cancel_start() noexcept;
    // After start_external(), when the owner's thread cannot be had (a host
    // that refuses new threads at exit): runs the body on a std::thread.
    void run_on_new_thread();

    // Whether the thread accepts commands (false once stop() was taken).
    bool is_alive() const noexcept;
    // Waits for the thread to end (without limit when `timeout` is empty, and
    // not for an abandoned one, see stop_all_watchdogs); returns whether it has
    // ended. Error(Runtime) before start() or on the watchdog thread itself.
    bool join(std::optional<Duration> timeout = std::nullopt);
    // Stops the thread and waits for it to end; on the watchdog thread itself
    // it only stops it (the thread ends once the callback returns). Never
    // raises; idempotent.
    void close() noexcept;

    void activate();
    void deactivate();
    // Ends the thread: waits for the acknowledgement, not for the end.
    void stop();
    void reset();
    void activate_and_reset() {
        activate();
        reset();
    }
    // The thread's current flag.
    bool active() const noexcept;
    // When reset() last restarted the timing, on the watchdog's clock (for an
    // owner that models expiry itself, such as the fault campaign).
    Duration last_reset() const noexcept;
    // What the last activate() or deactivate() asked for (active() follows
    // once the thread has taken the command).
    bool requested_active() const noexcept;
    double timeout_s() const noexcept;
    // Whether the caller runs on this watchdog's thread (inside its callback).
    bool on_watchdog_thread() const noexcept;

    // Queues a raw command without waiting (tests of the thread's recovery).
    void _post_raw(uint8_t command);

    struct State;

private:
    void begin(bool claim_body);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Stops every running watchdog of the process and waits, at most `budget` in
// total, for their threads to end. Threads still running after that are
// abandoned: their owners no longer wait for them, and commands to them fail
// as to a stopped watchdog, releasing callers that wait. Returns how many remain.
// For process exit, when owners may have forgotten to stop their watchdogs.
std::size_t stop_all_watchdogs(Watchdog::Duration budget);

}  // namespace kestrel
