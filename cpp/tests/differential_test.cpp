// The fast paths against the straightforward ones they replaced: the wire
// codec against the word-by-word codec, and whole connections exchanging
// through the maps' caches against connections using the plain bit loop, over
// random sequences of events (valid, corrupted, replayed, wrong-length and
// silent replies, resets, expiries, start, stop, fail-safe switches, output
// and input changes) on random layouts of every frame size.
//
// KESTREL_DIFF_EVENTS sets the number of events (default 40,000).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "differential_rig.hpp"
#include "kestrel/c/context/fsoe_frame.h"

namespace kestrel {
namespace {

// --- The word-by-word codec, as the frame layer had it ----------------------

inline uint16_t clamped_size(const FSOE_SFrame *f) {
    return f->u16DataSizeBytes > FSOE_MAX_DATA_BYTES ? FSOE_MAX_DATA_BYTES : f->u16DataSizeBytes;
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

void reference_from_array(FSOE_SFrame *psFrame, const uint16_t *pu16Data, uint16_t u16SizeWords) {
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

void reference_to_array(uint16_t *pu16Data, const FSOE_SFrame *psFrame, uint16_t *pu16SizeBytes) {
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

bool same_frame(const FSOE_SFrame &a, const FSOE_SFrame &b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

TEST(DifferentialCodec, EncodingMatchesTheWordCodecForEveryRecord) {
    std::mt19937 random(1);
    for (int run = 0; run < 200000; ++run) {
        FSOE_SFrame frame{};
        auto *raw = reinterpret_cast<uint8_t *>(&frame);
        for (size_t i = 0; i < sizeof(frame); ++i) raw[i] = static_cast<uint8_t>(random());
        frame.u16DataSizeBytes = static_cast<uint16_t>(random() % 20);  // odd and oversized ones too
        uint16_t words[FSOE_FRAME_BUFFER_BYTES / 2];
        uint16_t length = 0;
        reference_to_array(words, &frame, &length);
        uint8_t bytes[FSOE_FRAME_BUFFER_BYTES];
        ASSERT_EQ(FSOE_FrameToBytes(bytes, &frame), length);
        for (unsigned k = 0; k < length; ++k)
            ASSERT_EQ(bytes[k], static_cast<uint8_t>(k & 1 ? words[k / 2] >> 8 : words[k / 2])) << run << " " << k;
        uint16_t again[FSOE_FRAME_BUFFER_BYTES / 2];
        uint16_t length_again = 0;
        FSOE_FrameToArray(again, &frame, &length_again);
        ASSERT_EQ(length_again, length);
        ASSERT_EQ(std::memcmp(again, words, (length + 1u) / 2u * 2u), 0);
    }
}

TEST(DifferentialCodec, DecodingMatchesTheWordCodecForEveryLength) {
    std::mt19937 random(2);
    for (int run = 0; run < 200000; ++run) {
        const size_t size = random() % 41;
        uint8_t bytes[64] = {};
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(random());
        uint16_t words[32] = {};
        for (size_t i = 0; i < size; ++i) words[i / 2] |= static_cast<uint16_t>(bytes[i] << (i % 2 ? 8 : 0));
        FSOE_SFrame expected, from_bytes, from_words;
        std::memset(&expected, 0xEE, sizeof(expected));
        std::memcpy(&from_bytes, &expected, sizeof(expected));
        std::memcpy(&from_words, &expected, sizeof(expected));
        const auto n_words = static_cast<uint16_t>((size + 1) / 2);
        reference_from_array(&expected, words, n_words);
        FSOE_FrameFromBytes(&from_bytes, bytes, size);
        FSOE_FrameFromArray(&from_words, words, n_words);
        ASSERT_TRUE(same_frame(expected, from_bytes)) << "size " << size;
        ASSERT_TRUE(same_frame(expected, from_words)) << "size " << size;
    }
}

// --- Whole connections ------------------------------------------------------

uint64_t event_budget() {
    const char *text = std::getenv("KESTREL_DIFF_EVENTS");
    return text ? std::strtoull(text, nullptr, 10) : 40000;
}

TEST(DifferentialConnection, CachedExchangeMatchesThePlainLoop) {
    const uint64_t budget = event_budget();
    constexpr uint64_t kEventsPerRig = 2000;
    std::mt19937_64 random(3);
    uint64_t events = 0, in_data = 0;
    for (uint64_t seed = 1; events < budget; ++seed) {
        test::DifferentialRig rig(seed);
        std::string mismatch = rig.step(12, 0);  // start
        ASSERT_EQ(mismatch, "") << rig.layout();
        for (uint64_t i = 0; i < kEventsPerRig && events < budget; ++i, ++events) {
            // Mostly plain cycles and data changes, so that connections reach
            // Data and stay there; every other event now and then.
            const unsigned r = static_cast<unsigned>(random() % 100);
            const unsigned kind = !rig.running() && r < 50 ? 12
                                  : r < 70                 ? 0
                                  : r < 78                 ? 16
                                  : r < 85                 ? 17
                                  : r < 87                 ? 15
                                           : static_cast<unsigned>(random() % test::DifferentialRig::kEventKinds);
            mismatch = rig.step(kind, static_cast<uint32_t>(random()));
            ASSERT_EQ(mismatch, "") << "seed " << seed << ", event " << i << " (kind " << kind << "), " << rig.layout();
            in_data += rig.state() == StateId::Data;
        }
    }
    // The comparison means something only where the data flows.
    EXPECT_GT(in_data, events / 4) << "events " << events;
    RecordProperty("events", std::to_string(events));
    std::printf("differential: %llu events, %llu in Data\n", static_cast<unsigned long long>(events),
                static_cast<unsigned long long>(in_data));
}

}  // namespace
}  // namespace kestrel
