#include "kestrel/frame/frame.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "kestrel/common/arith.hpp"
#include "kestrel/common/error.hpp"
#include "kestrel/common/trace.hpp"

namespace kestrel {

namespace {
const std::string kSizeMessage = "Frame structure cannot handle more than " + std::to_string(MAX_DATA_BYTES) + " bytes";
}

uint16_t U16Array::get(uint32_t idx) const {
    if (idx >= u32Length) raise(ErrorKind::Index);
    return pu16[idx];
}

void U16Array::set(uint32_t idx, uint16_t value) {
    if (idx >= u32Length) raise(ErrorKind::Index);
    pu16[idx] = value;
}

void U16Array::clear() noexcept {
    if (u32Length != 0) std::memset(pu16, 0, u32Length * sizeof(uint16_t));
}

FSOECommand FSOEFrameControl::command() const {
    const uint16_t raw = _c_fsoe_frame_control->u16Command;
    if (!command_has_value(raw)) raise(ErrorKind::Value, std::to_string(raw) + " is not a valid FSOECommand");
    return static_cast<FSOECommand>(raw);
}

void FSOEFrameControl::increment_sequence_number() noexcept {
    uint16_t &s = _c_fsoe_frame_control->u16SequenceNum;
    s = s == 0xFFFF ? 1 : static_cast<uint16_t>(s + 1);
}

void FSOEFrame::check_safe_data_size(long long size) {
    if (size < 0) raise_negative("uint16_t");
    if (size > MAX_DATA_BYTES) raise(ErrorKind::Value, kSizeMessage);
    if (size > 1 && size % 2 != 0)
        raise(ErrorKind::Value, "Safe data size must be 0, 1 or an even number of bytes, got " + std::to_string(size));
}

uint16_t FSOEFrame::check_frame_length(long long length) {
    const uint16_t words = div_ceil(length, BYTES_PER_WORD);
    if (length > MAX_FRAME_BYTES)
        raise(ErrorKind::Value, "Frame length of " + std::to_string(length) + " bytes exceeds the maximum of " +
                                    std::to_string(MAX_FRAME_BYTES) + " bytes");
    const uint16_t size = FSOE_GetDataSizeBytes(words);
    if (size > 1 && size % 2 != 0)
        raise(ErrorKind::Value, "Frame length of " + std::to_string(length) + " bytes gives an odd safe data size of " +
                                    std::to_string(size) + " bytes");
    return words;
}

FSOEFrame::FSOEFrame(long long length) { FSOE_FrameInit(&_c_fsoe_frame, check_frame_length(length)); }

void FSOEFrame::frame_from_array(std::span<const uint8_t> data) {
    if (data.size() < MIN_FRAME_BYTES)
        raise(ErrorKind::Value, "Frame of " + std::to_string(data.size()) + " bytes is shorter than the minimum of " +
                                    std::to_string(MIN_FRAME_BYTES) + " bytes");
    // Checked before the word count: a buffer of 65536 words or more would
    // otherwise overflow the count's type and report that instead.
    if (data.size() > MAX_FRAME_BYTES)
        raise(ErrorKind::Value, "Frame length of " + std::to_string(data.size()) + " bytes exceeds the maximum of " +
                                    std::to_string(MAX_FRAME_BYTES) + " bytes");
    const uint16_t words = check_frame_length(static_cast<long long>(data.size()));
    // 5 bytes are 3 words, the size of a 6-byte frame: never decode a byte
    // that is not there (the buffer below would supply a zero).
    const uint16_t needed = FSOE_GetFrameSizeBytes(FSOE_GetDataSizeBytes(words));
    if (data.size() < needed)
        raise(ErrorKind::Value, "Frame of " + std::to_string(data.size()) + " bytes is shorter than the " +
                                    std::to_string(needed) + " bytes of its safe data size");
    FSOE_FrameFromBytes(&_c_fsoe_frame, data.data(), data.size());
}

size_t FSOEFrame::frame_to_array(std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> &out) const noexcept {
    return FSOE_FrameToBytes(out.data(), &_c_fsoe_frame);
}

void FSOEFrame::set_safe_data_size_bytes(long long size) {
    check_safe_data_size(size);
    _c_fsoe_frame.u16DataSizeBytes = static_cast<uint16_t>(size);
}

void FSOEFrame::set_safe_data_bytes(std::span<const uint8_t> data) {
    if (data.size() > MAX_DATA_BYTES) raise(ErrorKind::Value, kSizeMessage);
    safe_data.clear();
    for (size_t i = 0; i < data.size(); ++i) {
        uint16_t &w = _c_fsoe_frame.au16Data[i / 2];
        w = static_cast<uint16_t>(w | (i % 2 ? data[i] << 8 : data[i]));
    }
}

std::array<uint8_t, MAX_DATA_BYTES> FSOEFrame::get_safe_data_bytes() const noexcept {
    std::array<uint8_t, MAX_DATA_BYTES> out;
    for (size_t i = 0; i < MAX_DATA_WORDS; ++i) {
        out[2 * i] = static_cast<uint8_t>(_c_fsoe_frame.au16Data[i]);
        out[2 * i + 1] = static_cast<uint8_t>(_c_fsoe_frame.au16Data[i] >> 8);
    }
    return out;
}

trace::FrameFields FSOEFrame::trace_fields() const noexcept {
    const FSOE_SFrameControl &c = _c_fsoe_frame.sControl;
    return {c.u16Crc0, c.u16ConnectionId, c.u16SequenceNum, c.u16Command, _c_fsoe_frame.au16Crc};
}

void FSOEFrame::generate_crcs() noexcept {
    FSOE_FrameGenerateCrc(&_c_fsoe_frame);
    if (trace::enabled()) trace::log_generate_crc(trace_fields());
}

bool FSOEFrame::check_crcs() const noexcept {
    if (!trace::enabled()) return FSOE_FrameCheckCrc(&_c_fsoe_frame, nullptr);
    std::array<uint16_t, MAX_CRC_WORDS> calculated{};
    const bool result = FSOE_FrameCheckCrc(&_c_fsoe_frame, calculated.data());
    trace::log_check_crc(calculated, trace_fields(), result);
    return result;
}

void FSOEFrame::generate_crcs_cyclic(uint16_t last_sent_crc_0) noexcept {
    generate_crcs();
    // One step is enough: with all else fixed, each sequence number gives its
    // own CRC_0. A frame without safe data has no CRC to change, so a loop
    // here could never end; a single step is the same rule without that trap.
    if (last_sent_crc_0 == _c_fsoe_frame.au16Crc[0]) {
        control.increment_sequence_number();
        generate_crcs();
    }
}

bool FSOEFrame::check_crcs_cyclic(uint16_t last_sent_crc_0) noexcept {
    if (last_sent_crc_0 == calc_crc0()) control.increment_sequence_number();
    return check_crcs();
}

}  // namespace kestrel
