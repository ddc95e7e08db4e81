#include "kestrel/sim/slave_simulator.hpp"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "kestrel/common/error.hpp"

namespace kestrel::sim {

namespace {

uint16_t next_sequence_number(uint16_t seq) noexcept {
    FSOE_SFrameControl control{};
    control.u16SequenceNum = seq;
    FSOEFrameControl(&control).increment_sequence_number();
    return control.u16SequenceNum;
}

uint16_t le16(std::span<const uint8_t> bytes, size_t at) noexcept {
    return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

void check_size(uint16_t size, const char *name) {
    if (size == 1 || (size >= 2 && size <= MAX_DATA_BYTES && size % 2 == 0)) return;
    raise(ErrorKind::Value,
          std::string(name) + " must be 1 or an even number from 2 to 16, got " + std::to_string(size));
}

void check_count(uint32_t count, const char *name = "count") {
    if (count == 0) raise(ErrorKind::Value, std::string(name) + " must be at least 1");
}

// The command a slave of that state would not send at all: the next state's
// own command (Data, having none, takes the Parameter command).
FSOECommand command_of_another_state(SlaveState state) noexcept {
    switch (state) {
        case SlaveState::Reset:
            return FSOECommand::SESSION;
        case SlaveState::Session:
            return FSOECommand::CONNECTION;
        case SlaveState::Connection:
            return FSOECommand::PARAMETER;
        case SlaveState::Parameter:
            return FSOECommand::PROCESS_DATA;
        case SlaveState::Data:
            break;
    }
    return FSOECommand::PARAMETER;
}

}  // namespace

SlaveSimulator::SlaveSimulator(SlaveConfig config) : config_(std::move(config)) {
    check_size(config_.input_size, "input_size");
    check_size(config_.output_size, "output_size");
    if (config_.watchdog_min_ms > config_.watchdog_max_ms)
        raise(ErrorKind::Value, "watchdog range is empty: " + std::to_string(config_.watchdog_min_ms) + " > " +
                                    std::to_string(config_.watchdog_max_ms));
    if (config_.application_parameters.size() > 0xFFFF)
        raise(ErrorKind::Value, "application parameters cannot exceed 65535 bytes, got " +
                                    std::to_string(config_.application_parameters.size()));
    if (config_.seed) {
        rng_.seed(static_cast<std::mt19937::result_type>(*config_.seed ^ (*config_.seed >> 32)));
    } else {
        rng_.seed(std::random_device{}());
    }
    // Every buffer at its full size now: a step allocates nothing.
    last_request_.reserve(FSOE_FRAME_BUFFER_BYTES);
    master_session_stream_.reserve(2);
    connection_stream_.reserve(4);
    parameter_stream_.reserve(parameter_set_length());
    last_send_ms_ = now_ms();
}

uint64_t SlaveSimulator::now_ms() const noexcept {
    if (config_.manual_clock) return manual_now_ms_;
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SlaveSimulator::advance(uint64_t ms) {
    if (!config_.manual_clock) raise(ErrorKind::Runtime, "advance() needs a slave made with a manual clock");
    manual_now_ms_ += ms;
}

std::optional<uint16_t> SlaveSimulator::master_session_id() const noexcept {
    if (master_session_stream_.size() < 2) return std::nullopt;
    return le16(master_session_stream_, 0);
}

std::optional<uint16_t> SlaveSimulator::connection_id() const noexcept {
    if (connection_stream_.size() < 2) return std::nullopt;
    return le16(connection_stream_, 0);
}

std::optional<uint16_t> SlaveSimulator::watchdog_ms() const noexcept {
    if (!parameters_valid_) return std::nullopt;
    return watchdog_ms_;
}

void SlaveSimulator::set_inputs(std::span<const uint8_t> inputs) {
    if (inputs.size() != config_.input_size)
        raise(ErrorKind::Value,
              "inputs must be " + std::to_string(config_.input_size) + " bytes, got " + std::to_string(inputs.size()));
    std::copy(inputs.begin(), inputs.end(), inputs_.begin());
}

// ---------------------------------------------------------------------------
// The cycle

std::span<const uint8_t> SlaveSimulator::step(std::span<const uint8_t> request) {
    if (in_step_) raise(ErrorKind::Runtime, "the slave cannot be stepped from its own parameter check");
    in_step_ = true;
    struct Leave {
        bool &flag, &answers;
        ~Leave() { flag = answers = false; }
    } leave{in_step_, host_reset_answers_};

    if (silence_ > 0) {
        --silence_;
        ++counters_.frames_dropped;
        return reply();
    }
    const bool is_new = !request.empty() && !std::ranges::equal(request, last_request_);
    if (is_new) last_request_.assign(request.begin(), request.end());
    // The watchdog runs on its own: it is looked at every cycle, before the
    // frame, and has expired once the watchdog time has passed in full.
    if (state_ == SlaveState::Data && now_ms() - last_send_ms_ >= watchdog_ms_) {
        fail(code_of(BaseError::WD_EXPIRED));
        return reply();
    }
    if (request.empty()) return reply();
    // The first request to meet a Reset frame of request_reset() is the one the
    // master sent before it could see that frame: the frame is its answer.
    host_reset_answers_ = std::exchange(host_reset_pending_, false);
    if (!is_new) {
        ++counters_.frames_repeated;
        return reply();
    }
    ++counters_.frames_received;
    process(request);
    return reply();
}

void SlaveSimulator::process(std::span<const uint8_t> request) {
    // A frame of another length is not a frame of this connection: its CRCs
    // cannot be checked, so it counts as a corrupted one.
    if (request.size() != FSOE_GetFrameSizeBytes(config_.output_size)) {
        fail(code_of(BaseError::INVALID_CRC));
        return;
    }
    FSOEFrame rx(static_cast<long long>(request.size()));
    rx.frame_from_array(request);
    const FSOE_SFrame &rec = rx._c_fsoe_frame;
    const std::optional<uint16_t> previous_crc0 = rx_last_crc0_;
    rx_last_crc0_ = rec.au16Crc[0];
    rx_frame_crc0_ = rec.au16Crc[0];

    const uint16_t command = rec.sControl.u16Command;
    if (!command_has_value(command)) {
        fail(code_of(BaseError::UNKNOWN_CMD));
    } else if (command == static_cast<uint16_t>(FSOECommand::RESET)) {
        // A reset is always safe to follow: taken in every state without checks.
        enter_reset(static_cast<uint8_t>(rec.au16Data[0]), false);
        reply_reset(code_of(BaseError::RESET));
    } else if (command == static_cast<uint16_t>(FSOECommand::SESSION)) {
        handle_session(rx, previous_crc0);
    } else {
        handle_setup_or_data(rx, previous_crc0);
    }
}

// ---------------------------------------------------------------------------
// CRC chains

// Checks `rx` as the frame with sequence number `seq` and seed `seed`, with the
// receiver's CRC_0 skip against `reference` (the CRC_0 of the previous frame
// received). A tolerant check also takes the unskipped number: the master makes
// its Session frames without the skip while its session began from Reset.
// On success the master's next sequence number is recorded.
bool SlaveSimulator::check_chain(FSOEFrame &rx, uint16_t seq, uint16_t seed, std::optional<uint16_t> reference,
                                 bool tolerant) noexcept {
    FSOE_SFrame &rec = rx._c_fsoe_frame;
    rec.sControl.u16SequenceNum = seq;
    rec.sControl.u16Crc0 = seed;
    if (reference && FSOE_FrameCalcCrc0(&rec) == *reference) {
        if (tolerant && FSOE_FrameCheckCrc(&rec, nullptr)) {
            rx_seq_ = next_sequence_number(seq);
            return true;
        }
        rx.control.increment_sequence_number();
    }
    if (!FSOE_FrameCheckCrc(&rec, nullptr)) return false;
    rx_seq_ = next_sequence_number(rec.sControl.u16SequenceNum);
    return true;
}

bool SlaveSimulator::check_current_chain(FSOEFrame &rx, std::optional<uint16_t> previous_crc0, bool tolerant) noexcept {
    return chain_active_ && check_chain(rx, rx_seq_, tx_last_crc0_.value_or(0), previous_crc0, tolerant);
}

bool SlaveSimulator::check_fresh_chain(FSOEFrame &rx, std::optional<uint16_t> previous_crc0) noexcept {
    return check_chain(rx, 1, 0, previous_crc0, true);
}

// ---------------------------------------------------------------------------
// States

void SlaveSimulator::handle_session(FSOEFrame &rx, std::optional<uint16_t> previous_crc0) {
    const bool continued = state_ == SlaveState::Session && check_current_chain(rx, previous_crc0, true);
    if (!continued) {
        if (check_fresh_chain(rx, previous_crc0)) {
            start_session();
        } else {
            // Outside its own chain a Session frame can only start a new one:
            // one that does not is a broken frame in every state.
            fail(code_of(BaseError::INVALID_CRC));
            return;
        }
    }
    const auto data = rx.get_safe_data_bytes();
    const uint16_t per_frame = setup_bytes_per_frame();
    for (uint16_t i = 0; i < per_frame && master_session_stream_.size() < 2; ++i)
        master_session_stream_.push_back(data[i]);

    std::array<uint8_t, 2> answer{static_cast<uint8_t>(slave_session_id_),
                                  static_cast<uint8_t>(slave_session_id_ >> 8)};
    std::span<const uint8_t> bytes(answer);
    if (per_frame == 1) bytes = bytes.subspan(session_replies_ % 2, 1);
    ++session_replies_;
    reply_chained(FSOECommand::SESSION, bytes, 0);
}

// The set-up data of a state are echoed as received and judged when the first
// frame of the next state arrives, once that frame itself is sound: the master
// sees a complete, correct echo and then the Reset frame.
void SlaveSimulator::handle_setup_or_data(FSOEFrame &rx, std::optional<uint16_t> previous_crc0) {
    const FSOE_SFrame &rec = rx._c_fsoe_frame;
    const auto command = static_cast<FSOECommand>(rec.sControl.u16Command);
    SlaveState target = SlaveState::Data;
    bool may_enter = state_ == SlaveState::Parameter && parameters_judgeable();
    if (command == FSOECommand::CONNECTION) {
        target = SlaveState::Connection;
        may_enter = state_ == SlaveState::Session && master_session_stream_.size() >= 2;
    } else if (command == FSOECommand::PARAMETER) {
        target = SlaveState::Parameter;
        may_enter = state_ == SlaveState::Connection && connection_stream_.size() >= 4;
    }
    if (state_ != target && !may_enter) {
        fail(code_of(BaseError::INVALID_CMD));
        return;
    }

    const uint16_t field = rec.sControl.u16ConnectionId;
    if (target == SlaveState::Connection) {
        const bool first = state_ != SlaveState::Connection;
        if (first ? field == 0 : field != *connection_field_id_) {
            fail(code_of(BaseError::INVALID_CONNID));
            return;
        }
    } else if (field != *connection_id()) {
        fail(code_of(BaseError::INVALID_CONNID));
        return;
    }
    if (!check_current_chain(rx, previous_crc0, false)) {
        fail(code_of(BaseError::INVALID_CRC));
        return;
    }
    if (state_ != target) {
        if (target == SlaveState::Parameter && le16(connection_stream_, 2) != config_.slave_address) {
            fail(code_of(BaseError::INVALID_ADDRESS));
            return;
        }
        if (target == SlaveState::Data) {
            if (const uint8_t code = judge_parameters(); code != code_of(BaseError::RESET)) {
                fail(code);
                return;
            }
            parameters_valid_ = true;
            watchdog_ms_ = le16(parameter_stream_, 2);
        }
        state_ = target;
        if (target == SlaveState::Connection) connection_field_id_ = field;
    }

    const auto data = rx.get_safe_data_bytes();
    const uint16_t per_frame = setup_bytes_per_frame();
    const std::span<const uint8_t> echo(data.data(), per_frame);
    if (target == SlaveState::Connection) {
        for (uint16_t i = 0; i < per_frame && connection_stream_.size() < 4; ++i) connection_stream_.push_back(data[i]);
        reply_chained(FSOECommand::CONNECTION, echo, *connection_field_id_);
    } else if (target == SlaveState::Parameter) {
        // Kept up to the length configured; a longer set is still echoed, and
        // its length fields tell what is wrong with it.
        for (uint16_t i = 0; i < per_frame && parameter_stream_.size() < parameter_set_length(); ++i)
            parameter_stream_.push_back(data[i]);
        reply_chained(FSOECommand::PARAMETER, echo, *connection_id());
    } else {
        if (command == FSOECommand::PROCESS_DATA) {
            std::copy_n(data.begin(), config_.output_size, outputs_.begin());
        } else {
            outputs_.fill(0);
        }
        if (process_data_) {
            reply_chained(FSOECommand::PROCESS_DATA, inputs(), *connection_id());
        } else {
            reply_chained(FSOECommand::FAILSAFE_DATA, {}, *connection_id());
        }
    }
}

// Whether the parameters received so far can be judged: all of them, or a
// length field that already differs from the configuration (the master then
// sends fewer bytes than expected, or more). Data before that are a command
// out of turn.
bool SlaveSimulator::parameters_judgeable() const noexcept {
    const auto &s = parameter_stream_;
    if (s.size() >= parameter_set_length()) return true;
    return (s.size() >= 2 && le16(s, 0) != kCommParameterBytes) ||
           (s.size() >= 2 + kCommParameterBytes + 2 &&
            le16(s, 2 + kCommParameterBytes) != config_.application_parameters.size());
}

// Lengths first, then the watchdog time, the values, and the host's check.
uint8_t SlaveSimulator::judge_parameters() const {
    const auto &s = parameter_stream_;
    if (le16(s, 0) != kCommParameterBytes) return code_of(BaseError::INVALID_COMMPARALEN);
    const size_t app = config_.application_parameters.size();
    if (le16(s, 2 + kCommParameterBytes) != app) return code_of(BaseError::INVALID_USERPARALEN);
    const uint16_t watchdog = le16(s, 2);
    if (watchdog < config_.watchdog_min_ms || watchdog > config_.watchdog_max_ms)
        return code_of(BaseError::INVALID_COMPARA);
    const std::span<const uint8_t> parameters(s.data() + 2 + kCommParameterBytes + 2, app);
    if (!std::equal(parameters.begin(), parameters.end(), config_.application_parameters.begin()))
        return code_of(BaseError::INVALID_USERPARA);
    if (config_.check_parameters) {
        int code = code_of(BaseError::INVALID_USERPARA);
        try {
            code = config_.check_parameters(parameters);
        } catch (...) {
            // A check that fails cannot have accepted the parameters.
            return code_of(BaseError::INVALID_USERPARA);
        }
        if (code != 0)
            return code >= kFirstSafeParaCode && code <= kLastSafeParaCode ? static_cast<uint8_t>(code)
                                                                           : code_of(BaseError::INVALID_USERPARA);
    }
    return code_of(BaseError::RESET);
}

void SlaveSimulator::start_session() {
    state_ = SlaveState::Session;
    chain_active_ = true;
    tx_seq_ = 1;
    slave_session_id_ = static_cast<uint16_t>(std::uniform_int_distribution<uint32_t>(0, 0xFFFF)(rng_));
    session_replies_ = 0;
    master_session_stream_.clear();
    connection_field_id_.reset();
    connection_stream_.clear();
    parameter_stream_.clear();
    parameters_valid_ = false;
    watchdog_ms_ = 0;
    process_data_ = false;
    outputs_.fill(0);
}

// The received set-up data stay for inspection until the next session.
void SlaveSimulator::enter_reset(uint8_t reason, bool own_account) {
    state_ = SlaveState::Reset;
    chain_active_ = false;
    process_data_ = false;
    outputs_.fill(0);
    last_reset_reason_ = reason;
    if (own_account) {
        last_reset_sent_ = reason;
        ++counters_.resets_sent;
        ++resets_by_code_[reason];
    } else {
        last_reset_received_ = reason;
        ++counters_.resets_received;
    }
}

void SlaveSimulator::fail(uint8_t code) {
    // A request of the connection that request_reset() ended, sent before the
    // master could see that: the Reset frame with reason 0 is its answer.
    if (host_reset_answers_ && state_ == SlaveState::Reset) return;
    ++counters_.errors;
    enter_reset(code, true);
    reply_reset(code);
}

// ---------------------------------------------------------------------------
// Replies

void SlaveSimulator::compose_reset(FSOEFrame &out, uint8_t reason) const {
    std::array<uint8_t, 1> data{reason};
    out.set_safe_data_bytes(data);
    out.control.set_command(FSOECommand::RESET);
    out.control.set_connection_id(0);
    out.control.set_sequence_number(1);
    out.control.set_crc0(0);
    FSOE_FrameGenerateCrc(&out._c_fsoe_frame);
}

void SlaveSimulator::reply_reset(uint8_t reason) {
    FSOEFrame out(frame_length());
    compose_reset(out, reason);
    finish(out);
}

// A frame of the chain: seeded with the CRC_0 of the frame it answers, made
// with the sender's CRC_0 skip against the last frame put out.
void SlaveSimulator::reply_chained(FSOECommand command, std::span<const uint8_t> data, uint16_t connection_id_field) {
    FSOEFrame out(frame_length());
    out.set_safe_data_bytes(data);
    out.control.set_command(command);
    out.control.set_connection_id(connection_id_field);
    out.control.set_sequence_number(tx_seq_);
    out.control.set_crc0(rx_frame_crc0_);
    FSOE_FrameGenerateCrc(&out._c_fsoe_frame);
    if (tx_last_crc0_ && out._c_fsoe_frame.au16Crc[0] == *tx_last_crc0_) {
        out.control.increment_sequence_number();
        FSOE_FrameGenerateCrc(&out._c_fsoe_frame);
    }
    tx_seq_ = next_sequence_number(out.control.sequence_number());
    finish(out);
}

// Applies the pending faults to a reply. The slave's own bookkeeping already
// counts the genuine reply as sent: a fault only changes what reaches the bus.
void SlaveSimulator::finish(FSOEFrame &out) {
    // Both have something to put out: their injection made sure of it.
    if (repeat_.count > 0) {
        --repeat_.count;
        const auto previous = reply_;
        put_out({previous.data(), reply_len_});
        return;
    }
    if (replay_.count > 0) {
        --replay_.count;
        const size_t slot = (history_count_ - replay_.value) % MAX_REPLAY_AGE;
        const auto older = history_[slot];
        put_out({older.data(), history_len_[slot]});
        return;
    }

    if (reset_.count > 0) {
        --reset_.count;
        const auto code = static_cast<uint8_t>(reset_.value);
        enter_reset(code, true);
        compose_reset(out, code);
    }
    bool regenerate = false;
    FSOE_SFrame &rec = out._c_fsoe_frame;
    if (wrong_command_.count > 0) {
        --wrong_command_.count;
        rec.sControl.u16Command =
            wrong_command_.has_value ? wrong_command_.value : static_cast<uint16_t>(command_of_another_state(state_));
        regenerate = true;
    }
    if (unknown_command_.count > 0) {
        --unknown_command_.count;
        rec.sControl.u16Command = static_cast<uint16_t>(unknown_command_.value);
        regenerate = true;
    }
    if (wrong_connection_id_.count > 0) {
        --wrong_connection_id_.count;
        rec.sControl.u16ConnectionId = wrong_connection_id_.has_value
                                           ? static_cast<uint16_t>(wrong_connection_id_.value)
                                           : static_cast<uint16_t>(rec.sControl.u16ConnectionId + 1);
        regenerate = true;
    }
    if (wrong_echo_.count > 0) {
        --wrong_echo_.count;
        const uint32_t i = wrong_echo_.value;
        rec.au16Data[i / 2] ^= static_cast<uint16_t>(i % 2 ? 0xFF00 : 0x00FF);
        regenerate = true;
    }
    // Content faults keep valid CRCs, so that the master sees exactly that fault.
    if (regenerate) FSOE_FrameGenerateCrc(&rec);

    std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> bytes;
    const size_t length = out.frame_to_array(bytes);
    if (bit_flip_.count > 0) {
        --bit_flip_.count;
        bytes[bit_flip_.value / 8] ^= static_cast<uint8_t>(1u << (bit_flip_.value % 8));
    }
    put_out({bytes.data(), length});
}

void SlaveSimulator::put_out(std::span<const uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), reply_.begin());
    reply_len_ = bytes.size();
    const size_t slot = history_count_ % MAX_REPLAY_AGE;
    std::copy(bytes.begin(), bytes.end(), history_[slot].begin());
    history_len_[slot] = bytes.size();
    ++history_count_;
    ++counters_.frames_sent;
    // The CRC_0 on the bus is what the master chains to and compares with.
    tx_last_crc0_ = le16(bytes, config_.input_size == 1 ? 2 : 3);
    last_send_ms_ = now_ms();
}

// ---------------------------------------------------------------------------
// Fault injection

void SlaveSimulator::inject_bit_flip(uint32_t bit, uint32_t count) {
    check_count(count);
    if (bit >= 8u * frame_length())
        raise(ErrorKind::Value, "bit " + std::to_string(bit) + " is outside the slave's frames of " +
                                    std::to_string(frame_length()) + " bytes");
    bit_flip_ = {count, bit, true};
}

void SlaveSimulator::inject_wrong_connection_id(std::optional<uint16_t> connection_id, uint32_t count) {
    check_count(count);
    wrong_connection_id_ = {count, connection_id.value_or(0), connection_id.has_value()};
}

void SlaveSimulator::inject_wrong_echo(uint16_t byte_index, uint32_t count) {
    check_count(count);
    if (byte_index >= config_.input_size)
        raise(ErrorKind::Value, "byte " + std::to_string(byte_index) + " is outside the slave's " +
                                    std::to_string(config_.input_size) + " safe-data bytes");
    wrong_echo_ = {count, byte_index, true};
}

void SlaveSimulator::inject_unknown_command(uint8_t command, uint32_t count) {
    check_count(count);
    if (command_has_value(command))
        raise(ErrorKind::Value, "command " + std::to_string(command) + " is a known FSoE command");
    unknown_command_ = {count, command, true};
}

void SlaveSimulator::inject_wrong_command(std::optional<FSOECommand> command, uint32_t count) {
    check_count(count);
    wrong_command_ = {count, command ? static_cast<uint32_t>(*command) : 0u, command.has_value()};
}

void SlaveSimulator::inject_reset(uint8_t code, uint32_t count) {
    check_count(count);
    reset_ = {count, code, true};
}

void SlaveSimulator::inject_repeat(uint32_t count) {
    check_count(count);
    if (reply_len_ == 0) raise(ErrorKind::Value, "nothing to repeat: the slave has not replied yet");
    repeat_ = {count, 0, false};
}

void SlaveSimulator::inject_replay(uint32_t age, uint32_t count) {
    check_count(count);
    if (age < 2 || age > MAX_REPLAY_AGE)
        raise(ErrorKind::Value,
              "age must be from 2 to " + std::to_string(MAX_REPLAY_AGE) + ", got " + std::to_string(age));
    if (age > history_count_)
        raise(ErrorKind::Value, "nothing to replay " + std::to_string(age) + " frames back: the slave has sent " +
                                    std::to_string(history_count_) + " so far");
    replay_ = {count, age, true};
}

void SlaveSimulator::inject_silence(uint32_t cycles) {
    check_count(cycles, "cycles");
    silence_ = cycles;
}

void SlaveSimulator::request_reset() {
    if (in_step_) raise(ErrorKind::Runtime, "the slave cannot be reset from its own parameter check");
    enter_reset(code_of(BaseError::RESET), true);
    FSOEFrame out(frame_length());
    compose_reset(out, code_of(BaseError::RESET));
    std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> bytes;
    const size_t length = out.frame_to_array(bytes);
    put_out({bytes.data(), length});
    host_reset_pending_ = true;
}

void SlaveSimulator::clear_faults() noexcept {
    bit_flip_ = wrong_connection_id_ = wrong_echo_ = unknown_command_ = wrong_command_ = reset_ = repeat_ = replay_ =
        Pending{};
    silence_ = 0;
}

bool SlaveSimulator::faults_pending() const noexcept {
    for (const Pending *p : {&bit_flip_, &wrong_connection_id_, &wrong_echo_, &unknown_command_, &wrong_command_,
                             &reset_, &repeat_, &replay_})
        if (p->count > 0) return true;
    return silence_ > 0;
}

}  // namespace kestrel::sim
