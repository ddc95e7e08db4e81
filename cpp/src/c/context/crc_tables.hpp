// Compile-time tables for the safety CRC (polynomial 0x139B7, MSB first).
//
// Besides the byte table, the frame codec uses tables that exploit the
// linearity of a CRC with a zero start value: the register after feeding a
// message M from a register r equals Zn(r) ^ crc(M), where Zn(r) is r fed
// through n zero bytes. Every block of a frame shares the same 7-byte prefix
// (seed, connection id, sequence number, command), so the codec runs the
// prefix once per frame and then gets each block's CRC from a few lookups.
#pragma once

#include <array>
#include <cstdint>

namespace kestrel::crc_detail {

inline constexpr uint16_t kPolynomial = 0x39B7;

using Table = std::array<uint16_t, 256>;

constexpr Table make_byte_table() {
    Table t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reg = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000u) ? ((reg << 1) ^ kPolynomial) : (reg << 1);
            reg &= 0xFFFFu;
        }
        t[i] = static_cast<uint16_t>(reg);
    }
    return t;
}

inline constexpr Table kByteTable = make_byte_table();

constexpr uint16_t step(uint16_t reg, uint8_t byte) {
    return static_cast<uint16_t>(((reg << 8) & 0xFFFFu) ^ kByteTable[((reg >> 8) ^ byte) & 0xFFu]);
}

constexpr uint16_t feed_zeros(uint16_t reg, int count) {
    for (int k = 0; k < count; ++k) reg = step(reg, 0);
    return reg;
}

// Register value r (split into its high and low byte) fed through n zero bytes.
struct ZeroFeed {
    Table high{};
    Table low{};
    constexpr uint16_t operator()(uint16_t reg) const { return high[reg >> 8] ^ low[reg & 0xFFu]; }
};

constexpr ZeroFeed make_zero_feed(int count) {
    ZeroFeed z{};
    for (unsigned i = 0; i < 256; ++i) {
        z.high[i] = feed_zeros(static_cast<uint16_t>(i << 8), count);
        z.low[i] = feed_zeros(static_cast<uint16_t>(i), count);
    }
    return z;
}

// CRC from 0 of one byte followed by `zeros` zero bytes.
constexpr Table make_byte_then_zeros(int zeros) {
    Table t{};
    for (unsigned i = 0; i < 256; ++i) t[i] = feed_zeros(step(0, static_cast<uint8_t>(i)), zeros);
    return t;
}

inline constexpr ZeroFeed kZero4 = make_zero_feed(4);
inline constexpr ZeroFeed kZero5 = make_zero_feed(5);
inline constexpr ZeroFeed kZero7 = make_zero_feed(7);
// Data bytes of a block are followed by three zero bytes: byte a then b then 000.
inline constexpr Table kDataLow = make_byte_then_zeros(4);   // a, 0, 0, 0, 0
inline constexpr Table kDataHigh = make_byte_then_zeros(3);  // b, 0, 0, 0
// Block index i >= 1 as a 16-bit value followed by the data slot: i, 0 then 5 bytes.
inline constexpr Table kBlockIndex = make_byte_then_zeros(6);

}  // namespace kestrel::crc_detail
