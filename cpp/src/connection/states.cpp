#include "kestrel/connection/states.hpp"

#include <string>

#include "kestrel/common/error.hpp"
#include "kestrel/handler/trace.hpp"

namespace kestrel {

namespace {

constexpr std::string_view kInvalidCommand = "Invalid slave frame command";
constexpr std::string_view kInvalidCrc = "Invalid slave CRC";
constexpr std::string_view kWatchdogExpired = "The watchdog of the master expired";

void log(ConnectionContext &context, TransitionName name) {
    trace::log_transition(name);
    context._count_transition(name);
}

// The failure and local-reset actions: back to Reset, sending `code`.
StateId fail(ConnectionContext &context, TransitionName name, BaseError code) {
    log(context, name);
    return StateReset(context)._reset_handler(code);
}

// The slave's reset: a new session at once.
StateId slave_reset(ConnectionContext &context, TransitionName name) {
    log(context, name);
    return StateSession(context)._reset_session();
}

bool is(const FSOEFrameControl &control, FSOECommand command) noexcept {
    return control.raw_command() == static_cast<uint16_t>(command);
}

}  // namespace

// --- State -------------------------------------------------------------------

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

std::optional<StateId> State::judge_setup_reply(const SetupReplyNames &names) {
    ConnectionContext &c = *context;
    const FSOEFrameControl &ctl = c.slave->frame.control;
    if (!ctl.command_is_valid()) {
        report(names.fail5, kInvalidCommand);
        return fail(c, names.fail5, BaseError::UNKNOWN_CMD);
    }
    if (is(ctl, names.command)) {
        // The connection id first, then the echo, then the CRCs.
        if (ctl.connection_id() != c.master->session->connection_id->raw_value()) {
            report(names.fail3, connection_id_message());
            return fail(c, names.fail3, BaseError::INVALID_CONNID);
        }
        if (!c.slave->_dynamic_map.is_safedata_correct(c.master->_dynamic_map)) {
            report(names.fail2, names.fail2_message);
            return fail(c, names.fail2, BaseError::INVALID_DATA);
        }
        if (!_check_received_crcs()) {
            report(names.fail1, kInvalidCrc);
            return fail(c, names.fail1, BaseError::INVALID_CRC);
        }
        return std::nullopt;
    }
    if (is(ctl, FSOECommand::RESET)) {
        report(names.reset1, slave_reset_message());
        return slave_reset(c, names.reset1);
    }
    report(names.fail4, kInvalidCommand);
    return fail(c, names.fail4, BaseError::INVALID_CMD);
}

// --- Reset -------------------------------------------------------------------

void StateReset::map_frame() {
    ConnectionContext &c = *context;
    c.master->frame.control.set_command(FSOECommand::RESET);
    c.master->_dynamic_map.clear();
    c.slave->_dynamic_map.clear();
    c.master->_dynamic_map.add(c.master->session->error_id);
}

StateId StateReset::_reset_handler(uint8_t error) {
    ConnectionContext &c = *context;
    c.master->frame.control.set_crc0(0);
    c.slave->frame.control.set_crc0(0);
    c.master->frame.control.set_sequence_number(1);
    c.slave->frame.control.set_sequence_number(1);
    c._data_command = FSOECommand::FAILSAFE_DATA;
    c.dictionary->_set_inputs_to_failsafe();
    c.master->session->set_error(error);
    c._count_reset_sent(error);
    map_frame();
    c.master->_last_crc0_sent.reset();
    c._generate_crcs_cyclic_for_next_frame = false;
    c.master->frame.control.set_sequence_number(1);
    // The reply being handled advances the slave's expected number once more;
    // the slave numbers its first frame of the new chain 1.
    c._reset_slave_sequence_number_after_frame = true;
    c._watchdog_activate_and_reset();
    return StateId::Reset;
}

StateId StateReset::_process_frame_received_event() {
    const FSOEFrameControl &ctl = context->slave->frame.control;
    if (is(ctl, FSOECommand::RESET)) return reset_ok_action("RESET_OK");
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
    log(*context, name);
    context->_create_session_id();
    StateSession(*context).map_frame();
    context->_generate_crcs_cyclic_for_next_frame = false;
    context->_watchdog_activate_and_reset();
    return StateId::Session;
}

StateId StateReset::reset_stay1_action() {
    ConnectionContext &c = *context;
    log(*context, "RESET_STAY1");
    c.master->frame.control.set_crc0(0);
    c.slave->frame.control.set_crc0(0);
    c.master->frame.control.set_sequence_number(1);
    c.slave->frame.control.set_sequence_number(1);
    c._data_command = FSOECommand::FAILSAFE_DATA;
    c.master->session->set_error(BaseError::RESET);
    c._count_reset_sent(static_cast<uint8_t>(BaseError::RESET));
    map_frame();
    c._generate_crcs_cyclic_for_next_frame = false;
    c.master->frame.control.set_sequence_number(1);
    return StateId::Reset;
}

StateId StateReset::reset_start_action() {
    ConnectionContext &c = *context;
    log(*context, "RESET_START");
    c.master->frame.control.set_crc0(0);
    c.slave->frame.control.set_crc0(0);
    c.master->frame.control.set_sequence_number(1);
    c.slave->frame.control.set_sequence_number(1);
    c._data_command = FSOECommand::FAILSAFE_DATA;
    c.master->session->set_error(BaseError::RESET);
    c._count_reset_sent(static_cast<uint8_t>(BaseError::RESET));
    map_frame();
    c.master->frame.control.set_sequence_number(1);
    c._watchdog_activate_and_reset();
    c._generate_crcs_cyclic_for_next_frame = false;
    return StateId::Reset;
}

// --- Session -----------------------------------------------------------------

void StateSession::map_frame() {
    ConnectionContext &c = *context;
    c.master->frame.control.set_command(FSOECommand::SESSION);
    c.master->_dynamic_map.clear();
    c.slave->_dynamic_map.clear();
    c.master->_dynamic_map.add(c.master->session->session_id);
}

StateId StateSession::_reset_session() {
    ConnectionContext &c = *context;
    c.master->frame.control.set_crc0(0);
    c.slave->frame.control.set_crc0(0);
    c.master->frame.control.set_sequence_number(1);
    c.slave->frame.control.set_sequence_number(1);
    c._data_command = FSOECommand::FAILSAFE_DATA;
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
        report("SESSION_FAIL4", kInvalidCommand);
        return fail(*context, "SESSION_FAIL4", BaseError::UNKNOWN_CMD);
    }
    if (is(ctl, FSOECommand::SESSION)) {
        if (!_check_received_crcs()) return invalid_crc();
        return context->_dynamic_map_pending() ? session_stay1_action() : session_ok_action();
    }
    if (is(ctl, FSOECommand::RESET)) {
        report("SESSION_RESET1", slave_reset_message());
        return session_reset1_action();
    }
    report("SESSION_FAIL3", kInvalidCommand);
    return fail(*context, "SESSION_FAIL3", BaseError::INVALID_CMD);
}

StateId StateSession::invalid_crc() {
    if (context->_second_session_frame_sent) {
        report("SESSION_FAIL1", kInvalidCrc);
        return fail(*context, "SESSION_FAIL1", BaseError::INVALID_CRC);
    }
    report("SESSION_STAY2", kInvalidCrc);
    return session_stay2_action();
}

StateId StateSession::_process_unreadable_frame_event() { return invalid_crc(); }

StateId StateSession::_process_watchdog_expired_event() {
    report("SESSION_WD", kWatchdogExpired);
    return fail(*context, "SESSION_WD", BaseError::WD_EXPIRED);
}

StateId StateSession::_process_reset_connection_event() { return fail(*context, "SESSION_RESET2", BaseError::RESET); }

StateId StateSession::session_ok_action() {
    ConnectionContext &c = *context;
    log(*context, "SESSION_OK");
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
    log(*context, "SESSION_STAY1");
    context->_second_session_frame_sent = true;
    context->_watchdog_activate_and_reset();
    return StateId::Session;
}

StateId StateSession::session_stay2_action() {
    log(*context, "SESSION_STAY2");
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
    log(*context, "SESSION_RESET1");
    context->_reset_slave_sequence_number_after_frame = true;
    return _reset_session();
}

// --- Connection --------------------------------------------------------------

StateId StateConnection::_process_frame_received_event() {
    static constexpr SetupReplyNames names = {FSOECommand::CONNECTION, "CONN_FAIL1", "CONN_FAIL2", "CONN_FAIL3",
                                              "CONN_FAIL4", "CONN_FAIL5", "CONN_RESET1",
                                              // The message names the session state, as the hosts know it.
                                              "Data exchanged during session state does not match"};
    if (const std::optional<StateId> next = judge_setup_reply(names)) return *next;
    return context->_dynamic_map_pending() ? conn_stay1_action() : conn_ok_action();
}

StateId StateConnection::_process_unreadable_frame_event() {
    report("CONN_FAIL1", kInvalidCrc);
    return fail(*context, "CONN_FAIL1", BaseError::INVALID_CRC);
}

StateId StateConnection::_process_watchdog_expired_event() {
    report("CONN_WD", kWatchdogExpired);
    return fail(*context, "CONN_WD", BaseError::WD_EXPIRED);
}

StateId StateConnection::_process_reset_connection_event() { return fail(*context, "CONN_RESET2", BaseError::RESET); }

StateId StateConnection::conn_ok_action() {
    log(*context, "CONN_OK");
    StateParameter(*context).map_frame();
    context->_generate_crcs_cyclic_for_next_frame = true;
    context->_watchdog_activate_and_reset();
    return StateId::Parameter;
}

StateId StateConnection::conn_stay1_action() {
    log(*context, "CONNECTION_STAY1");
    context->_watchdog_activate_and_reset();
    return StateId::Connection;
}

// --- Parameter ---------------------------------------------------------------

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

StateId StateParameter::_process_frame_received_event() {
    static constexpr SetupReplyNames names = {
        FSOECommand::PARAMETER, "PARA_FAIL1", "PARA_FAIL2",  "PARA_FAIL3",
        "PARA_FAIL4",           "PARA_FAIL5", "PARA_RESET1", "Data exchanged during parameter state does not match"};
    if (const std::optional<StateId> next = judge_setup_reply(names)) return *next;
    return context->_dynamic_map_pending() ? para_stay1_action() : para_ok_action();
}

StateId StateParameter::_process_unreadable_frame_event() {
    report("PARA_FAIL1", kInvalidCrc);
    return fail(*context, "PARA_FAIL1", BaseError::INVALID_CRC);
}

StateId StateParameter::_process_watchdog_expired_event() {
    report("PARA_WD", kWatchdogExpired);
    return fail(*context, "PARA_WD", BaseError::WD_EXPIRED);
}

StateId StateParameter::_process_reset_connection_event() { return fail(*context, "PARA_RESET2", BaseError::RESET); }

StateId StateParameter::para_ok_action() {
    log(*context, "PARA_OK");
    context->_generate_crcs_cyclic_for_next_frame = true;
    context->_watchdog_activate_and_reset();
    return StateId::Data;
}

StateId StateParameter::para_stay1_action() {
    log(*context, "PARA_STAY1");
    context->_watchdog_activate_and_reset();
    return StateId::Parameter;
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
        report("DATA_FAIL4", kInvalidCommand);
        return fail(c, "DATA_FAIL4", BaseError::UNKNOWN_CMD);
    }
    if (is(ctl, FSOECommand::SESSION) || is(ctl, FSOECommand::CONNECTION) || is(ctl, FSOECommand::PARAMETER)) {
        report("DATA_FAIL3", kInvalidCommand);
        return fail(c, "DATA_FAIL3", BaseError::INVALID_CMD);
    }
    if (is(ctl, FSOECommand::RESET)) {
        report("DATA_RESET1", slave_reset_message());
        return slave_reset(c, "DATA_RESET1");
    }
    if (ctl.connection_id() != c.master->session->connection_id->raw_value()) {
        report("DATA_FAIL2", connection_id_message());
        return fail(c, "DATA_FAIL2", BaseError::INVALID_CONNID);
    }
    if (!_check_received_crcs()) {
        report("DATA_FAIL1", kInvalidCrc);
        return fail(c, "DATA_FAIL1", BaseError::INVALID_CRC);
    }
    if (is(ctl, FSOECommand::PROCESS_DATA)) return data_ok1_action();
    return data_ok2_action();  // FAILSAFE_DATA: the only command left
}

StateId StateData::_process_unreadable_frame_event() {
    report("DATA_FAIL1", kInvalidCrc);
    return fail(*context, "DATA_FAIL1", BaseError::INVALID_CRC);
}

StateId StateData::_process_watchdog_expired_event() {
    report("DATA_WD", kWatchdogExpired);
    return fail(*context, "DATA_WD", BaseError::WD_EXPIRED);
}

StateId StateData::_process_reset_connection_event() { return fail(*context, "DATA_RESET2", BaseError::RESET); }

StateId StateData::data_ok1_action() {
    log(*context, "DATA_OK1");
    context->slave->dictionary_map->_get_data_from_frame(context->slave->frame);
    context->_generate_crcs_cyclic_for_next_frame = true;
    context->_watchdog_activate_and_reset();
    return StateId::Data;
}

StateId StateData::data_ok2_action() {
    log(*context, "DATA_OK2");
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
