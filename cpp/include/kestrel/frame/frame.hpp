// Frame objects: a frame record with views of its control words, safe data
// and CRCs, the size rules, and CRC generation and checking with the CRC_0 skip.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kestrel/c/context/fsoe_frame.h"
#include "kestrel/common/trace.hpp"

namespace kestrel {

inline constexpr uint16_t BYTES_PER_WORD = 2;
inline constexpr uint16_t MAX_DATA_WORDS = FSOE_MAX_DATA_WORDS;
inline constexpr uint16_t MAX_DATA_BYTES = MAX_DATA_WORDS * BYTES_PER_WORD;
inline constexpr uint16_t MAX_CRC_WORDS = FSOE_MAX_CRC_WORDS;
inline constexpr uint16_t MIN_FRAME_BYTES = 3;
inline constexpr uint16_t MAX_FRAME_BYTES = FSOE_MAX_FRAME_BYTES;

enum class FSOECommand : uint8_t {
    PROCESS_DATA = 0x36,
    RESET = 0x2A,
    SESSION = 0x4E,
    CONNECTION = 0x64,
    PARAMETER = 0x52,
    FAILSAFE_DATA = 0x08,
};

constexpr bool command_has_value(long long value) noexcept {
    return value == 0x36 || value == 0x2A || value == 0x4E || value == 0x64 || value == 0x52 || value == 0x08;
}

// Bounded view of 16-bit words owned by a frame.
class U16Array {
public:
    U16Array() = default;
    U16Array(uint16_t *words, uint32_t length) : pu16(words), u32Length(length) {}

    uint16_t get(uint32_t idx) const;  // IndexError past the end
    void set(uint32_t idx, uint16_t value);
    void clear() noexcept;
    uint32_t length() const noexcept { return u32Length; }
    uint16_t *data() noexcept { return pu16; }
    const uint16_t *data() const noexcept { return pu16; }

private:
    uint16_t *pu16 = nullptr;
    uint32_t u32Length = 0;
};

// View of a frame's control words.
class FSOEFrameControl {
public:
    explicit FSOEFrameControl(FSOE_SFrameControl *record) : _c_fsoe_frame_control(record) {}

    FSOECommand command() const;  // ValueError when the byte is not a command
    void set_command(FSOECommand command) noexcept { _c_fsoe_frame_control->u16Command = static_cast<uint16_t>(command); }
    bool command_is_valid() const noexcept { return command_has_value(_c_fsoe_frame_control->u16Command); }
    uint16_t raw_command() const noexcept { return _c_fsoe_frame_control->u16Command; }

    uint16_t connection_id() const noexcept { return _c_fsoe_frame_control->u16ConnectionId; }
    void set_connection_id(uint16_t v) noexcept { _c_fsoe_frame_control->u16ConnectionId = v; }
    uint16_t sequence_number() const noexcept { return _c_fsoe_frame_control->u16SequenceNum; }
    void set_sequence_number(uint16_t v) noexcept { _c_fsoe_frame_control->u16SequenceNum = v; }
    uint16_t crc0() const noexcept { return _c_fsoe_frame_control->u16Crc0; }
    void set_crc0(uint16_t v) noexcept { _c_fsoe_frame_control->u16Crc0 = v; }

    // 65535 is followed by 1: the sequence number is never 0.
    void increment_sequence_number() noexcept;

private:
    FSOE_SFrameControl *_c_fsoe_frame_control;
};

class FSOEFrame {
public:
    // `length` is the frame's length on the wire. Lengths above 35 bytes or
    // giving an odd safe-data size above 1 are refused with ValueError; a
    // negative word count ceil(length / 2), i.e. a length below -1, raises
    // OverflowError (-1 gives 0 words, an empty frame).
    explicit FSOEFrame(long long length = 0);
    FSOEFrame(const FSOEFrame &) = delete;  // the views point into this object
    FSOEFrame &operator=(const FSOEFrame &) = delete;

    FSOE_SFrame _c_fsoe_frame{};
    FSOEFrameControl control{&_c_fsoe_frame.sControl};
    U16Array safe_data{_c_fsoe_frame.au16Data, MAX_DATA_WORDS};
    U16Array crcs{_c_fsoe_frame.au16Crc, MAX_CRC_WORDS};

    // Decodes wire bytes. Accepts 3 to 35 bytes whose safe-data size is 0, 1
    // or even (a trailing odd byte after a valid frame is ignored; 5 bytes,
    // a 6-byte frame short of its last, are not a frame); anything
    // else raises ValueError and leaves the frame unchanged. Sequence number
    // and CRC_0 seed keep their values.
    void frame_from_array(std::span<const uint8_t> data);
    // Encodes into `out` and returns the length in bytes.
    size_t frame_to_array(std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> &out) const noexcept;

    uint16_t safe_data_size_bytes() const noexcept { return _c_fsoe_frame.u16DataSizeBytes; }
    // ValueError above 16 bytes and for odd sizes above 1; OverflowError if negative.
    void set_safe_data_size_bytes(long long size);

    void set_safe_data_bytes(std::span<const uint8_t> data);  // ValueError above 16 bytes
    std::array<uint8_t, MAX_DATA_BYTES> get_safe_data_bytes() const noexcept;

    void generate_crcs() noexcept;
    bool check_crcs() const noexcept;
    // The fields the trace prints of this frame.
    trace::FrameFields trace_fields() const noexcept;
    uint16_t calc_crc0() const noexcept { return FSOE_FrameCalcCrc0(&_c_fsoe_frame); }
    void generate_crcs_cyclic(uint16_t last_sent_crc_0) noexcept;
    bool check_crcs_cyclic(uint16_t last_sent_crc_0) noexcept;

    // The size rules as checks, shared by every entry point.
    static void check_safe_data_size(long long size);
    static uint16_t check_frame_length(long long length);  // returns the size in words
};

}  // namespace kestrel
