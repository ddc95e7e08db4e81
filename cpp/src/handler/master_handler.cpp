#include "kestrel/handler/master_handler.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kestrel/common/error.hpp"

namespace kestrel {

namespace {

uint16_t watchdog_ms_from_seconds(double seconds) {
    if (std::isnan(seconds)) raise(ErrorKind::Value, "watchdog_timeout_s must be a number");
    const double ms = std::trunc(seconds * 1000.0);
    if (ms < 0) raise_negative("uint16_t");
    if (ms > 65535.0) raise_too_large("uint16_t");
    return static_cast<uint16_t>(ms);
}

std::shared_ptr<Watchdog> default_watchdog(double timeout_s, Watchdog::Callback callback) {
    auto watchdog = std::make_shared<Watchdog>(timeout_s, std::move(callback));
    watchdog->start();
    return watchdog;
}

constexpr ItemKindMask kMasterKinds = kind_bit(ItemKind::Output) | kind_bit(ItemKind::InputOutput);
constexpr ItemKindMask kSlaveKinds = kind_bit(ItemKind::Input) | kind_bit(ItemKind::InputOutput);

}  // namespace

MasterHandler::MasterHandler(std::shared_ptr<Dictionary> dictionary_, uint16_t slave_address, uint16_t connection_id,
                             double watchdog_timeout_s,
                             std::vector<std::shared_ptr<ApplicationParameter>> application_parameters,
                             ErrorCallback report_error_callback, StateChangeCallback state_change_callback,
                             bool dictionary_map_is_editable, WatchdogFactory watchdog_factory)
    : report_error_callback_(std::move(report_error_callback)),
      state_change_callback_(std::move(state_change_callback)),
      random_(std::random_device{}()) {
    if (connection_id == 0) raise(ErrorKind::Value, "Connection ID = 0 is not permitted");
    if (!dictionary_) raise(ErrorKind::Type, "dictionary must be a Dictionary");
    const uint16_t watchdog_ms = watchdog_ms_from_seconds(watchdog_timeout_s);
    // A parameter belongs to one master: refuse before anything is bound.
    for (size_t i = 0; i < application_parameters.size(); ++i) {
        const auto &p = application_parameters[i];
        if (!p) raise(ErrorKind::Type, "application_parameters must hold ApplicationParameter objects");
        const bool repeated =
            std::find(application_parameters.begin(), application_parameters.begin() + static_cast<long>(i), p) !=
            application_parameters.begin() + static_cast<long>(i);
        if (p->used_by_master() || repeated)
            raise(ErrorKind::Permission, "Application parameter already used by a master");
    }

    dictionary = std::move(dictionary_);
    std::vector<DynamicItemPtr> master_parameters(application_parameters.begin(), application_parameters.end());
    std::vector<DynamicItemPtr> slave_parameters;
    slave_parameters.reserve(application_parameters.size());
    for (const auto &p : application_parameters)
        slave_parameters.push_back(std::make_shared<DynamicMappableItem>(Value{int64_t{0}}, p->data_type()));
    master = std::make_unique<Node>(slave_address, connection_id, watchdog_ms, std::move(master_parameters), dictionary,
                                    kMasterKinds, dictionary_map_is_editable);
    slave = std::make_unique<Node>(0, 0, 0, std::move(slave_parameters), dictionary, kSlaveKinds,
                                   dictionary_map_is_editable);
    _data_command = FSOECommand::FAILSAFE_DATA;
    state_ = make_state(StateId::Reset, *this);
    // A fault recorded for the statistics then allocates nothing.
    stats_.fault_transition.reserve(32);
    stats_.fault_message.reserve(160);

    if (!watchdog_factory) watchdog_factory = default_watchdog;
    watchdog_ = watchdog_factory(watchdog_timeout_s, [this] { _watchdog_expired_event(); });
    if (!watchdog_) raise(ErrorKind::Runtime, "the watchdog factory made no watchdog");

    for (const auto &p : application_parameters) p->_set_use_by_master(status_);
}

MasterHandler::~MasterHandler() {
#ifndef NDEBUG
    // The forbidden case: destroyed from a callback of one of its own events
    // on this thread (the event would go on in freed memory).
    if (mutex_.try_lock()) {
        const bool inside_event = depth_ > 0;
        mutex_.unlock();
        if (inside_event) {
            std::fputs("kestrel: a MasterHandler was destroyed inside one of its own events (from a callback)\n",
                       stderr);
            std::abort();
        }
    }
#endif
    status_->flag.store(false, std::memory_order_release);
    if (!watchdog_) return;
    // The thread may be inside an expiry that uses the members below (the
    // callbacks, the mutex, the statistics): it ends before any of them goes,
    // however long that expiry takes. On the watchdog thread itself (a host
    // ending the handler after its event), close() only stops it.
    try {
        if (watchdog_->is_alive()) run_blocking([this] { watchdog_->stop(); });
    } catch (...) {
        // The wait ran out or the thread is gone: close() below decides.
    }
    run_blocking([this] { watchdog_->close(); });
}

// --- Events and locking ------------------------------------------------------

void MasterHandler::run_blocking(const std::function<void()> &wait) {
    if (blocking_runner_)
        blocking_runner_(wait);
    else
        wait();
}

std::atomic<MasterHandler::HoldObserver> MasterHandler::hold_observer_{nullptr};

void MasterHandler::_set_hold_observer(HoldObserver observer) noexcept {
    hold_observer_.store(observer, std::memory_order_relaxed);
}

void MasterHandler::lock() {
    if (!mutex_.try_lock()) run_blocking([this] { mutex_.lock(); });
    if (holds_++ == 0)
        if (const HoldObserver observer = hold_observer_.load(std::memory_order_relaxed)) observer(true);
}

void MasterHandler::unlock() noexcept {
    if (--holds_ == 0)
        if (const HoldObserver observer = hold_observer_.load(std::memory_order_relaxed)) observer(false);
    mutex_.unlock();
}

void MasterHandler::keep_callback_error() {
    if (!callback_error_) callback_error_ = std::current_exception();
}

void MasterHandler::finish_event(std::exception_ptr own_error) {
    if (depth_ > 0) {
        unlock();
        if (own_error) std::rethrow_exception(own_error);
        return;
    }
    // The event's own error wins over a callback's.
    std::exception_ptr error = own_error ? std::move(own_error) : callback_error_;
    callback_error_ = nullptr;
    const bool end_watchdog = std::exchange(delete_pending_, false);
    const bool switch_on = std::exchange(activate_pending_, false) && !end_watchdog;
    const bool switch_off = !end_watchdog && !running() && watchdog_->requested_active();
    unlock();
    if (end_watchdog) {
        // Outside the mutex: an expiry may be waiting for it.
        try {
            if (watchdog_->is_alive()) run_blocking([this] { watchdog_->stop(); });
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    } else if (switch_off && watchdog_->is_alive()) {
        // Outside the mutex: an expiry may be waiting for it.
        run_blocking([this] { watchdog_->deactivate(); });
        // A start() on another thread may have come in between.
        lock();
        const bool restart = running() && !watchdog_->requested_active();
        unlock();
        if (restart) switch_watchdog_on(error);
    } else if (switch_on) {
        switch_watchdog_on(error);
    }
    if (error) std::rethrow_exception(error);
}

void MasterHandler::switch_watchdog_on(std::exception_ptr &error) {
    // Outside the mutex, like switching it off; a stop() meanwhile leaves an
    // active watchdog whose expiry does nothing.
    try {
        if (running() && watchdog_->is_alive()) run_blocking([this] { watchdog_->activate_and_reset(); });
    } catch (...) {
        if (!error) error = std::current_exception();
    }
}

// --- Public operations -------------------------------------------------------

void MasterHandler::start() {
    event([this] {
        // Both sizes are checked before either node changes.
        for (const Node *node : {master.get(), slave.get()}) {
            const uint16_t bytes = node->dictionary_map->safety_bytes();
            FSOEFrame::check_safe_data_size(bytes);
            if (bytes == 0)
                raise(ErrorKind::Value, std::string("Cannot start without safe data: the ") +
                                            (node == master.get() ? "master" : "slave") + "'s dictionary map is empty");
        }
        mark_if_nested();
        supersedable([this] {
            master->start();
            slave->start();
            initialization_data_bytes_ =
                std::min(master->frame.safe_data_size_bytes(), slave->frame.safe_data_size_bytes());
            reset_connection();
            throw_if_superseded();  // a callback of the reset stopped the handler again
            status_->flag.store(true, std::memory_order_release);
            // An inactive watchdog is switched on once the outermost event has
            // released the mutex: its thread may be in host code (the log
            // sink) that waits for the mutex.
            if (watchdog_->requested_active())
                watchdog_->reset();
            else
                activate_pending_ = true;
        });
    });
}

void MasterHandler::stop() {
    event([this] {
        if (!running()) return;
        mark_if_nested();
        status_->flag.store(false, std::memory_order_release);
        reset_connection();
        // The watchdog is switched off when the outermost event ends.
        master->stop();
        slave->stop();
    });
}

void MasterHandler::reset() {
    event([this] {
        mark_if_nested();
        reset_connection();
    });
}

void MasterHandler::reset_connection() {
    event([this] {
        const std::shared_ptr<State> state = state_;  // survives a reset from a callback
        _set_next_state(state->_process_reset_connection_event());
        recalculate_request();
    });
}

size_t MasterHandler::get_request(RequestBuffer &out) {
    lock();
    const size_t n = current_request_length_;
    std::copy_n(current_request_.begin(), n, out.begin());
    unlock();
    return n;
}

std::vector<uint8_t> MasterHandler::get_request() {
    RequestBuffer buffer;
    const size_t n = get_request(buffer);
    return {buffer.begin(), buffer.begin() + static_cast<long>(n)};
}

void MasterHandler::set_reply(std::span<const uint8_t> data) {
    event([this, data] {
        // Handling a reply inside the handling of another (from a callback of
        // this handler's event) could leave the inputs of two frames mixed.
        if (depth_ > 1)
            raise(ErrorKind::Runtime, "set_reply cannot be called from a callback of the same handler's event");
        if (!running()) return;
        if (last_reply_.same_as(data)) return;
        if (counting()) {
            ++stats_.cycles;
            time_reply();
        }
        _set_reply(data);
        recalculate_request();
    });
}

void MasterHandler::set_fail_safe(bool active) {
    event([this, active] { _data_command = active ? FSOECommand::FAILSAFE_DATA : FSOECommand::PROCESS_DATA; });
}

uint16_t MasterHandler::get_slave_address() const noexcept {
    return static_cast<uint16_t>(master->session->slave_address->raw_value());
}

void MasterHandler::set_slave_address(uint16_t slave_address) {
    event([this, slave_address] {
        if (running()) raise(ErrorKind::MasterRunning, "Cannot set slave address while running");
        Session::set_u16(*master->session->slave_address, slave_address);
    });
}

void MasterHandler::delete_watchdog() {
    // From a callback of an event on this thread (the mutex is then this
    // thread's): the outermost event ends the watchdog after releasing the
    // mutex, as it switches it off after a stop().
    if (mutex_.try_lock()) {
        const bool inside_event = depth_ > 0;
        if (inside_event) delete_pending_ = true;
        mutex_.unlock();
        if (inside_event) return;
    }
    if (watchdog_->is_alive()) run_blocking([this] { watchdog_->stop(); });
}

// --- For the states and the watchdog -----------------------------------------

void MasterHandler::_set_next_state(StateId next) {
    // Host code (a trace sink) may have reset the handler since the state
    // decided: the reset stands.
    throw_if_superseded();
    if (next == state_id_) return;
    if (next == StateId::Data)
        stats_.data_entered = HandlerStatistics::Clock::now();
    else
        stats_.data_entered.reset();
    state_ = make_state(next, *this);
    state_id_ = next;
    shown_state_.store(next, std::memory_order_relaxed);
    if (state_change_callback_) {
        try {
            state_change_callback_(next);
        } catch (...) {
            keep_callback_error();
        }
        throw_if_superseded();
    }
}

void MasterHandler::_report_error(std::string_view transition_name, std::string_view error) {
    if (counting()) {
        stats_.has_fault = true;
        stats_.fault_transition.assign(transition_name);
        stats_.fault_message.assign(error);
        stats_.fault_time = HandlerStatistics::Clock::now();
        stats_.fault_wall_time = std::chrono::system_clock::now();
    }
    if (!report_error_callback_) return;
    try {
        report_error_callback_(transition_name, error);
    } catch (...) {
        keep_callback_error();
    }
    throw_if_superseded();
}

void MasterHandler::_create_session_id() {
    _second_session_frame_sent = false;
    _session_failure_tolerated = false;
    const auto id = std::uniform_int_distribution<int>(0, 0xFFFF)(random_);
    Session::set_u16(*master->session->session_id, static_cast<uint16_t>(id));
}

bool MasterHandler::_dynamic_map_pending() const {
    return master->_dynamic_map.pending() || slave->_dynamic_map.pending();
}

void MasterHandler::_watchdog_activate_and_reset() {
    // A stopped handler has no supervised cycle.
    // Not while start() has left the switching on to the end of the event.
    if (running() && !(activate_pending_ && !watchdog_->requested_active())) watchdog_->activate_and_reset();
}

void MasterHandler::_watchdog_expired_event() {
    event([this] {
        if (!running()) return;                       // an expiry that raced with stop()
        const std::shared_ptr<State> state = state_;  // survives a reset from a callback
        _set_next_state(state->_process_watchdog_expired_event());
        recalculate_request();
    });
}

void MasterHandler::recalculate_request() {
    current_request_length_ = _get_request(current_request_);
    stamp_request();
}

// --- Statistics --------------------------------------------------------------

void MasterHandler::_count_transition(TransitionName name) {
    // The trace sink has just seen the transition: a reset it made ends the
    // state's steps before they write the inputs or the flags.
    throw_if_superseded();
    if (counting()) ++stats_.transitions[name.index];
}

void MasterHandler::_count_reset_sent(uint8_t code) {
    if (counting()) ++stats_.resets_sent[code];
}

// Reading the clock costs from 20 ns to far more than a whole cycle (a
// virtual machine may trap every read), so requests are timed by sample:
// the stride keeps the clock near 1 % of the time between requests. At bus
// cycles of 50 us and more every request is timed; requests handled back to
// back are timed one in up to 1024.
void MasterHandler::stamp_request() {
    using namespace std::chrono_literals;
    constexpr auto kSpacing = std::chrono::duration_cast<HandlerStatistics::Clock::duration>(50us);
    constexpr uint32_t kMaxStride = 1024;
    request_timed_ = false;
    if (!counting()) return;
    if (until_sample_ > 0) {
        --until_sample_;
        return;
    }
    const auto now = HandlerStatistics::Clock::now();
    if (sampled_before_) {
        const auto per_request = (now - last_sample_) / sample_stride_;
        sample_stride_ = per_request >= kSpacing
                             ? 1
                             : static_cast<uint32_t>(std::min<int64_t>(
                                   kMaxStride, kSpacing / std::max(per_request, decltype(per_request){1})));
    }
    sampled_before_ = true;
    last_sample_ = now;
    until_sample_ = sample_stride_ - 1;
    request_stamp_ = now;
    request_timed_ = true;
}

void MasterHandler::time_reply() {
    if (!request_timed_) return;
    request_timed_ = false;
    const auto elapsed = HandlerStatistics::Clock::now() - request_stamp_;
    stats_.response_last = elapsed;
    if (stats_.response_samples == 0 || elapsed < stats_.response_min) stats_.response_min = elapsed;
    if (stats_.response_samples == 0 || elapsed > stats_.response_max) stats_.response_max = elapsed;
    ++stats_.response_samples;
}

HandlerStatistics MasterHandler::statistics() {
    lock();
    HandlerStatistics copy;
    try {
        copy = stats_;
    } catch (...) {
        unlock();
        throw;
    }
    unlock();
    return copy;
}

void MasterHandler::reset_statistics() {
    lock();
    const auto entered = stats_.data_entered;
    stats_.cycles = 0;
    stats_.transitions.fill(0);
    stats_.resets_sent.fill(0);
    stats_.resets_received.fill(0);
    stats_.has_fault = false;
    stats_.fault_transition.clear();
    stats_.fault_message.clear();
    stats_.fault_time = {};
    stats_.fault_wall_time = {};
    stats_.data_entered = entered;
    stats_.response_samples = 0;
    stats_.response_last = stats_.response_min = stats_.response_max = {};
    // Sampling starts afresh: the next request is timed and sets the stride.
    sampled_before_ = false;
    until_sample_ = 0;
    sample_stride_ = 1;
    request_timed_ = false;
    unlock();
}

namespace {
uint64_t fnv1a(std::span<const uint8_t> data) noexcept {
    uint64_t h = 0xcbf29ce484222325ull;
    for (const uint8_t b : data) h = (h ^ b) * 0x100000001b3ull;
    return h;
}
}  // namespace

bool MasterHandler::LastReply::same_as(std::span<const uint8_t> data) const noexcept {
    if (data.size() != length) return false;
    const size_t kept = std::min(length, kKept);
    if (!std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(kept), bytes.begin())) return false;
    return length <= kKept || fnv1a(data) == hash;
}

void MasterHandler::LastReply::assign(std::span<const uint8_t> data) noexcept {
    length = data.size();
    std::copy_n(data.begin(), std::min(length, kKept), bytes.begin());
    hash = length > kKept ? fnv1a(data) : 0;
}

void MasterHandler::_set_reply(std::span<const uint8_t> data) {
    last_reply_.assign(data);
    const bool in_reset = state_id_ == StateId::Reset;
    FSOEFrame &reply = slave->frame;
    // Only a reply as long as the slave's frames is decoded: any other length
    // cannot carry this connection's CRCs and never reaches the maps.
    const size_t expected = frame_length_for(reply.safe_data_size_bytes());
    const bool readable = data.size() == expected || data.size() == expected + 1;
    StateId next;
    // The state object must outlive its own event: a callback may reset the handler.
    const std::shared_ptr<State> state = state_;
    if (readable) {
        reply.frame_from_array(data.first(expected));
        if (!in_reset) master->frame.control.set_crc0(reply._c_fsoe_frame.au16Crc[0]);
        if (reply.control.raw_command() == static_cast<uint16_t>(FSOECommand::RESET)) {
            slave->_dynamic_map.clear();
            slave->_dynamic_map.add(slave->session->error_id);
        }
        slave->_dynamic_map.get_data_from_frame(reply, initialization_data_bytes_);
        if (counting() && reply.control.raw_command() == static_cast<uint16_t>(FSOECommand::RESET))
            ++stats_.resets_received[std::min<int>(slave->session->error(), HandlerStatistics::kCodeBuckets - 1)];
        next = state->_process_frame_received_event();
        throw_if_superseded();  // the new session's sequence numbers stay as the reset made them
    } else {
        next = state->_process_unreadable_frame_event();
    }
    if (!in_reset) reply.control.increment_sequence_number();
    if (readable) slave->_last_crc0_sent = reply._c_fsoe_frame.au16Crc[0];
    _set_next_state(next);
}

size_t MasterHandler::_get_request(RequestBuffer &out) {
    FSOEFrame &request = master->frame;
    if (state_id_ == StateId::Data)
        static_cast<StateData &>(*state_).map_frame();
    else
        master->_dynamic_map.set_data_to_frame(request, initialization_data_bytes_);
    const bool unconnected = state_id_ == StateId::Reset || state_id_ == StateId::Session;
    request.control.set_connection_id(unconnected ? 0
                                                  : static_cast<uint16_t>(master->session->connection_id->raw_value()));
    if (_generate_crcs_cyclic_for_next_frame) {
        if (!master->_last_crc0_sent) raise(ErrorKind::Value, "Cannot generate cyclic CRCs without a last CRC sent");
        request.generate_crcs_cyclic(*master->_last_crc0_sent);
    } else {
        request.generate_crcs();
    }
    throw_if_superseded();  // a trace sink's reset built its own request meanwhile
    const uint16_t crc0 = request._c_fsoe_frame.au16Crc[0];
    master->_last_crc0_sent = crc0;
    if (_reset_slave_sequence_number_after_frame) {
        slave->frame.control.set_sequence_number(1);
        _reset_slave_sequence_number_after_frame = false;
    }
    if (state_id_ != StateId::Reset) {
        slave->frame.control.set_crc0(crc0);
        request.control.increment_sequence_number();
    }
    return request.frame_to_array(out);
}

}  // namespace kestrel
