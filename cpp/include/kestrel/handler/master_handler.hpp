// The master handler: one FSoE connection to one slave, seen from the master.
//
// Every bus cycle the host fetches the request with get_request() and hands
// over the slave's latest reply with set_reply(); the handler runs the state
// machine in between and builds the next request at once. A watchdog thread
// drives the machine back to Reset when replies stop.
//
// Threads: every event (a reply, reset, start, stop, a watchdog expiry, and
// get_request while it copies) runs as one unit under the handler's recursive
// mutex, so callbacks may call back into the same handler. Nothing waits for
// the watchdog thread while holding that mutex: a stop() switches the
// watchdog off, a start() switches it on, and a delete_watchdog() ends it,
// after the outermost event has released it. An owner with a lock of its own above the handler (an
// interpreter lock) installs a blocking runner that gives that lock up around
// every wait.
//
// Callbacks (the error and state-change callbacks, the input subscribers that
// the fail-safe switch and the Data unpack run, on the host's thread or on the
// watchdog's):
// - A failing callback never stops an event half way: the event completes
//   (every input set, the state switched, the next request built), then the
//   first failure is raised to the caller of the outermost event (on the
//   watchdog thread it goes to the watchdog's log sink).
// - A callback may call start(), stop(), reset(), set_fail_safe(),
//   get_request(), write_request_into(), statistics(), delete_watchdog() and
//   the getters. A reset, stop or start supersedes the event it is called
//   from: the enclosing event ends at once and the callback's reset stands.
// - set_reply() and set_reply_from() from a callback of this handler's own
//   event are refused (Error Runtime): a reply handled inside the handling of
//   another one could mix the inputs of two frames.
// - A callback must not destroy the handler. The handler must outlive every
//   event it runs; a host that shares ownership keeps a reference for the
//   whole event (the Python binding does so on the watchdog thread). Debug
//   builds abort with a message when a handler is destroyed inside its own
//   event.
// - The destructor stops the watchdog thread and waits for it to end, however
//   long a running callback takes, before anything that callback may use is
//   destroyed.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/connection/states.hpp"
#include "kestrel/handler/watchdog.hpp"
#include "kestrel/setup/application_parameter.hpp"

namespace kestrel {

// What a handler has seen, for a host's display or log (MasterHandler::statistics()).
struct HandlerStatistics {
    using Clock = std::chrono::steady_clock;
    // Reset codes 0 ... 255; the last bucket holds any larger code a slave sent.
    static constexpr int kCodeBuckets = 257;

    uint64_t cycles = 0;                                   // new replies handled
    std::array<uint64_t, kTransitionCount> transitions{};  // indexed as kTransitionNames
    std::array<uint64_t, kCodeBuckets> resets_sent{};      // Reset frames the master prepared, by code
    std::array<uint64_t, kCodeBuckets> resets_received{};  // Reset frames from the slave, by code
    // The last fault reported to the host.
    bool has_fault = false;
    std::string fault_transition;
    std::string fault_message;
    Clock::time_point fault_time{};
    std::chrono::system_clock::time_point fault_wall_time{};
    // When the connection last entered Data; no value outside Data.
    std::optional<Clock::time_point> data_entered;
    // From a new request to the reply that answers it, over the timed requests
    // (every one at bus-cycle rates; see MasterHandler::stamp_request).
    uint64_t response_samples = 0;
    Clock::duration response_last{};
    Clock::duration response_min{};
    Clock::duration response_max{};
};

class MasterHandler final : public ConnectionContext {
public:
    using ErrorCallback = std::function<void(std::string_view transition_name, std::string_view error)>;
    using StateChangeCallback = std::function<void(StateId)>;
    // Makes the handler's watchdog and starts its thread; the default runs it
    // on a std::thread.
    using WatchdogFactory = std::function<std::shared_ptr<Watchdog>(double timeout_s, Watchdog::Callback callback)>;
    // Runs `wait`, a call that may block (a contended mutex, a watchdog command).
    using BlockingRunner = std::function<void(const std::function<void()> &wait)>;
    using RequestBuffer = std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES>;

    // ValueError "Connection ID = 0 is not permitted"; OverflowError for a
    // watchdog time outside 0 ... 65.535 s; PermissionError for a parameter
    // that is already bound. Every argument is checked before anything is
    // bound, so a refused construction leaves the parameters free.
    MasterHandler(std::shared_ptr<Dictionary> dictionary, uint16_t slave_address, uint16_t connection_id,
                  double watchdog_timeout_s,
                  std::vector<std::shared_ptr<ApplicationParameter>> application_parameters = {},
                  ErrorCallback report_error_callback = {}, StateChangeCallback state_change_callback = {},
                  bool dictionary_map_is_editable = true, WatchdogFactory watchdog_factory = {});
    ~MasterHandler();
    MasterHandler(const MasterHandler &) = delete;
    MasterHandler &operator=(const MasterHandler &) = delete;

    void set_blocking_runner(BlockingRunner runner) { blocking_runner_ = std::move(runner); }
    // Whatever the owner attaches (a host binding keeps its objects here);
    // released after the watchdog has stopped.
    std::shared_ptr<void> host_data;

    // Runs `body` as one event under the handler's mutex (see above). For
    // owners that call the state operations directly.
    template <typename Body>
    void event(Body &&body);

    // Public operations.
    void start();
    void stop();
    void reset();
    bool running() const noexcept { return status_->flag.load(std::memory_order_acquire); }
    // Copies the current request into `out`; returns its length (0 before the first reset).
    size_t get_request(RequestBuffer &out);
    std::vector<uint8_t> get_request();
    void set_reply(std::span<const uint8_t> data);
    void set_fail_safe(bool active = true);

    // The EtherCAT process image, where the frames sit at fixed offsets.
    // Wire lengths of the request and the reply as the maps give them now
    // (fixed while running; 0 while a map is one start() refuses), for sizing
    // the process data objects. The two halves of a cycle on an area at
    // `offset`: ValueError when the area is too small, the handler unchanged.
    size_t request_length() const;
    size_t reply_length() const;
    // Writes the current request (get_request's bytes); returns their number.
    size_t write_request_into(std::span<uint8_t> area, size_t offset = 0);
    // Hands over exactly reply_length() bytes from `offset` as set_reply does.
    void set_reply_from(std::span<const uint8_t> area, size_t offset = 0);
    // Read without the lock (any thread may ask while an expiry runs).
    StateId state() const noexcept { return shown_state_.load(std::memory_order_relaxed); }
    const std::shared_ptr<State> &_state() const noexcept { return state_; }
    uint16_t initialization_data_bytes() const noexcept { return initialization_data_bytes_; }
    uint16_t get_slave_address() const noexcept;
    void set_slave_address(uint16_t slave_address);  // FSOEMasterRunningException while running
    // Ends the watchdog thread (the host's `delete()`).
    void delete_watchdog();

    // Diagnostics: a copy taken under the lock; clearing keeps the time Data
    // was entered. Counting costs a few increments per cycle; a host may switch it off.
    HandlerStatistics statistics();
    void reset_statistics();
    bool statistics_enabled() const noexcept { return statistics_enabled_.load(std::memory_order_relaxed); }
    void set_statistics_enabled(bool enabled) noexcept {
        statistics_enabled_.store(enabled, std::memory_order_relaxed);
    }

    const std::shared_ptr<Watchdog> &_watchdog() const noexcept { return watchdog_; }
    // The object application parameters consult for `running`.
    std::shared_ptr<ParameterOwner> parameter_owner() const { return status_; }

    // Session ids from a given seed instead of the system's (reproducible runs).
    void _seed_session_ids(uint32_t seed) {
        event([&] { random_.seed(seed); });
    }

    // For test runners that measure how long an event holds the mutex: called
    // with true on the thread that takes it when it first holds it, with false
    // just before it releases it for the last time. Null (the default) costs
    // one relaxed load per lock.
    using HoldObserver = void (*)(bool acquired) noexcept;
    static void _set_hold_observer(HoldObserver observer) noexcept;

    // Operations for the states and the watchdog.
    void _set_next_state(StateId next);
    void _report_error(std::string_view transition_name, std::string_view error) override;
    void _create_session_id() override;
    bool _dynamic_map_pending() const override;
    void _watchdog_activate_and_reset() override;
    void _count_transition(TransitionName name) override;
    void _count_reset_sent(uint8_t code) override;
    void _watchdog_expired_event();
    // The two halves of a cycle, without the checks of the public calls.
    size_t _get_request(RequestBuffer &out);
    void _set_reply(std::span<const uint8_t> data);

private:
    struct RunningStatus final : ParameterOwner {
        std::atomic<bool> flag{false};
        bool running() const override { return flag.load(std::memory_order_acquire); }
    };

    void lock();
    void unlock() noexcept;
    // Ends an event: unlocks and, in the outermost event, switches the watchdog
    // off or ends it as asked, then raises the event's own error or else the
    // first callback failure.
    void finish_event(std::exception_ptr own_error) noexcept(false);
    void run_blocking(const std::function<void()> &wait);
    void recalculate_request();
    // A host callback failed: the event completes, then the first error is
    // raised to the caller of the outermost event.
    void keep_callback_error();

    std::shared_ptr<RunningStatus> status_ = std::make_shared<RunningStatus>();
    std::shared_ptr<State> state_;
    StateId state_id_ = StateId::Reset;  // under the lock
    std::atomic<StateId> shown_state_{StateId::Reset};
    std::shared_ptr<Watchdog> watchdog_;
    ErrorCallback report_error_callback_;
    StateChangeCallback state_change_callback_;
    BlockingRunner blocking_runner_;

    uint16_t initialization_data_bytes_ = 0;
    RequestBuffer current_request_{};
    size_t current_request_length_ = 0;
    // The last reply handed over, for recognising the same reply again: at
    // most what a readable reply holds is kept, so a hostile length costs no
    // allocation; a longer reply is told apart by its length and a hash.
    struct LastReply {
        static constexpr size_t kKept = FSOE_FRAME_BUFFER_BYTES + 1;
        std::array<uint8_t, kKept> bytes{};
        size_t length = 0;
        uint64_t hash = 0;  // of the whole reply, when longer than kKept
        bool same_as(std::span<const uint8_t> data) const noexcept;
        void assign(std::span<const uint8_t> data) noexcept;
    } last_reply_;

    std::recursive_mutex mutex_;
    int holds_ = 0;  // nesting of lock() on the thread holding mutex_
    static std::atomic<HoldObserver> hold_observer_;
    int depth_ = 0;  // nesting of events on the thread holding the mutex
    std::exception_ptr callback_error_;
    bool delete_pending_ = false;    // delete_watchdog() from inside an event
    bool activate_pending_ = false;  // start() switches the watchdog on after the event
    void switch_watchdog_on(std::exception_ptr &error);
    // A callback that resets, stops or starts the handler inside another event
    // supersedes it: the enclosing events end at once without further steps,
    // so the callback's reset is what the handler holds and sends.
    struct Superseded {};
    uint32_t reset_count_ = 0;           // resets, stops and starts nested in an event
    uint32_t reset_count_at_steps_ = 0;  // reset_count_ when the innermost state steps began
    void mark_if_nested() noexcept {
        if (depth_ > 1) ++reset_count_;
    }
    void throw_if_superseded() const {
        if (reset_count_ != reset_count_at_steps_) throw Superseded{};
    }
    // Runs state steps that a nested reset supersedes.
    template <typename Steps>
    void supersedable(Steps &&steps) {
        const uint32_t saved = reset_count_at_steps_;
        reset_count_at_steps_ = reset_count_;
        try {
            steps();
        } catch (...) {
            reset_count_at_steps_ = saved;
            throw;
        }
        reset_count_at_steps_ = saved;
    }
    // Takes the input subscribers' failures while an event runs (see above).
    struct EventSubscriberSink final : SubscriberSink {
        MasterHandler &handler;
        explicit EventSubscriberSink(MasterHandler &h) : handler(h) {}
        void subscriber_failed(std::exception_ptr error) noexcept override {
            if (!handler.callback_error_) handler.callback_error_ = std::move(error);
        }
        void after_subscriber() override { handler.throw_if_superseded(); }
    } subscriber_sink_{*this};
    void reset_connection();
    std::minstd_rand random_;  // session ids: small state, one per handler

    bool counting() const noexcept { return statistics_enabled_.load(std::memory_order_relaxed); }
    void stamp_request();
    void time_reply();
    std::atomic<bool> statistics_enabled_{true};
    HandlerStatistics stats_;  // under the lock
    // Response timing: reading the clock may cost more than a whole cycle, so
    // only every sample_stride_-th request is timed (see stamp_request).
    HandlerStatistics::Clock::time_point request_stamp_{};
    HandlerStatistics::Clock::time_point last_sample_{};
    bool request_timed_ = false;
    bool sampled_before_ = false;
    uint32_t sample_stride_ = 1;
    uint32_t until_sample_ = 0;  // requests left before the next timed one
};

template <typename Body>
inline void MasterHandler::event(Body &&body) {
    lock();
    ++depth_;
    std::exception_ptr own_error;
    {
        SubscriberSinkScope sink(&subscriber_sink_);
        try {
            supersedable(body);
        } catch (const Superseded &) {
            // A callback reset or stopped the handler meanwhile: that event stands.
        } catch (...) {
            own_error = std::current_exception();
        }
    }
    --depth_;
    finish_event(std::move(own_error));
}

}  // namespace kestrel
