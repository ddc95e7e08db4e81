// Cycle supervision: a thread that calls a callback when the cycle stops.
//
// While active, the watchdog thread calls the callback once `timeout` has
// passed since the later of the last command it took, the last `reset()` and
// the end of the previous callback, and again after every further `timeout`.
//
// `reset()` is the per-cycle call: it stores a timestamp in an atomic and
// returns. It neither wakes the thread nor takes a lock; the thread reads the
// timestamp when its wait ends and, if a reset came in meanwhile, waits for the
// rest of the new period. Activate, deactivate and stop are blocking commands:
// they go through the command queue and wait (5 s at most) until the thread
// has handled them.
//
// Locking rules for an owner whose callback takes the owner's own mutex M:
// - The callback runs with no watchdog lock held, so it may call any method of
//   this watchdog. Commands issued on the watchdog thread itself (from the
//   callback or from the log sink) are applied at once and never wait.
// - `reset()`, `active()`, `is_alive()`, and `activate()` on an active watchdog
//   (the per-cycle `activate_and_reset()`) take no lock and never wait: safe
//   with M held.
// - `activate()` on an inactive watchdog waits only for the idle thread (no
//   callback runs while inactive), so it is prompt with M held too.
// - `deactivate()`, `stop()`, `join()` and the destructor wait for the thread,
//   which may be inside the callback waiting for M: call them WITHOUT M held
//   (or from the callback itself, where they do not wait).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>

namespace kestrel {

// Commands posted to the watchdog thread (values as the host sees them).
enum class WatchdogCommand : uint8_t { ACTIVATE = 1, DEACTIVATE = 2, RESET = 3, STOP = 4 };

// Receives the watchdog's error records: a message and, for a failure caught
// on the watchdog thread, the exception (else null). Called on any thread.
// The default writes to std::cerr; an embedding host installs its own.
using WatchdogLogSink = void (*)(std::string_view message, std::exception_ptr error);
void set_watchdog_log_sink(WatchdogLogSink sink) noexcept;

class Watchdog {
public:
    using Callback = std::function<void()>;
    using Duration = std::chrono::nanoseconds;
    static constexpr Duration kBlockingCommandWait = std::chrono::seconds(5);

    // Error(Value) for a negative or NaN timeout; an infinite one never expires.
    // The thread does not run until start().
    Watchdog(double timeout_s, Callback callback, Duration blocking_command_wait = kBlockingCommandWait);
    // Stops the thread and waits for it, except on the watchdog thread itself
    // (the thread then ends once the running callback returns).
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    // Runs the thread body; Error(Runtime) "threads can only be started once".
    void start();
    bool is_alive() const noexcept;
    // Waits for the thread to end (without limit when `timeout` is empty, and
    // not for an abandoned one, see stop_all_watchdogs); returns whether it has ended. Error(Runtime) before start() or
    // on the watchdog thread itself.
    bool join(std::optional<Duration> timeout = std::nullopt);

    void activate();
    void deactivate();
    // Ends the thread: waits for the acknowledgement, not for the end.
    void stop();
    void reset();
    void activate_and_reset() {
        activate();
        reset();
    }
    bool active() const noexcept;
    double timeout_s() const noexcept;

    // Queues a raw command without waiting (tests of the thread's recovery).
    void _post_raw(uint8_t command);

    struct State;

private:
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
