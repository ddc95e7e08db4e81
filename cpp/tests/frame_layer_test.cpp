// Safety CRC, frame record and codec.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "kestrel/c/context/fsoe_crc.h"
#include "kestrel/c/context/fsoe_frame.h"

namespace {

// The block CRC composed byte by byte, the straightforward way, to hold the
// table-driven codec against.
uint16_t reference_block_crc(const FSOE_SFrame &f, unsigned block) {
    const auto &c = f.sControl;
    std::vector<uint8_t> s = {uint8_t(c.u16Crc0),         uint8_t(c.u16Crc0 >> 8),        uint8_t(c.u16ConnectionId),
                              uint8_t(c.u16ConnectionId >> 8), uint8_t(c.u16SequenceNum), uint8_t(c.u16SequenceNum >> 8),
                              uint8_t(c.u16Command)};
    const uint16_t d = f.au16Data[block];
    if (block == 0 && f.u16DataSizeBytes == 1) {
        s.insert(s.end(), {uint8_t(d), 0, 0, 0});
    } else if (block == 0) {
        s.insert(s.end(), {uint8_t(d), uint8_t(d >> 8), 0, 0, 0});
    } else {
        s.insert(s.end(), {uint8_t(block), 0, uint8_t(d), uint8_t(d >> 8), 0, 0, 0});
    }
    return FSOE_CrcBytes(0, s.data(), uint32_t(s.size()));
}

FSOE_SFrame example_frame(uint16_t size, std::initializer_list<uint16_t> words) {
    FSOE_SFrame f;
    FSOE_FrameInit(&f, 0);
    f.sControl = {0x36, 5, 0x0203, 0x1234};
    f.u16DataSizeBytes = size;
    unsigned i = 0;
    for (uint16_t w : words) f.au16Data[i++] = w;
    return f;
}

std::vector<uint16_t> to_words(const std::vector<uint8_t> &bytes) {
    std::vector<uint16_t> w((bytes.size() + 1) / 2, 0);
    for (size_t i = 0; i < bytes.size(); ++i) w[i / 2] |= uint16_t(bytes[i] << (i % 2 ? 8 : 0));
    return w;
}

std::vector<uint8_t> encode(const FSOE_SFrame &f) {
    std::array<uint16_t, 18> buf;
    buf.fill(0xAAAA);
    uint16_t len = 0;
    FSOE_FrameToArray(buf.data(), &f, &len);
    std::vector<uint8_t> out(len);
    for (size_t i = 0; i < len; ++i) out[i] = uint8_t(i % 2 ? buf[i / 2] >> 8 : buf[i / 2]);
    return out;
}

const uint16_t kValidSizes[] = {0, 1, 2, 4, 6, 8, 10, 12, 14, 16};

TEST(SafetyCrc, TableAndCheckValue) {
    const std::array<uint16_t, 8> head = {0x0000, 0x39B7, 0x736E, 0x4AD9, 0xE6DC, 0xDF6B, 0x95B2, 0xAC05};
    for (unsigned i = 0; i < head.size(); ++i) EXPECT_EQ(FSOE_CrcTableEntry(uint8_t(i)), head[i]) << i;
    EXPECT_EQ(FSOE_CrcTableEntry(255), 0x07C1);
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(FSOE_CrcBytes(0, digits, 9), 0xDDE2);
    EXPECT_EQ(FSOE_Crc(nullptr, 0), 0);
    // Words feed low byte first: "12" "34" as words 0x3231, 0x3433.
    const uint16_t words[] = {0x3231, 0x3433};
    const uint8_t bytes[] = {'1', '2', '3', '4'};
    EXPECT_EQ(FSOE_Crc(words, 2), FSOE_CrcBytes(0, bytes, 4));
    const uint8_t zero_then_digits[] = {0, '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(FSOE_CrcBytes(0, zero_then_digits, 10), 0xDDE2);
}

TEST(SafetyCrc, WorkedExample) {
    FSOE_SFrame four = example_frame(4, {0x2211, 0x4433});
    FSOE_FrameGenerateCrc(&four);
    EXPECT_EQ(four.au16Crc[0], 0x393D);
    EXPECT_EQ(four.au16Crc[1], 0x6E22);
    FSOE_SFrame one = example_frame(1, {0x0011});
    FSOE_FrameGenerateCrc(&one);
    EXPECT_EQ(one.au16Crc[0], 0xA80B);
    FSOE_SFrame two = example_frame(2, {0x2211});
    FSOE_FrameGenerateCrc(&two);
    EXPECT_EQ(two.au16Crc[0], 0x393D);
    FSOE_SFrame two_zero = example_frame(2, {0x0011});
    FSOE_FrameGenerateCrc(&two_zero);
    EXPECT_EQ(two_zero.au16Crc[0], 0x7D10);
    EXPECT_EQ(FSOE_FrameCalcCrc0(&one), 0xA80B);
    EXPECT_EQ(FSOE_FrameCalcCrc0(&four), 0x393D);
}

TEST(SafetyCrc, TableDrivenBlocksMatchByteStreams) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20000; ++round) {
        FSOE_SFrame f;
        FSOE_FrameInit(&f, 0);
        f.sControl = {uint16_t(rng()), uint16_t(rng()), uint16_t(rng()), uint16_t(rng())};
        f.u16DataSizeBytes = kValidSizes[rng() % 10];
        for (auto &w : f.au16Data) w = uint16_t(rng());
        FSOE_FrameGenerateCrc(&f);
        const unsigned blocks = FSOE_GetDataSizeWords(f.u16DataSizeBytes);
        for (unsigned b = 0; b < blocks; ++b) ASSERT_EQ(f.au16Crc[b], reference_block_crc(f, b)) << round << ":" << b;
        ASSERT_EQ(FSOE_FrameCalcCrc0(&f), reference_block_crc(f, 0));
    }
}

TEST(SafetyCrc, EveryFieldEntersEveryBlock) {
    FSOE_SFrame base = example_frame(16, {1, 2, 3, 4, 5, 6, 7, 8});
    FSOE_FrameGenerateCrc(&base);
    // Block 0 covers only data bytes 0 and 1; byte 2 changes block 1 only.
    FSOE_SFrame changed = base;
    changed.au16Data[1] ^= 0x0001;
    FSOE_FrameGenerateCrc(&changed);
    EXPECT_EQ(changed.au16Crc[0], base.au16Crc[0]);
    EXPECT_NE(changed.au16Crc[1], base.au16Crc[1]);
    for (unsigned b = 2; b < 8; ++b) EXPECT_EQ(changed.au16Crc[b], base.au16Crc[b]);
    // Equal data in two blocks still gives different CRCs (the index enters).
    FSOE_SFrame same = example_frame(16, {9, 9, 9, 9, 9, 9, 9, 9});
    FSOE_FrameGenerateCrc(&same);
    for (unsigned i = 1; i < 8; ++i)
        for (unsigned j = i + 1; j < 8; ++j) EXPECT_NE(same.au16Crc[i], same.au16Crc[j]);
    // Each of the 65536 sequence numbers gives its own CRC for a block.
    std::vector<bool> seen0(65536), seen5(65536);
    FSOE_SFrame f = base;
    for (uint32_t s = 0; s < 65536; ++s) {
        f.sControl.u16SequenceNum = uint16_t(s);
        FSOE_FrameGenerateCrc(&f);
        ASSERT_FALSE(seen0[f.au16Crc[0]]);
        ASSERT_FALSE(seen5[f.au16Crc[5]]);
        seen0[f.au16Crc[0]] = seen5[f.au16Crc[5]] = true;
    }
}

TEST(FrameCodec, WireExamples) {
    FSOE_SFrame four = example_frame(4, {0x2211, 0x4433});
    FSOE_FrameGenerateCrc(&four);
    EXPECT_EQ(encode(four), (std::vector<uint8_t>{0x36, 0x11, 0x22, 0x3D, 0x39, 0x33, 0x44, 0x22, 0x6E, 0x03, 0x02}));
    FSOE_SFrame one = example_frame(1, {0x0011});
    FSOE_FrameGenerateCrc(&one);
    EXPECT_EQ(encode(one), (std::vector<uint8_t>{0x36, 0x11, 0x0B, 0xA8, 0x03, 0x02}));
    FSOE_SFrame none = example_frame(0, {});
    EXPECT_EQ(encode(none), (std::vector<uint8_t>{0x36, 0x03, 0x02}));

    FSOE_SFrame decoded;
    FSOE_FrameInit(&decoded, 0);
    decoded.sControl.u16SequenceNum = 5;
    decoded.sControl.u16Crc0 = 0x1234;
    const auto words = to_words({0x36, 0x11, 0x22, 0x3D, 0x39, 0x33, 0x44, 0x22, 0x6E, 0x03, 0x02});
    FSOE_FrameFromArray(&decoded, words.data(), uint16_t(words.size()));
    EXPECT_EQ(decoded.u16DataSizeBytes, 4);
    EXPECT_EQ(decoded.sControl.u16ConnectionId, 0x0203);
    EXPECT_EQ(decoded.au16Crc[1], 0x6E22);
    EXPECT_TRUE(FSOE_FrameCheckCrc(&decoded, nullptr));
}

TEST(FrameCodec, RoundTripKeepsEveryFieldAtEverySize) {
    std::mt19937 rng(11);
    for (uint16_t n : kValidSizes) {
        FSOE_SFrame f;
        FSOE_FrameInit(&f, 0);
        f.sControl = {uint16_t(rng() & 0xFF), 77, uint16_t(rng()), 88};
        f.u16DataSizeBytes = n;
        const unsigned blocks = FSOE_GetDataSizeWords(n);
        for (unsigned i = 0; i < blocks; ++i) f.au16Data[i] = uint16_t(rng());
        if (n == 1) f.au16Data[0] &= 0xFF;
        FSOE_FrameGenerateCrc(&f);
        const auto bytes = encode(f);
        ASSERT_EQ(bytes.size(), FSOE_GetFrameSizeBytes(n));
        const auto words = to_words(bytes);
        FSOE_SFrame g;
        FSOE_FrameInit(&g, 0);
        g.sControl.u16SequenceNum = 1234;
        g.sControl.u16Crc0 = 4321;
        FSOE_FrameFromArray(&g, words.data(), uint16_t(words.size()));
        EXPECT_EQ(g.u16DataSizeBytes, n);
        EXPECT_EQ(g.sControl.u16Command, f.sControl.u16Command);
        EXPECT_EQ(g.sControl.u16ConnectionId, f.sControl.u16ConnectionId);
        EXPECT_EQ(g.sControl.u16SequenceNum, 1234);  // receiver's bookkeeping stays
        EXPECT_EQ(g.sControl.u16Crc0, 4321);
        EXPECT_EQ(0, std::memcmp(g.au16Data, f.au16Data, sizeof f.au16Data));
        EXPECT_EQ(0, std::memcmp(g.au16Crc, f.au16Crc, sizeof f.au16Crc));
    }
}

TEST(FrameCodec, DecodedSizeByInputLength) {
    // bytes -> data size: 3, 4 none; 6 one; 7, 8 two; 9, 10 two (an odd size
    // has no wire form, the largest valid frame that fits is taken); 35 and
    // anything longer 16.
    const std::pair<size_t, uint16_t> cases[] = {{3, 0}, {4, 0},   {5, 1},   {6, 1},   {7, 2},
                                                 {8, 2}, {9, 2},   {10, 2},  {11, 4},  {35, 16},
                                                 {36, 16}, {200, 16}, {2000, 16}};
    for (auto [length, size] : cases) {
        std::vector<uint8_t> bytes(length, 0x5A);
        const auto words = to_words(bytes);
        FSOE_SFrame f;
        FSOE_FrameInit(&f, 0);
        FSOE_FrameFromArray(&f, words.data(), uint16_t(words.size()));
        EXPECT_EQ(f.u16DataSizeBytes, size) << length;
    }
}

TEST(FrameCodec, NeverReadsOrWritesOutsideItsBuffers) {
    // Exact-size heap buffers: AddressSanitizer builds catch any stray access.
    for (uint16_t words = 0; words < 40; ++words) {
        std::vector<uint16_t> in(words, 0x1234);
        FSOE_SFrame f;
        FSOE_FrameInit(&f, 0);
        FSOE_FrameFromArray(&f, in.data(), words);
        EXPECT_LE(f.u16DataSizeBytes, 16);
    }
    for (uint16_t size = 0; size < 40; ++size) {
        FSOE_SFrame f;
        FSOE_FrameInit(&f, 0);
        f.u16DataSizeBytes = size;
        FSOE_FrameGenerateCrc(&f);
        (void)FSOE_FrameCheckCrc(&f, nullptr);
        std::vector<uint16_t> out(FSOE_FRAME_BUFFER_BYTES / 2);
        uint16_t len = 0;
        FSOE_FrameToArray(out.data(), &f, &len);
        EXPECT_LE(len, FSOE_FRAME_BUFFER_BYTES);
    }
    // One-word input: command and the low byte of the connection id only.
    const uint16_t one[] = {0x052A};
    FSOE_SFrame f;
    FSOE_FrameInit(&f, 0);
    FSOE_FrameFromArray(&f, one, 1);
    EXPECT_EQ(f.sControl.u16Command, 0x2A);
    EXPECT_EQ(f.sControl.u16ConnectionId, 0x05);
}

TEST(FrameCodec, CheckReportsEveryBlockOnlyWhenAsked) {
    FSOE_SFrame f = example_frame(6, {1, 2, 3});
    FSOE_FrameGenerateCrc(&f);
    EXPECT_TRUE(FSOE_FrameCheckCrc(&f, nullptr));
    const FSOE_SFrame good = f;
    f.au16Crc[0] ^= 1;
    std::array<uint16_t, 8> calc{};
    EXPECT_FALSE(FSOE_FrameCheckCrc(&f, calc.data()));
    EXPECT_EQ(calc[0], good.au16Crc[0]);
    EXPECT_EQ(calc[1], good.au16Crc[1]);
    EXPECT_EQ(calc[2], good.au16Crc[2]);
    EXPECT_EQ(calc[3], 0);
    EXPECT_FALSE(FSOE_FrameCheckCrc(&f, nullptr));
    FSOE_SFrame seq = good;
    seq.sControl.u16SequenceNum++;
    EXPECT_FALSE(FSOE_FrameCheckCrc(&seq, nullptr));
    FSOE_SFrame empty = example_frame(0, {});
    EXPECT_TRUE(FSOE_FrameCheckCrc(&empty, nullptr));
}

}  // namespace
