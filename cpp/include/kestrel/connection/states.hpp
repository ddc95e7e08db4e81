// The connection state machine: the five states and what they need of the
// handler that runs them.
//
// A state keeps no data of its own: everything it reads and writes lives in
// its context (the handler and its two nodes), so a state object may be
// replaced at any time, and a state may run another state's routines on a
// short-lived object of that class. Each event returns the id of the next
// state; protocol faults are transitions reported through the context, never
// exceptions.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "kestrel/connection/errors.hpp"
#include "kestrel/connection/node.hpp"

namespace kestrel {

enum class StateId : uint8_t { Reset = 0, Session = 1, Connection = 2, Parameter = 3, Data = 4 };
inline constexpr int kStateCount = 5;

constexpr std::string_view state_name(StateId id) noexcept {
    constexpr std::array<std::string_view, kStateCount> names = {"StateReset", "StateSession", "StateConnection",
                                                                 "StateParameter", "StateData"};
    return names[static_cast<uint8_t>(id)];
}

// Every transition the states take. A name's position in this table is its
// index in the handler's counts; TransitionName resolves it at compile time,
// so counting a transition costs one array increment.
inline constexpr std::array<std::string_view, 42> kTransitionNames = {
    "RESET_START",   "RESET_OK",      "RESET_WD",         "RESET_STAY1",   "SESSION_OK",     "SESSION_STAY1",
    "SESSION_STAY2", "SESSION_FAIL1", "SESSION_FAIL3",    "SESSION_FAIL4", "SESSION_RESET1", "SESSION_RESET2",
    "SESSION_WD",    "CONN_OK",       "CONNECTION_STAY1", "CONN_FAIL1",    "CONN_FAIL2",     "CONN_FAIL3",
    "CONN_FAIL4",    "CONN_FAIL5",    "CONN_RESET1",      "CONN_RESET2",   "CONN_WD",        "PARA_OK",
    "PARA_STAY1",    "PARA_FAIL1",    "PARA_FAIL2",       "PARA_FAIL3",    "PARA_FAIL4",     "PARA_FAIL5",
    "PARA_RESET1",   "PARA_RESET2",   "PARA_WD",          "DATA_OK1",      "DATA_OK2",       "DATA_FAIL1",
    "DATA_FAIL2",    "DATA_FAIL3",    "DATA_FAIL4",       "DATA_RESET1",   "DATA_RESET2",    "DATA_WD",
};
inline constexpr int kTransitionCount = static_cast<int>(kTransitionNames.size());
static_assert(
    [] {
        for (size_t i = 0; i < kTransitionNames.size(); ++i)
            for (size_t j = i + 1; j < kTransitionNames.size(); ++j)
                if (kTransitionNames[i] == kTransitionNames[j]) return false;
        return true;
    }(),
    "each transition name once");

// A transition name known at compile time, with its index in kTransitionNames
// (a name missing from the table does not compile).
struct TransitionName {
    std::string_view name;
    uint8_t index;

    consteval TransitionName(const char *text) : name(text), index(lookup(name)) {}
    constexpr operator std::string_view() const noexcept { return name; }

private:
    static consteval uint8_t lookup(std::string_view text) {
        for (size_t i = 0; i < kTransitionNames.size(); ++i)
            if (kTransitionNames[i] == text) return static_cast<uint8_t>(i);
        throw "not a transition name";
    }
};

// What the states use of the handler that runs them.
class ConnectionContext {
public:
    std::shared_ptr<Dictionary> dictionary;
    std::unique_ptr<Node> master;
    std::unique_ptr<Node> slave;

    FSOECommand _data_command = FSOECommand::FAILSAFE_DATA;
    bool _second_session_frame_sent = false;
    // A failed reply was already tolerated in this session (cleared with the session id).
    bool _session_failure_tolerated = false;
    bool _reset_slave_sequence_number_after_frame = false;
    bool _generate_crcs_cyclic_for_next_frame = false;

    // Hands a fault (transition name, message) to the host.
    virtual void _report_error(std::string_view transition_name, std::string_view error) = 0;
    // A new random session id for the master; clears _second_session_frame_sent.
    virtual void _create_session_id() = 0;
    // Whether the master's or the slave's dynamic map has bytes left.
    virtual bool _dynamic_map_pending() const = 0;
    // Restarts the cycle supervision.
    virtual void _watchdog_activate_and_reset() = 0;
    // Diagnostics: a transition was taken; the master prepared a Reset frame
    // carrying `code`. Counting is the context's business; the default keeps none.
    virtual void _count_transition(TransitionName) {}
    virtual void _count_reset_sent(uint8_t) {}

protected:
    ConnectionContext() = default;
    ~ConnectionContext() = default;
};

class State {
public:
    explicit State(ConnectionContext &context) noexcept : context(&context) {}
    virtual ~State() = default;

    // The base's events are abstract: NotImplementedError without a message.
    virtual StateId _process_frame_received_event();
    virtual StateId _process_watchdog_expired_event();
    virtual StateId _process_reset_connection_event();
    // A reply that cannot be a frame of this connection (its length is not
    // that of the slave's frames): judged like a reply that failed its CRCs.
    virtual StateId _process_unreadable_frame_event();

    // True when the CRCs of the reply in the slave frame are valid, with the
    // receiver's CRC_0 skip once a reply has been recorded.
    bool _check_received_crcs();

    ConnectionContext *context;

protected:
    // Message of the RESET1 transitions, naming the slave's code.
    std::string slave_reset_message() const;
    // Message of the connection id faults.
    std::string connection_id_message() const;
    void report(std::string_view name, std::string_view message) { context->_report_error(name, message); }
    // A fault: reported, then back to Reset sending `code`.
    StateId report_and_reset(TransitionName name, std::string_view message, BaseError code);
};

class StateReset final : public State {
public:
    static constexpr StateId id = StateId::Reset;
    using State::State;

    void map_frame();
    StateId _reset_handler(uint8_t error);
    StateId _reset_handler(BaseError error) { return _reset_handler(static_cast<uint8_t>(error)); }

    StateId _process_frame_received_event() override;
    StateId _process_watchdog_expired_event() override;
    StateId _process_reset_connection_event() override;
    StateId _process_unreadable_frame_event() override;

private:
    StateId reset_start_action();
    StateId reset_ok_action(TransitionName name);  // RESET_OK and RESET_WD
    StateId reset_stay1_action();
    // RESET_START and RESET_STAY1: Reset frames with the code RESET again.
    StateId send_reset_frames(TransitionName name, bool restart_watchdog);
};

class StateSession final : public State {
public:
    static constexpr StateId id = StateId::Session;
    using State::State;

    void map_frame();
    StateId _reset_session();

    StateId _process_frame_received_event() override;
    StateId _process_watchdog_expired_event() override;
    StateId _process_reset_connection_event() override;
    StateId _process_unreadable_frame_event() override;

private:
    StateId invalid_crc();
    StateId session_ok_action();
    StateId session_stay1_action();
    StateId session_stay2_action();
    StateId session_reset1_action();
};

// The set-up states that send data and check the slave's echo of it
// (Connection, Parameter): the same checks and transitions, under each state's
// own names; only what the OK transition prepares differs.
class SetupState : public State {
public:
    struct Transitions {
        StateId own;
        FSOECommand command;  // the state's own command
        TransitionName ok, stay1, fail1, fail2, fail3, fail4, fail5, reset1, reset2, wd;
        std::string_view fail2_message;  // the echo does not match
    };

    StateId _process_frame_received_event() final;
    StateId _process_watchdog_expired_event() final;
    StateId _process_reset_connection_event() final;
    StateId _process_unreadable_frame_event() final;

protected:
    SetupState(ConnectionContext &context, const Transitions &transitions) noexcept
        : State(context), transitions_(&transitions) {}

    // The OK transition: the next state's frame and its entry.
    virtual StateId ok_action() = 0;

private:
    StateId stay1_action();
    const Transitions *transitions_;
};

class StateConnection final : public SetupState {
public:
    static constexpr StateId id = StateId::Connection;
    explicit StateConnection(ConnectionContext &context) noexcept;

private:
    StateId ok_action() override;  // CONN_OK
};

class StateParameter final : public SetupState {
public:
    static constexpr StateId id = StateId::Parameter;
    explicit StateParameter(ConnectionContext &context) noexcept;

    void map_frame();

private:
    void calculate_master_size_bytes();
    void clear_slave_parameters();
    static void map_node(Node &node);
    StateId ok_action() override;  // PARA_OK
};

class StateData final : public State {
public:
    static constexpr StateId id = StateId::Data;
    using State::State;

    void map_frame();

    StateId _process_frame_received_event() override;
    StateId _process_watchdog_expired_event() override;
    StateId _process_reset_connection_event() override;
    StateId _process_unreadable_frame_event() override;

private:
    StateId data_ok1_action();
    StateId data_ok2_action();
};

// A new state object of the given class on `context`.
std::shared_ptr<State> make_state(StateId id, ConnectionContext &context);
StateId state_id(const State &state);  // NotImplementedError for the base class

}  // namespace kestrel
