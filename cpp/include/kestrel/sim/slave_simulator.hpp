// A software FSoE slave for testing masters without a bus: driven one frame at
// a time like a real slave behind a process image (`reply = step(request)`),
// with a manual clock for its watchdog and injectable faults.
//
// It sits on the frame layer only (record, codec, CRC), never on the master's
// state machine, so that the two sides are checked against each other rather
// than against a shared implementation.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "kestrel/connection/errors.hpp"
#include "kestrel/frame/frame.hpp"

namespace kestrel::sim {

enum class SlaveState : uint8_t { Reset = 0, Session = 1, Connection = 2, Parameter = 3, Data = 4 };

// The reset reasons the slave sends are the FSoE error codes (BaseError),
// plus 0x80 to 0xFF from the host's parameter check.
constexpr uint8_t code_of(BaseError error) noexcept { return static_cast<uint8_t>(error); }

// Host check of the application parameters, called on the first Data frame
// once the parameters received equal the expected bytes. Returns 0 to accept;
// a code from 0x80 to 0xFF is sent as the reset reason, any other value as
// INVALID_USERPARA.
using ParameterCheck = std::function<int(std::span<const uint8_t> parameters)>;

struct SlaveConfig {
    uint16_t slave_address = 0;
    uint16_t input_size = 2;                      // safe-data bytes of the slave's frames (1 or even, up to 16)
    uint16_t output_size = 2;                     // safe-data bytes of the master's frames (1 or even, up to 16)
    std::vector<uint8_t> application_parameters;  // expected, in transfer order; their number is the length expected
    uint16_t watchdog_min_ms = 1;
    uint16_t watchdog_max_ms = 0xFFFF;
    ParameterCheck check_parameters;
    bool manual_clock = false;
    std::optional<uint64_t> seed;  // random session ids; none: seeded from the system
};

struct SlaveCounters {
    uint64_t frames_received = 0;  // new frames processed
    uint64_t frames_sent = 0;      // frames put into the process image
    uint64_t frames_repeated = 0;  // identical to the previous frame: no new answer
    uint64_t frames_dropped = 0;   // cycles spent silent
    uint64_t resets_received = 0;  // Reset frames from the master
    uint64_t resets_sent = 0;      // Reset frames sent on the slave's own account (not acknowledgements)
    uint64_t errors = 0;           // faults the slave detected in the master's frames (or its watchdog)
};

class SlaveSimulator {
public:
    // ValueError for sizes other than 1 or an even number up to 16, an empty or
    // reversed watchdog range, or more than 65535 parameter bytes.
    explicit SlaveSimulator(SlaveConfig config);

    // One bus cycle: takes the master's request as the process image holds it
    // and returns the slave's frame as the process image then holds it. Without
    // a new frame to answer (empty request, a request identical to the previous
    // one, a silent cycle) the previous reply stays: empty before the first.
    // The view is valid until the next call.
    std::span<const uint8_t> step(std::span<const uint8_t> request);
    std::span<const uint8_t> reply() const noexcept { return {reply_.data(), reply_len_}; }

    // Manual clock only (RuntimeError otherwise).
    void advance(uint64_t ms);
    uint64_t now_ms() const noexcept;

    // --- inspection ---
    const SlaveConfig &config() const noexcept { return config_; }
    SlaveState state() const noexcept { return state_; }
    std::optional<uint8_t> last_reset_reason() const noexcept { return last_reset_reason_; }
    std::optional<uint8_t> last_reset_sent() const noexcept { return last_reset_sent_; }
    std::optional<uint8_t> last_reset_received() const noexcept { return last_reset_received_; }
    uint16_t slave_session_id() const noexcept { return slave_session_id_; }
    std::optional<uint16_t> master_session_id() const noexcept;
    std::optional<uint16_t> connection_id() const noexcept;  // from the Connection data, once complete
    std::optional<uint16_t> watchdog_ms() const noexcept;    // from a complete, valid parameter set
    std::span<const uint8_t> received_parameters() const noexcept { return parameter_stream_; }
    std::span<const uint8_t> outputs() const noexcept { return {outputs_.data(), config_.output_size}; }
    std::span<const uint8_t> inputs() const noexcept { return {inputs_.data(), config_.input_size}; }
    void set_inputs(std::span<const uint8_t> inputs);  // ValueError unless input_size bytes
    bool process_data() const noexcept { return process_data_; }
    void set_process_data(bool enabled) noexcept { process_data_ = enabled; }
    const SlaveCounters &counters() const noexcept { return counters_; }
    // How often each reset reason was sent on the slave's own account.
    const std::array<uint64_t, 256> &resets_sent_by_code() const noexcept { return resets_by_code_; }

    // --- fault injection: each applies to the next `count` replies (ValueError
    // for a count of 0); injecting a kind again replaces its pending count ---
    void inject_bit_flip(uint32_t bit, uint32_t count = 1);  // bit 8*i+j is bit j of reply byte i
    void inject_wrong_connection_id(std::optional<uint16_t> connection_id = std::nullopt, uint32_t count = 1);
    void inject_wrong_echo(uint16_t byte_index = 0, uint32_t count = 1);
    void inject_unknown_command(uint8_t command = 0xFF, uint32_t count = 1);
    void inject_wrong_command(std::optional<FSOECommand> command = std::nullopt, uint32_t count = 1);
    void inject_reset(uint8_t code, uint32_t count = 1);
    // ValueError when there is nothing to repeat yet: no reply so far, or
    // fewer than `age` replies.
    void inject_repeat(uint32_t count = 1);
    void inject_replay(uint32_t age = 2, uint32_t count = 1);
    void inject_silence(uint32_t cycles);
    // Resets the connection now: the process image holds a Reset frame with
    // reason 0 from this moment, before any further request. That frame is
    // the answer to the request already on its way: the next request is not
    // refused on its own (a master's Reset or a new session is taken as usual).
    void request_reset();
    void clear_faults() noexcept;
    bool faults_pending() const noexcept;

    static constexpr uint32_t MAX_REPLAY_AGE = 16;

private:
    void process(std::span<const uint8_t> request);
    void handle_session(FSOEFrame &rx, std::optional<uint16_t> previous_crc0);
    void handle_setup_or_data(FSOEFrame &rx, std::optional<uint16_t> previous_crc0);
    bool check_chain(FSOEFrame &rx, uint16_t seq, uint16_t seed, std::optional<uint16_t> reference,
                     bool tolerant) noexcept;
    bool check_current_chain(FSOEFrame &rx, std::optional<uint16_t> previous_crc0, bool tolerant) noexcept;
    bool check_fresh_chain(FSOEFrame &rx, std::optional<uint16_t> previous_crc0) noexcept;

    void start_session();
    void enter_reset(uint8_t reason, bool own_account);
    void fail(uint8_t code);
    bool parameters_judgeable() const noexcept;
    uint8_t judge_parameters() const;
    // Communication parameters (the watchdog time), the application parameters,
    // and a 2-byte length before each.
    static constexpr size_t kCommParameterBytes = 2;
    size_t parameter_set_length() const noexcept {
        return 2 + kCommParameterBytes + 2 + config_.application_parameters.size();
    }

    // Reply composition: every frame the slave sends passes through finish().
    uint16_t frame_length() const noexcept { return FSOE_GetFrameSizeBytes(config_.input_size); }
    void compose_reset(FSOEFrame &out, uint8_t reason) const;
    void reply_reset(uint8_t reason);
    void reply_chained(FSOECommand command, std::span<const uint8_t> data, uint16_t connection_id_field);
    void finish(FSOEFrame &out);
    void put_out(std::span<const uint8_t> bytes);

    uint16_t setup_bytes_per_frame() const noexcept { return std::min(config_.input_size, config_.output_size); }

    SlaveConfig config_;
    std::mt19937 rng_;
    uint64_t manual_now_ms_ = 0;

    SlaveState state_ = SlaveState::Reset;
    std::optional<uint8_t> last_reset_reason_, last_reset_sent_, last_reset_received_;

    // Receiving chain: the master's next sequence number; CRC_0 of its last frame.
    bool chain_active_ = false;
    uint16_t rx_seq_ = 1;
    std::optional<uint16_t> rx_last_crc0_;
    // Sending chain: own next sequence number; CRC_0 of the last frame put out.
    uint16_t tx_seq_ = 1;
    std::optional<uint16_t> tx_last_crc0_;
    uint16_t rx_frame_crc0_ = 0;  // CRC_0 of the frame being answered: the seed of the answer

    uint16_t slave_session_id_ = 0;
    uint32_t session_replies_ = 0;
    std::vector<uint8_t> master_session_stream_;
    std::optional<uint16_t> connection_field_id_;  // from the first Connection frame's field
    std::vector<uint8_t> connection_stream_;
    std::vector<uint8_t> parameter_stream_;
    bool parameters_valid_ = false;
    uint16_t watchdog_ms_ = 0;
    uint64_t last_send_ms_ = 0;

    std::array<uint8_t, MAX_DATA_BYTES> outputs_{};
    std::array<uint8_t, MAX_DATA_BYTES> inputs_{};
    bool process_data_ = false;

    std::vector<uint8_t> last_request_;  // whole, so that only an identical request counts as the same
    std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> reply_{};
    size_t reply_len_ = 0;
    // Frames put out, newest last, for replays.
    std::array<std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES>, MAX_REPLAY_AGE> history_{};
    std::array<size_t, MAX_REPLAY_AGE> history_len_{};
    size_t history_count_ = 0;

    SlaveCounters counters_;
    std::array<uint64_t, 256> resets_by_code_{};
    bool in_step_ = false;
    bool host_reset_pending_ = false;  // request_reset() put out a frame that no request has met yet
    bool host_reset_answers_ = false;  // that frame answers the request being processed

    struct Pending {
        uint32_t count = 0;
        uint32_t value = 0;
        bool has_value = false;
    };
    Pending bit_flip_, wrong_connection_id_, wrong_echo_, unknown_command_, wrong_command_, reset_, repeat_, replay_;
    uint32_t silence_ = 0;
};

}  // namespace kestrel::sim
