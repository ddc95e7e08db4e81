#include "kestrel/c/context/fsoe_frame.h"

#include <cstring>

#include "crc_tables.hpp"

namespace cd = kestrel::crc_detail;

namespace {

inline uint16_t clamped_size(const FSOE_SFrame *f) {
    return f->u16DataSizeBytes > FSOE_MAX_DATA_BYTES ? FSOE_MAX_DATA_BYTES : f->u16DataSizeBytes;
}

// Register after the part every block shares: seed, connection id, sequence
// number (each low byte first) and the command's low byte.
inline uint16_t prefix_register(const FSOE_SFrameControl &c) {
    uint16_t r = 0;
    r = cd::step(r, static_cast<uint8_t>(c.u16Crc0));
    r = cd::step(r, static_cast<uint8_t>(c.u16Crc0 >> 8));
    r = cd::step(r, static_cast<uint8_t>(c.u16ConnectionId));
    r = cd::step(r, static_cast<uint8_t>(c.u16ConnectionId >> 8));
    r = cd::step(r, static_cast<uint8_t>(c.u16SequenceNum));
    r = cd::step(r, static_cast<uint8_t>(c.u16SequenceNum >> 8));
    return cd::step(r, static_cast<uint8_t>(c.u16Command));
}

inline uint16_t data_crc(uint16_t word) {
    return cd::kDataLow[word & 0xFFu] ^ cd::kDataHigh[word >> 8];
}

// Block 0: prefix, data bytes 0 and 1, three zeros; a 1-byte frame omits byte 1.
inline uint16_t block0_crc(uint16_t prefix, uint16_t word0, bool one_byte) {
    if (one_byte) return cd::kZero4(prefix) ^ cd::kDataHigh[word0 & 0xFFu];
    return cd::kZero5(prefix) ^ data_crc(word0);
}

// Block i >= 1: prefix, i as 16 bits, data bytes 2i and 2i+1, three zeros.
inline uint16_t block_crc(uint16_t prefix_z7, unsigned index, uint16_t word) {
    return prefix_z7 ^ cd::kBlockIndex[index] ^ data_crc(word);
}

inline uint8_t byte_at(const uint16_t *words, unsigned k) {
    return static_cast<uint8_t>(k & 1u ? words[k >> 1] >> 8 : words[k >> 1]);
}

inline uint16_t word_at(const uint16_t *words, unsigned k) {
    return static_cast<uint16_t>(byte_at(words, k) | (byte_at(words, k + 1) << 8));
}

inline void put_byte(uint16_t *words, unsigned k, uint8_t v) {
    uint16_t &w = words[k >> 1];
    w = k & 1u ? static_cast<uint16_t>((w & 0x00FFu) | (v << 8)) : static_cast<uint16_t>((w & 0xFF00u) | v);
}

inline void put_word(uint16_t *words, unsigned k, uint16_t v) {
    put_byte(words, k, static_cast<uint8_t>(v));
    put_byte(words, k + 1, static_cast<uint8_t>(v >> 8));
}

}  // namespace

extern "C" void FSOE_FrameInit(FSOE_SFrame *psFrame, uint16_t u16FrameSizeWords) {
    std::memset(psFrame, 0, sizeof(*psFrame));
    psFrame->u16DataSizeBytes = FSOE_GetDataSizeBytes(u16FrameSizeWords);
}

extern "C" void FSOE_FrameFromArray(FSOE_SFrame *psFrame, const uint16_t *pu16Data, uint16_t u16SizeWords) {
    std::memset(psFrame->au16Data, 0, sizeof(psFrame->au16Data));
    std::memset(psFrame->au16Crc, 0, sizeof(psFrame->au16Crc));
    FSOE_SFrameControl &c = psFrame->sControl;
    if (u16SizeWords == 0) {
        c.u16Command = 0;
        c.u16ConnectionId = 0;
        psFrame->u16DataSizeBytes = 0;
        return;
    }
    c.u16Command = byte_at(pu16Data, 0);
    if (u16SizeWords <= 2) {
        // One word holds only the command and the low byte of the connection id.
        c.u16ConnectionId = u16SizeWords == 2 ? word_at(pu16Data, 1) : byte_at(pu16Data, 1);
        psFrame->u16DataSizeBytes = 0;
        return;
    }
    uint16_t n = FSOE_GetDataSizeBytes(u16SizeWords);
    if (n > FSOE_MAX_DATA_BYTES) n = FSOE_MAX_DATA_BYTES;
    if (n > 1 && (n & 1u)) --n;
    psFrame->u16DataSizeBytes = n;
    if (n == 1) {
        psFrame->au16Data[0] = byte_at(pu16Data, 1);
        psFrame->au16Crc[0] = word_at(pu16Data, 2);
        c.u16ConnectionId = word_at(pu16Data, 4);
        return;
    }
    const unsigned blocks = n / 2u;
    for (unsigned i = 0; i < blocks; ++i) {
        psFrame->au16Data[i] = word_at(pu16Data, 1 + 4 * i);
        psFrame->au16Crc[i] = word_at(pu16Data, 3 + 4 * i);
    }
    c.u16ConnectionId = word_at(pu16Data, 4 * blocks + 1);
}

extern "C" void FSOE_FrameToArray(uint16_t *pu16Data, const FSOE_SFrame *psFrame, uint16_t *pu16SizeBytes) {
    const uint16_t n = clamped_size(psFrame);
    const unsigned blocks = FSOE_GetDataSizeWords(n);
    const uint16_t length = static_cast<uint16_t>(2u * blocks + n + 3u);
    *pu16SizeBytes = length;
    std::memset(pu16Data, 0, ((length + 1u) / 2u) * 2u);
    put_byte(pu16Data, 0, static_cast<uint8_t>(psFrame->sControl.u16Command));
    const uint16_t conn = psFrame->sControl.u16ConnectionId;
    if (n == 0) {
        put_word(pu16Data, 1, conn);
    } else if (n == 1) {
        put_byte(pu16Data, 1, static_cast<uint8_t>(psFrame->au16Data[0]));
        put_word(pu16Data, 2, psFrame->au16Crc[0]);
        put_word(pu16Data, 4, conn);
    } else {
        // An odd size above 1 has no wire form; its last connection-id byte
        // would lie past the reported length, so it is not written there.
        for (unsigned i = 0; i < blocks; ++i) {
            put_word(pu16Data, 1 + 4 * i, psFrame->au16Data[i]);
            put_word(pu16Data, 3 + 4 * i, psFrame->au16Crc[i]);
        }
        const unsigned at = 4 * blocks + 1;
        if (at + 1 < length) {
            put_word(pu16Data, at, conn);
        } else if (at < length) {
            put_byte(pu16Data, at, static_cast<uint8_t>(conn));
        }
    }
}

extern "C" void FSOE_FrameGenerateCrc(FSOE_SFrame *psFrame) {
    const uint16_t n = clamped_size(psFrame);
    if (n == 0) return;
    const uint16_t prefix = prefix_register(psFrame->sControl);
    psFrame->au16Crc[0] = block0_crc(prefix, psFrame->au16Data[0], n == 1);
    const unsigned blocks = FSOE_GetDataSizeWords(n);
    if (blocks < 2) return;
    const uint16_t z7 = cd::kZero7(prefix);
    for (unsigned i = 1; i < blocks; ++i) psFrame->au16Crc[i] = block_crc(z7, i, psFrame->au16Data[i]);
}

extern "C" bool FSOE_FrameCheckCrc(const FSOE_SFrame *psFrame, uint16_t *au16CalculatedCrc) {
    const uint16_t n = clamped_size(psFrame);
    if (n == 0) return true;
    const uint16_t prefix = prefix_register(psFrame->sControl);
    const uint16_t z7 = cd::kZero7(prefix);
    const unsigned blocks = FSOE_GetDataSizeWords(n);
    bool ok = true;
    for (unsigned i = 0; i < blocks; ++i) {
        const uint16_t crc =
            i == 0 ? block0_crc(prefix, psFrame->au16Data[0], n == 1) : block_crc(z7, i, psFrame->au16Data[i]);
        if (au16CalculatedCrc != nullptr) {
            au16CalculatedCrc[i] = crc;
            if (crc != psFrame->au16Crc[i]) ok = false;
        } else if (crc != psFrame->au16Crc[i]) {
            return false;
        }
    }
    return ok;
}

extern "C" uint16_t FSOE_FrameCalcCrc0(const FSOE_SFrame *psFrame) {
    return block0_crc(prefix_register(psFrame->sControl), psFrame->au16Data[0], psFrame->u16DataSizeBytes == 1);
}
