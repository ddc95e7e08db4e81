#include "kestrel/connection/states.hpp"

#include <string>

#include "kestrel/common/error.hpp"
#include "kestrel/common/trace.hpp"

namespace kestrel {

namespace {

constexpr std::string_view kInvalidCommand = "Invalid slave frame command";
constexpr std::string_view kInvalidCrc = "Invalid slave CRC";
constexpr std::string_view kWatchdogExpired = "The watchdog of the master expired";

// Every action starts here: the transition is traced and counted.
void record_transition(ConnectionContext &context, TransitionName name) {
    trace::log_transition(name);
    context._count_transition(name);
}

// The failure and local-reset actions: back to Reset, sending `code`.
StateId back_to_reset(ConnectionContext &context, TransitionName name, BaseError code) {
    record_transition(context, name);
    return StateReset(context)._reset_handler(code);
}

// The slave's reset: a new session at once.
StateId new_session_after_slave_reset(ConnectionContext &context, TransitionName name) {
    record_transition(context, name);
    return StateSession(context)._reset_session();
}

bool has_command(const FSOEFrameControl &control, FSOECommand command) noexcept {
    return control.raw_command() == static_cast<uint16_t>(command);
}

// Both CRC chains start again: CRC_0 seeds 0, sequence numbers 1, and the
// master sends fail-safe data until the host asks for process data again.
// Nothing that runs after it in an action touches the sequence numbers (the
// frame maps set commands and safe data only), so once is enough.
void restart_chains(ConnectionContext &c) {
    c.master->frame.control.set_crc0(0);
    c.slave->frame.control.set_crc0(0);
    c.master->frame.control.set_sequence_number(1);
    c.slave->frame.control.set_sequence_number(1);
    c._data_command = FSOECommand::FAILSAFE_DATA;
}

// The frames of Reset and Session: one item of the master's session under the
// state's command; nothing of the slave's reply is echo-checked.
template <typename Item>
void send_one_item(ConnectionContext &c, FSOECommand command, const Item &item) {
    c.master->frame.control.set_command(command);
    c.master->_dynamic_map.clear();
    c.slave->_dynamic_map.clear();
    c.master->_dynamic_map.add(item);
}

}  // namespace

// --- State -------------------------------------------------------------------

StateId State::report_and_reset(TransitionName name, std::string_view message, BaseError code) {
    report(name, message);
    return back_to_reset(*context, name, code);
}

StateId State::_process_frame_received_event() { raise(ErrorKind::NotImplemented); }
StateId State::_process_watchdog_expired_event() { raise(ErrorKind::NotImplemented); }
StateId State::_process_reset_connection_event() { raise(ErrorKind::NotImplemented); }
StateId State::_process_unreadable_frame_event() { raise(ErrorKind::NotImplemented); }

bool State::_check_received_crcs() {
    Node &slave = *context->slave;
    if (!slave._last_crc0_sent) return slave.frame.check_crcs();
    return slave.frame.check_crcs_cyclic(*slave._last_crc0_sent);
}

std::string State::slave_reset_message() const {
    const uint16_t code = context->slave->session->error();
    // A code without a name (12 to 127) is named by its number.
    const std::optional<std::string> name = fsoe_error_name(code);
    return "Connection was reset by the slave (slave reported error " + (name ? *name : std::to_string(code)) + ")";
}

std::string State::connection_id_message() const {
    return "Connection id exchanged does not match " + std::to_string(context->slave->frame.control.connection_id()) +
           " != " + std::to_string(context->master->session->connection_id->raw_value());
}

// --- Reset -------------------------------------------------------------------

void StateReset::map_frame() { send_one_item(*context, FSOECommand::RESET, context->master->session->error_id); }

StateId StateReset::_reset_handler(uint8_t error) {
    ConnectionContext &c = *context;
    restart_chains(c);
    c.dictionary->_set_inputs_to_failsafe();
    c.master->session->set_error(error);
    c._count_reset_sent(error);
    map_frame();
    c.master->_last_crc0_sent.reset();
    c._generate_crcs_cyclic_for_next_frame = false;
    // The reply being handled advances the slave's expected number once more;
    // the slave numbers its first frame of the new chain 1.
    c._reset_slave_sequence_number_after_frame = true;
    c._watchdog_activate_and_reset();
    return StateId::Reset;
}

StateId StateReset::_process_frame_received_event() {
    const FSOEFrameControl &ctl = context->slave->frame.control;
    if (has_command(ctl, FSOECommand::RESET)) return reset_ok_action("RESET_OK");
    report("RESET_STAY1", kInvalidCommand);
    return reset_stay1_action();
}

StateId StateReset::_process_unreadable_frame_event() {
    // Not a Reset frame of this connection: as any other reply.
    report("RESET_STAY1", kInvalidCommand);
    return reset_stay1_action();
}

StateId StateReset::_process_watchdog_expired_event() {
    report("RESET_WD", kWatchdogExpired);
    return reset_ok_action("RESET_WD");
}

StateId StateReset::_process_reset_connection_event() { return reset_start_action(); }

StateId StateReset::reset_ok_action(TransitionName name) {
    record_transition(*context, name);
    context->_create_session_id();
    StateSession(*context).map_frame();
    context->_generate_crcs_cyclic_for_next_frame = false;
    context->_watchdog_activate_and_reset();
    return StateId::Session;
}

// RESET_STAY1 leaves the watchdog running, so a slave that keeps answering
// with other commands is cut off after one watchdog time (RESET_WD).
StateId StateReset::reset_stay1_action() { return send_reset_frames("RESET_STAY1", false); }

StateId StateReset::reset_start_action() { return send_reset_frames("RESET_START", true); }

StateId StateReset::send_reset_frames(TransitionName name, bool restart_watchdog) {
    ConnectionContext &c = *context;
    record_transition(c, name);
    restart_chains(c);
    c.master->session->set_error(BaseError::RESET);
    c._count_reset_sent(static_cast<uint8_t>(BaseError::RESET));
    map_frame();
    c._generate_crcs_cyclic_for_next_frame = false;
    if (restart_watchdog) c._watchdog_activate_and_reset();
    return StateId::Reset;
}

// --- Session -----------------------------------------------------------------

void StateSession::map_frame() { send_one_item(*context, FSOECommand::SESSION, context->master->session->session_id); }

StateId StateSession::_reset_session() {
    ConnectionContext &c = *context;
    restart_chains(c);
    c.dictionary->_set_inputs_to_failsafe();
    c._create_session_id();
    StateSession(c).map_frame();
    // As after _reset_handler: the slave's new chain starts at 1.
    c._reset_slave_sequence_number_after_frame = true;
    c._watchdog_activate_and_reset();
    return StateId::Session;
}

StateId StateSession::_process_frame_received_event() {
    const FSOEFrameControl &ctl = context->slave->frame.control;
    if (!ctl.command_is_valid()) {
        return report_and_reset("SESSION_FAIL4", kInvalidCommand, BaseError::UNKNOWN_CMD);
    }
    if (has_command(ctl, FSOECommand::SESSION)) {
        if (!_check_received_crcs()) return invalid_crc();
        return context->_dynamic_map_pending() ? session_stay1_action() : session_ok_action();
    }
    if (has_command(ctl, FSOECommand::RESET)) {
        report("SESSION_RESET1", slave_reset_message());
        return session_reset1_action();
    }
    return report_and_reset("SESSION_FAIL3", kInvalidCommand, BaseError::INVALID_CMD);
}

StateId StateSession::invalid_crc() {
    if (context->_second_session_frame_sent) {
        return report_and_reset("SESSION_FAIL1", kInvalidCrc, BaseError::INVALID_CRC);
    }
    report("SESSION_STAY2", kInvalidCrc);
    return session_stay2_action();
}

StateId StateSession::_process_unreadable_frame_event() { return invalid_crc(); }

StateId StateSession::_process_watchdog_expired_event() {
    return report_and_reset("SESSION_WD", kWatchdogExpired, BaseError::WD_EXPIRED);
}

StateId StateSession::_process_reset_connection_event() {
    return back_to_reset(*context, "SESSION_RESET2", BaseError::RESET);
}

StateId StateSession::session_ok_action() {
    ConnectionContext &c = *context;
    record_transition(*context, "SESSION_OK");
    c.master->frame.control.set_command(FSOECommand::CONNECTION);
    c.master->_dynamic_map.clear();
    c.slave->_dynamic_map.clear();
    c.master->_dynamic_map.add(c.master->session->connection_id);
    c.master->_dynamic_map.add(c.master->session->slave_address);
    c.slave->_dynamic_map.add(c.slave->session->connection_id);
    c.slave->_dynamic_map.add(c.slave->session->slave_address);
    c._generate_crcs_cyclic_for_next_frame = true;
    c._watchdog_activate_and_reset();
    return StateId::Connection;
}

StateId StateSession::session_stay1_action() {
    record_transition(*context, "SESSION_STAY1");
    context->_second_session_frame_sent = true;
    context->_watchdog_activate_and_reset();
    return StateId::Session;
}

StateId StateSession::session_stay2_action() {
    record_transition(*context, "SESSION_STAY2");
    // Only the first failed reply of a session restarts the watchdog. A slave
    // whose chain is out of step with the master's (a frame inserted before
    // the first good reply) fails every reply: each is reported as this stay,
    // and the watchdog then ends the session instead of holding it for good.
    if (!context->_session_failure_tolerated) {
        context->_session_failure_tolerated = true;
        context->_watchdog_activate_and_reset();
    }
    return StateId::Session;
}

StateId StateSession::session_reset1_action() {
    record_transition(*context, "SESSION_RESET1");
    context->_reset_slave_sequence_number_after_frame = true;
    return _reset_session();
}

// --- Connection and Parameter ------------------------------------------------

StateId SetupState::_process_frame_received_event() {
    ConnectionContext &c = *context;
    const Transitions &t = *transitions_;
    const FSOEFrameControl &ctl = c.slave->frame.control;
    if (!ctl.command_is_valid()) {
        return report_and_reset(t.fail5, kInvalidCommand, BaseError::UNKNOWN_CMD);
    }
    if (has_command(ctl, FSOECommand::RESET)) {
        report(t.reset1, slave_reset_message());
        return new_session_after_slave_reset(c, t.reset1);
    }
    if (!has_command(ctl, t.command)) {
        return report_and_reset(t.fail4, kInvalidCommand, BaseError::INVALID_CMD);
    }
    // The connection id first, then the echo, then the CRCs.
    if (ctl.connection_id() != c.master->session->connection_id->raw_value()) {
        return report_and_reset(t.fail3, connection_id_message(), BaseError::INVALID_CONNID);
    }
    if (!c.slave->_dynamic_map.is_safedata_correct(c.master->_dynamic_map)) {
        return report_and_reset(t.fail2, t.fail2_message, BaseError::INVALID_DATA);
    }
    if (!_check_received_crcs()) {
        return report_and_reset(t.fail1, kInvalidCrc, BaseError::INVALID_CRC);
    }
    if (c._dynamic_map_pending()) return stay1_action();
    record_transition(c, t.ok);
    return ok_action();
}

StateId SetupState::_process_unreadable_frame_event() {
    return report_and_reset(transitions_->fail1, kInvalidCrc, BaseError::INVALID_CRC);
}

StateId SetupState::_process_watchdog_expired_event() {
    return report_and_reset(transitions_->wd, kWatchdogExpired, BaseError::WD_EXPIRED);
}

StateId SetupState::_process_reset_connection_event() {
    return back_to_reset(*context, transitions_->reset2, BaseError::RESET);
}

// More set-up data to come: the next part in the next frame.
StateId SetupState::stay1_action() {
    record_transition(*context, transitions_->stay1);
    context->_watchdog_activate_and_reset();
    return transitions_->own;
}

namespace {

constexpr SetupState::Transitions kConnectionTransitions = {
    StateId::Connection, FSOECommand::CONNECTION, "CONN_OK", "CONNECTION_STAY1", "CONN_FAIL1", "CONN_FAIL2",
    "CONN_FAIL3", "CONN_FAIL4", "CONN_FAIL5", "CONN_RESET1", "CONN_RESET2", "CONN_WD",
    // The message names the session state, as the hosts know it.
    "Data exchanged during session state does not match"};

constexpr SetupState::Transitions kParameterTransitions = {StateId::Parameter,
                                                           FSOECommand::PARAMETER,
                                                           "PARA_OK",
                                                           "PARA_STAY1",
                                                           "PARA_FAIL1",
                                                           "PARA_FAIL2",
                                                           "PARA_FAIL3",
                                                           "PARA_FAIL4",
                                                           "PARA_FAIL5",
                                                           "PARA_RESET1",
                                                           "PARA_RESET2",
                                                           "PARA_WD",
                                                           "Data exchanged during parameter state does not match"};

}  // namespace

StateConnection::StateConnection(ConnectionContext &context) noexcept : SetupState(context, kConnectionTransitions) {}

StateId StateConnection::ok_action() {
    StateParameter(*context).map_frame();
    context->_generate_crcs_cyclic_for_next_frame = true;
    context->_watchdog_activate_and_reset();
    return StateId::Parameter;
}

// --- Parameter ---------------------------------------------------------------

StateParameter::StateParameter(ConnectionContext &context) noexcept : SetupState(context, kParameterTransitions) {}

void StateParameter::map_frame() {
    context->master->frame.control.set_command(FSOECommand::PARAMETER);
    calculate_master_size_bytes();
    clear_slave_parameters();
    map_node(*context->master);
    map_node(*context->slave);
}

void StateParameter::calculate_master_size_bytes() {
    Session &session = *context->master->session;
    Session::set_u16(*session.comm_parameter_size_bytes, 2);
    int64_t total = 0;
    for (const DynamicItemPtr &p : context->master->application_parameters) total += p->n_bytes();
    session.app_parameter_size_bytes->set(Value{total});
}

void StateParameter::clear_slave_parameters() {
    Session &session = *context->slave->session;
    Session::set_u16(*session.comm_parameter_size_bytes, 0);
    Session::set_u16(*session.watchdog_ms, 0);
    Session::set_u16(*session.app_parameter_size_bytes, 0);
    for (const DynamicItemPtr &p : context->slave->application_parameters) p->set(Value{int64_t{0}});
}

void StateParameter::map_node(Node &node) {
    node._dynamic_map.clear();
    node._dynamic_map.add(node.session->comm_parameter_size_bytes);
    node._dynamic_map.add(node.session->watchdog_ms);
    node._dynamic_map.add(node.session->app_parameter_size_bytes);
    for (const DynamicItemPtr &p : node.application_parameters) node._dynamic_map.add(p);
}

StateId StateParameter::ok_action() {
    context->_generate_crcs_cyclic_for_next_frame = true;
    context->_watchdog_activate_and_reset();
    return StateId::Data;
}

// --- Data --------------------------------------------------------------------

void StateData::map_frame() {
    context->master->frame.control.set_command(context->_data_command);
    context->master->dictionary_map->_set_data_to_frame(context->master->frame);
}

StateId StateData::_process_frame_received_event() {
    ConnectionContext &c = *context;
    const FSOEFrameControl &ctl = c.slave->frame.control;
    if (!ctl.command_is_valid()) {
        return report_and_reset("DATA_FAIL4", kInvalidCommand, BaseError::UNKNOWN_CMD);
    }
    if (has_command(ctl, FSOECommand::SESSION) || has_command(ctl, FSOECommand::CONNECTION) ||
        has_command(ctl, FSOECommand::PARAMETER)) {
        return report_and_reset("DATA_FAIL3", kInvalidCommand, BaseError::INVALID_CMD);
    }
    if (has_command(ctl, FSOECommand::RESET)) {
        report("DATA_RESET1", slave_reset_message());
        return new_session_after_slave_reset(c, "DATA_RESET1");
    }
    if (ctl.connection_id() != c.master->session->connection_id->raw_value()) {
        return report_and_reset("DATA_FAIL2", connection_id_message(), BaseError::INVALID_CONNID);
    }
    if (!_check_received_crcs()) {
        return report_and_reset("DATA_FAIL1", kInvalidCrc, BaseError::INVALID_CRC);
    }
    if (has_command(ctl, FSOECommand::PROCESS_DATA)) return data_ok1_action();
    return data_ok2_action();  // FAILSAFE_DATA: the only command left
}

StateId StateData::_process_unreadable_frame_event() {
    return report_and_reset("DATA_FAIL1", kInvalidCrc, BaseError::INVALID_CRC);
}

StateId StateData::_process_watchdog_expired_event() {
    return report_and_reset("DATA_WD", kWatchdogExpired, BaseError::WD_EXPIRED);
}

StateId StateData::_process_reset_connection_event() {
    return back_to_reset(*context, "DATA_RESET2", BaseError::RESET);
}

StateId StateData::data_ok1_action() {
    record_transition(*context, "DATA_OK1");
    context->slave->dictionary_map->_get_data_from_frame(context->slave->frame);
    context->_generate_crcs_cyclic_for_next_frame = true;
    context->_watchdog_activate_and_reset();
    return StateId::Data;
}

StateId StateData::data_ok2_action() {
    record_transition(*context, "DATA_OK2");
    context->dictionary->_set_inputs_to_failsafe();
    context->_generate_crcs_cyclic_for_next_frame = true;
    context->_watchdog_activate_and_reset();
    return StateId::Data;
}

// --- Factory -----------------------------------------------------------------

std::shared_ptr<State> make_state(StateId id, ConnectionContext &context) {
    switch (id) {
        case StateId::Reset:
            return std::make_shared<StateReset>(context);
        case StateId::Session:
            return std::make_shared<StateSession>(context);
        case StateId::Connection:
            return std::make_shared<StateConnection>(context);
        case StateId::Parameter:
            return std::make_shared<StateParameter>(context);
        case StateId::Data:
            return std::make_shared<StateData>(context);
    }
    raise(ErrorKind::NotImplemented);
}

StateId state_id(const State &state) {
    if (dynamic_cast<const StateReset *>(&state)) return StateId::Reset;
    if (dynamic_cast<const StateSession *>(&state)) return StateId::Session;
    if (dynamic_cast<const StateConnection *>(&state)) return StateId::Connection;
    if (dynamic_cast<const StateParameter *>(&state)) return StateId::Parameter;
    if (dynamic_cast<const StateData *>(&state)) return StateId::Data;
    raise(ErrorKind::NotImplemented);
}

}  // namespace kestrel
