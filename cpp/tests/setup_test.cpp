// Set-up data: dynamic map transfer and echo check, application parameter
// ownership, SRA CRC.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "alloc_counter.hpp"
#include "kestrel/c/sra_crc.h"
#include "kestrel/common/error.hpp"
#include "kestrel/frame/frame.hpp"
#include "kestrel/setup/application_parameter.hpp"
#include "kestrel/setup/dynamic_map.hpp"
#include "kestrel/setup/sra_crc.hpp"

namespace {

using kestrel::DataType;
using kestrel::ErrorKind;
using kestrel::FSOEDynamicMap;
using kestrel::FSOEFrame;
using Item = kestrel::DynamicMappableItem;

std::shared_ptr<Item> item(DataType t, kestrel::Value v) { return std::make_shared<Item>(v, t); }
std::shared_ptr<Item> u(DataType t, int64_t v) { return item(t, v); }

FSOEFrame &sized(FSOEFrame &f, uint16_t size) {
    f.set_safe_data_size_bytes(size);
    return f;
}

std::vector<uint8_t> safe_bytes(const FSOEFrame &f) {
    const auto all = f.get_safe_data_bytes();
    return {all.begin(), all.end()};
}

std::vector<uint8_t> bytes16(std::initializer_list<uint8_t> head) {
    std::vector<uint8_t> v(16, 0);
    std::copy(head.begin(), head.end(), v.begin());
    return v;
}

struct Counters {
    int32_t bytes_processed, items_processed, item, item_byte;
    bool operator==(const Counters &) const = default;
};
Counters counters(const FSOEDynamicMap &m) {
    return {m.bytes_processed(), m.items_processed(), m.current_processed_item(), m.current_processed_item_byte()};
}
void PrintTo(const Counters &c, std::ostream *os) {
    *os << "{" << c.bytes_processed << "," << c.items_processed << "," << c.item << "," << c.item_byte << "}";
}

// ---- SRA CRC ---------------------------------------------------------------

uint32_t bitwise_sra(uint32_t reg, uint8_t byte) {
    reg ^= uint32_t(byte) << 24;
    for (int i = 0; i < 8; ++i) reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x814141ABu : reg << 1;
    return reg;
}

TEST(SraCrc, TableFollowsTheGenerator) {
    for (unsigned i = 0; i < 256; ++i) EXPECT_EQ(SraCrcTableEntry(uint8_t(i)), bitwise_sra(0, uint8_t(i))) << i;
    EXPECT_EQ(SraCrcTableEntry(1), 0x814141ABu);
    EXPECT_EQ(SraCrcTableEntry(128), 0x40005999u);
    EXPECT_EQ(SraCrcTableEntry(255), 0x80006EEEu);
}

TEST(SraCrc, CheckValues) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(SraCrcBytes(0, digits, 9), 0x3010BF7Fu);
    EXPECT_EQ(SraCrcCalculation(0, 0x0001), 0x8000B332u);
    EXPECT_EQ(SraCrcCalculation(0, 0x0100), 0x814141ABu);
    EXPECT_EQ(kestrel::calculate_sra_crc({}), 0u);
}

TEST(SraCrc, WordsEqualTheirBytesLowFirst) {
    std::mt19937 rng(7);
    std::vector<uint16_t> words(37);
    for (auto &w : words) w = uint16_t(rng());
    std::vector<uint8_t> bytes;
    uint32_t bitwise = 0;
    for (uint16_t w : words) {
        bytes.push_back(uint8_t(w));
        bytes.push_back(uint8_t(w >> 8));
    }
    for (uint8_t b : bytes) bitwise = bitwise_sra(bitwise, b);
    const uint32_t crc = kestrel::calculate_sra_crc(words);
    EXPECT_EQ(crc, SraCrcBytes(0, bytes.data(), uint32_t(bytes.size())));
    EXPECT_EQ(crc, bitwise);
}

// ---- Dynamic map: sending ----------------------------------------------------

struct ThreeItems {
    // UINT32 A, UINT16 B, UINT8 C; A0 = 0x11 is A's least significant byte.
    FSOEDynamicMap map;
    ThreeItems(uint32_t a = 0x44332211u, uint16_t b = 0x6655, uint8_t c = 0x77) {
        map.add(u(DataType::UINT32, a));
        map.add(u(DataType::UINT16, b));
        map.add(u(DataType::UINT8, c));
    }
};

TEST(DynamicMap, CutsItemsAcrossFramesAtTwoBytesPerFrame) {
    ThreeItems sender;
    FSOEFrame frame;
    sized(frame, 4);  // wider frame: bytes past the valid ones must be zero
    EXPECT_EQ(sender.map.total_bytes(), 7);
    const struct {
        std::vector<uint8_t> bytes;
        Counters after;
    } steps[] = {
        {bytes16({0x11, 0x22}), {2, 0, 0, 2}}, {bytes16({0x33, 0x44}), {4, 1, 1, 0}},
        {bytes16({0x55, 0x66}), {6, 2, 2, 0}}, {bytes16({0x77, 0x00}), {7, 3, 3, 0}},
        {bytes16({}), {7, 3, 3, 0}},  // everything sent: zeros, nothing moves
    };
    for (const auto &step : steps) {
        frame.set_safe_data_bytes(std::vector<uint8_t>(4, 0xEE));
        sender.map.set_data_to_frame(frame, 2);
        EXPECT_EQ(safe_bytes(frame), step.bytes);
        EXPECT_EQ(counters(sender.map), step.after);
    }
    EXPECT_FALSE(sender.map.pending());
    EXPECT_EQ(sender.map.pending_items(), 0);
}

TEST(DynamicMap, OneFrameCarriesTheEndOfOneItemAndTheStartOfTheNext) {
    ThreeItems sender;
    FSOEFrame frame;
    sized(frame, 6);
    sender.map.set_data_to_frame(frame, 6);
    EXPECT_EQ(safe_bytes(frame), bytes16({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
    EXPECT_EQ(counters(sender.map), (Counters{6, 2, 2, 0}));
    sender.map.set_data_to_frame(frame, 6);
    EXPECT_EQ(safe_bytes(frame), bytes16({0x77}));
    EXPECT_EQ(counters(sender.map), (Counters{7, 3, 3, 0}));
}

TEST(DynamicMap, NothingMovesWithoutRoomInTheFrame) {
    for (uint16_t valid : {0, 3}) {  // none requested, or one more than the frame holds
        ThreeItems sender;
        FSOEFrame frame;
        sized(frame, 2);
        frame.set_safe_data_bytes(std::vector<uint8_t>{0xAA, 0xBB});
        sender.map.set_data_to_frame(frame, valid);
        EXPECT_EQ(safe_bytes(frame), bytes16({})) << valid;
        EXPECT_EQ(counters(sender.map), (Counters{0, 0, 0, 0})) << valid;

        ThreeItems receiver(1, 2, 3);
        frame.set_safe_data_bytes(std::vector<uint8_t>{0xAA, 0xBB});
        receiver.map.get_data_from_frame(frame, valid);
        EXPECT_EQ(counters(receiver.map), (Counters{0, 0, 0, 0})) << valid;
        EXPECT_EQ(receiver.map._items()[0]->raw_value(), 1u) << valid;
    }
}

TEST(DynamicMap, EmptyMap) {
    FSOEDynamicMap empty;
    FSOEFrame frame;
    sized(frame, 2);
    frame.set_safe_data_bytes(std::vector<uint8_t>{0xAA, 0xBB});
    EXPECT_FALSE(empty.pending());
    EXPECT_EQ(empty.total_items(), 0);
    EXPECT_EQ(empty.pending_items(), 0);
    empty.set_data_to_frame(frame, 2);
    EXPECT_EQ(safe_bytes(frame), bytes16({}));
    empty.get_data_from_frame(frame, 2);
    EXPECT_EQ(counters(empty), (Counters{0, 0, 0, 0}));
    EXPECT_TRUE(empty.is_safedata_correct(empty));
}

TEST(DynamicMap, ItemsAddedDuringATransferFollowTheOthers) {
    FSOEDynamicMap map;
    map.add(u(DataType::UINT16, 0x2211));
    FSOEFrame frame;
    sized(frame, 2);
    map.set_data_to_frame(frame, 2);
    EXPECT_FALSE(map.pending());
    map.add(u(DataType::UINT8, 0x33));
    EXPECT_TRUE(map.pending());
    map.set_data_to_frame(frame, 2);
    EXPECT_EQ(safe_bytes(frame), bytes16({0x33}));
    EXPECT_EQ(counters(map), (Counters{3, 2, 2, 0}));
}

// ---- Dynamic map: receiving and the echo check --------------------------------

TEST(DynamicMap, ReceivingMapRebuildsTheItemsAndConfirmsTheEchoEachFrame) {
    ThreeItems sender;
    ThreeItems echo(0xDEADBEEF, 0xBEEF, 0xEF);
    FSOEFrame frame;
    sized(frame, 2);
    for (int i = 0; i < 4; ++i) {
        sender.map.set_data_to_frame(frame, 2);
        echo.map.get_data_from_frame(frame, 2);
        EXPECT_EQ(counters(echo.map), counters(sender.map)) << i;
        EXPECT_TRUE(echo.map.is_safedata_correct(sender.map)) << i;
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(echo.map._items()[size_t(i)]->raw_value(), sender.map._items()[size_t(i)]->raw_value());
    // Everything received: further frames change nothing.
    frame.set_safe_data_bytes(std::vector<uint8_t>{0x99, 0x99});
    echo.map.get_data_from_frame(frame, 2);
    EXPECT_EQ(echo.map._items()[2]->raw_value(), 0x77u);
    EXPECT_EQ(counters(echo.map), (Counters{7, 3, 3, 0}));
}

TEST(DynamicMap, ItemReachedMidFrameIsZeroedItemReachedAtEndOfCallIsNot) {
    FSOEFrame frame;
    sized(frame, 2);
    // UINT8 then UINT16: the UINT16 starts in the middle of the first frame.
    FSOEDynamicMap mid;
    mid.add(u(DataType::UINT8, 0));
    mid.add(u(DataType::UINT16, 0xABCD));
    frame.set_safe_data_bytes(std::vector<uint8_t>{0x01, 0x02});
    mid.get_data_from_frame(frame, 2);
    EXPECT_EQ(mid._items()[0]->raw_value(), 0x01u);
    EXPECT_EQ(mid._items()[1]->raw_value(), 0x0002u);  // not 0xAB02

    // UINT16 then UINT16: the second is reached by the advance after the first
    // frame and keeps the bytes it does not receive.
    FSOEDynamicMap end;
    end.add(u(DataType::UINT16, 0));
    end.add(u(DataType::UINT16, 0xABCD));
    end.get_data_from_frame(frame, 2);
    EXPECT_EQ(end._items()[1]->raw_value(), 0xABCDu);
    frame.set_safe_data_bytes(std::vector<uint8_t>{0x05, 0x99});
    end.get_data_from_frame(frame, 1);
    EXPECT_EQ(end._items()[1]->raw_value(), 0xAB05u);
    EXPECT_EQ(counters(end), (Counters{3, 1, 1, 1}));
}

TEST(DynamicMap, CompletedItemsCompareByTypedValue) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    FSOEDynamicMap sender, echo;
    sender.add(item(DataType::FLOAT, nan));
    echo.add(item(DataType::FLOAT, 0.0));
    FSOEFrame frame;
    sized(frame, 2);
    sender.set_data_to_frame(frame, 2);
    echo.get_data_from_frame(frame, 2);
    EXPECT_TRUE(echo.is_safedata_correct(sender));  // half received: raw bytes agree
    sender.set_data_to_frame(frame, 2);
    echo.get_data_from_frame(frame, 2);
    EXPECT_EQ(echo._items()[0]->raw_value(), sender._items()[0]->raw_value());
    EXPECT_FALSE(echo.is_safedata_correct(sender));  // complete: NaN equals nothing

    // The other way round, equal typed values of unlike types are a match.
    FSOEDynamicMap flag, number;
    flag.add(item(DataType::BOOL, true));
    number.add(u(DataType::UINT8, 1));
    sized(frame, 1);
    flag.set_data_to_frame(frame, 1);
    EXPECT_TRUE(flag.is_safedata_correct(number));
    EXPECT_TRUE(kestrel::values_equal(-0.0, 0.0));
    EXPECT_FALSE(kestrel::values_equal(int64_t{2}, 2.5));
}

TEST(DynamicMap, ExpectedMapWithFewerItemsIsNeverConfirmed) {
    ThreeItems sender;
    FSOEDynamicMap shorter;
    shorter.add(u(DataType::UINT32, 0x44332211u));
    FSOEFrame frame;
    sized(frame, 4);
    sender.map.set_data_to_frame(frame, 4);  // A complete
    EXPECT_TRUE(sender.map.is_safedata_correct(shorter));
    sender.map.set_data_to_frame(frame, 1);  // B partly sent: not in `shorter`
    EXPECT_FALSE(sender.map.is_safedata_correct(shorter));
    sender.map.set_data_to_frame(frame, 4);  // all complete
    EXPECT_FALSE(sender.map.is_safedata_correct(shorter));
    EXPECT_FALSE(sender.map.is_safedata_correct(FSOEDynamicMap{}));
}

TEST(DynamicMap, ListEditedFromOutsideNeverReadsPastIt) {
    ThreeItems sender;
    FSOEFrame frame;
    sized(frame, 4);
    sender.map.set_data_to_frame(frame, 4);
    sender.map.set_data_to_frame(frame, 1);  // one byte into B
    sender.map._set_items(std::nullopt);
    EXPECT_FALSE(sender.map._has_items());
    EXPECT_EQ(sender.map.total_items(), 0);
    EXPECT_FALSE(sender.map.is_safedata_correct(ThreeItems{}.map));
    sender.map.set_data_to_frame(frame, 4);
    EXPECT_EQ(safe_bytes(frame), bytes16({}));
    sender.map.get_data_from_frame(frame, 4);
    EXPECT_EQ(counters(sender.map), (Counters{5, 1, 1, 1}));

    // A shorter item now stands where the cursor points past its size.
    sender.map._set_items(FSOEDynamicMap::ItemList{u(DataType::UINT8, 1), u(DataType::UINT8, 0x42)});
    sender.map.set_data_to_frame(frame, 4);
    EXPECT_EQ(safe_bytes(frame), bytes16({}));  // the step past the last item ends the stream
    EXPECT_EQ(counters(sender.map), (Counters{5, 2, 2, 0}));

    EXPECT_THROW(sender.map._set_items(FSOEDynamicMap::ItemList{nullptr}), kestrel::Error);
    EXPECT_EQ(sender.map.total_items(), 2);
    EXPECT_THROW(sender.map.add(nullptr), kestrel::Error);

    sender.map.clear();
    EXPECT_TRUE(sender.map._has_items());
    EXPECT_EQ(counters(sender.map), (Counters{0, 0, 0, 0}));
    EXPECT_EQ(sender.map.total_bytes(), 0);
}

TEST(DynamicMap, PerFrameOperationsDoNotAllocate) {
    ThreeItems sender, echo(0, 0, 0);
    FSOEFrame frame;
    sized(frame, 2);
    kestrel::test::count_allocations(true);
    for (int i = 0; i < 5; ++i) {
        sender.map.set_data_to_frame(frame, 2);
        echo.map.get_data_from_frame(frame, 2);
        (void)echo.map.is_safedata_correct(sender.map);
    }
    kestrel::test::count_allocations(false);
    EXPECT_EQ(kestrel::test::allocations(), 0);
    // The counter does see an allocation.
    kestrel::test::count_allocations(true);
    auto extra = u(DataType::UINT8, 1);
    kestrel::test::count_allocations(false);
    EXPECT_GT(kestrel::test::allocations(), 0);
}

// ---- Application parameters: the owner interface ------------------------------

struct FakeOwner : kestrel::ParameterOwner {
    bool is_running = false;
    bool running() const override { return is_running; }
};

TEST(ApplicationParameter, OwnerRunningStateGuardsSet) {
    auto owner = std::make_shared<FakeOwner>();
    kestrel::ApplicationParameter p("speed", int64_t{5}, 2);
    EXPECT_EQ(p.data_type(), DataType::UINT16);
    p._set_use_by_master(owner);
    p.set(int64_t{6});
    owner->is_running = true;
    try {
        p.set(int64_t{7});
        FAIL() << "set while running";
    } catch (const kestrel::Error &e) {
        EXPECT_EQ(e.kind(), ErrorKind::MasterRunning);
    }
    EXPECT_EQ(p.raw_value(), 6u);
    // The base class path reaches the same guard.
    EXPECT_THROW(static_cast<Item &>(p).set(int64_t{8}), kestrel::Error);
    owner->is_running = false;
    static_cast<Item &>(p).set(int64_t{8});
    EXPECT_EQ(p.raw_value(), 8u);
}

TEST(ApplicationParameter, BoundOnceForGood) {
    auto first = std::make_shared<FakeOwner>();
    kestrel::ApplicationParameter p(std::nullopt, int64_t{1}, std::nullopt, DataType::INT16);
    p._set_use_by_master(nullptr);  // binds nothing
    p._set_use_by_master(first);
    for (auto next : {first, std::make_shared<FakeOwner>()}) {
        try {
            p._set_use_by_master(next);
            FAIL() << "second binding";
        } catch (const kestrel::Error &e) {
            EXPECT_EQ(e.kind(), ErrorKind::Permission);
        }
    }
    EXPECT_EQ(p.used_by_master(), first);
}

}  // namespace
