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

inline uint16_t data_crc(uint16_t word) { return cd::kDataLow[word & 0xFFu] ^ cd::kDataHigh[word >> 8]; }

// Block 0: prefix, data bytes 0 and 1, three zeros; a 1-byte frame omits byte 1.
inline uint16_t block0_crc(uint16_t prefix, uint16_t word0, bool one_byte) {
    if (one_byte) return cd::kZero4(prefix) ^ cd::kDataHigh[word0 & 0xFFu];
    return cd::kZero5(prefix) ^ data_crc(word0);
}

// Block i >= 1: prefix, i as 16 bits, data bytes 2i and 2i+1, three zeros.
inline uint16_t block_crc(uint16_t prefix_z7, unsigned index, uint16_t word) {
    return prefix_z7 ^ cd::kBlockIndex[index] ^ data_crc(word);
}

// The first FSOE_FRAME_BUFFER_BYTES wire bytes of a frame, zero past its end.
// Decoding never reads further (sizes are clamped to 16 data bytes), so
// these serve a frame of any length.
struct WireBytes {
    uint8_t bytes[FSOE_FRAME_BUFFER_BYTES];
    uint8_t at(unsigned k) const { return bytes[k]; }
    uint16_t word(unsigned k) const { return static_cast<uint16_t>(bytes[k] | (bytes[k + 1] << 8)); }
};

void decode(FSOE_SFrame *psFrame, const WireBytes &in, uint16_t size_words) {
    std::memset(psFrame->au16Data, 0, sizeof(psFrame->au16Data));
    std::memset(psFrame->au16Crc, 0, sizeof(psFrame->au16Crc));
    FSOE_SFrameControl &c = psFrame->sControl;
    if (size_words == 0) {
        c.u16Command = 0;
        c.u16ConnectionId = 0;
        psFrame->u16DataSizeBytes = 0;
        return;
    }
    c.u16Command = in.at(0);
    if (size_words <= 2) {
        // One word holds only the command and the low byte of the connection id.
        c.u16ConnectionId = size_words == 2 ? in.word(1) : in.at(1);
        psFrame->u16DataSizeBytes = 0;
        return;
    }
    uint16_t n = FSOE_GetDataSizeBytes(size_words);
    if (n > FSOE_MAX_DATA_BYTES) n = FSOE_MAX_DATA_BYTES;
    if (n > 1 && (n & 1u)) --n;
    psFrame->u16DataSizeBytes = n;
    if (n == 1) {
        psFrame->au16Data[0] = in.at(1);
        psFrame->au16Crc[0] = in.word(2);
        c.u16ConnectionId = in.word(4);
        return;
    }
    const unsigned blocks = n / 2u;
    for (unsigned i = 0; i < blocks; ++i) {
        psFrame->au16Data[i] = in.word(1 + 4 * i);
        psFrame->au16Crc[i] = in.word(3 + 4 * i);
    }
    c.u16ConnectionId = in.word(4 * blocks + 1);
}

inline void put_word(uint8_t *out, unsigned k, uint16_t v) {
    out[k] = static_cast<uint8_t>(v);
    out[k + 1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

extern "C" void FSOE_FrameInit(FSOE_SFrame *psFrame, uint16_t u16FrameSizeWords) {
    std::memset(psFrame, 0, sizeof(*psFrame));
    psFrame->u16DataSizeBytes = FSOE_GetDataSizeBytes(u16FrameSizeWords);
}

extern "C" void FSOE_FrameFromArray(FSOE_SFrame *psFrame, const uint16_t *pu16Data, uint16_t u16SizeWords) {
    WireBytes in{};
    const unsigned words = u16SizeWords < FSOE_FRAME_BUFFER_BYTES / 2 ? u16SizeWords : FSOE_FRAME_BUFFER_BYTES / 2;
    for (unsigned k = 0; k < words; ++k) put_word(in.bytes, 2 * k, pu16Data[k]);
    decode(psFrame, in, u16SizeWords);
}

extern "C" void FSOE_FrameFromBytes(FSOE_SFrame *psFrame, const uint8_t *pu8Data, size_t sizeBytes) {
    WireBytes in{};
    if (sizeBytes != 0) std::memcpy(in.bytes, pu8Data, sizeBytes < sizeof(in.bytes) ? sizeBytes : sizeof(in.bytes));
    const size_t words = (sizeBytes + 1) / 2;
    decode(psFrame, in, static_cast<uint16_t>(words > 0xFFFF ? 0xFFFF : words));
}

extern "C" uint16_t FSOE_FrameToBytes(uint8_t *pu8Data, const FSOE_SFrame *psFrame) {
    const uint16_t n = clamped_size(psFrame);
    const unsigned blocks = FSOE_GetDataSizeWords(n);
    const uint16_t length = static_cast<uint16_t>(2u * blocks + n + 3u);
    pu8Data[0] = static_cast<uint8_t>(psFrame->sControl.u16Command);
    const uint16_t conn = psFrame->sControl.u16ConnectionId;
    if (n == 0) {
        put_word(pu8Data, 1, conn);
    } else if (n == 1) {
        pu8Data[1] = static_cast<uint8_t>(psFrame->au16Data[0]);
        put_word(pu8Data, 2, psFrame->au16Crc[0]);
        put_word(pu8Data, 4, conn);
    } else {
        for (unsigned i = 0; i < blocks; ++i) {
            put_word(pu8Data, 1 + 4 * i, psFrame->au16Data[i]);
            put_word(pu8Data, 3 + 4 * i, psFrame->au16Crc[i]);
        }
        // An odd size above 1 has no wire form; its last connection-id byte
        // would lie past the reported length, so it is not written there.
        const unsigned at = 4 * blocks + 1;
        if (at + 1 < length) {
            put_word(pu8Data, at, conn);
        } else if (at < length) {
            pu8Data[at] = static_cast<uint8_t>(conn);
        }
    }
    if (length & 1u) pu8Data[length] = 0;  // the rest of the last word
    return length;
}

extern "C" void FSOE_FrameToArray(uint16_t *pu16Data, const FSOE_SFrame *psFrame, uint16_t *pu16SizeBytes) {
    uint8_t bytes[FSOE_FRAME_BUFFER_BYTES];
    const uint16_t length = FSOE_FrameToBytes(bytes, psFrame);
    *pu16SizeBytes = length;
    for (unsigned k = 0; k < (length + 1u) / 2u; ++k)
        pu16Data[k] = static_cast<uint16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
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
