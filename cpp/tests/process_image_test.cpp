// The master handler on an EtherCAT process image: frame lengths from the
// maps, a whole connection through an in-memory image at fixed offsets, and
// areas too small for a frame.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/common/error.hpp"
#include "kestrel/handler/master_handler.hpp"
#include "kestrel/sim/slave_simulator.hpp"
#include "rig.hpp"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

using testing_rig::quiet_watchdog;

// A handler whose maps hold `out_bits` of outputs and `in_bits` of inputs (padding
// after one UINT8 item each, when there is room for it).
struct Connection {
    std::shared_ptr<DictionaryItemOutput> out = std::make_shared<DictionaryItemOutput>(1, "out", DataType::UINT8);
    std::shared_ptr<DictionaryItemInput> in =
        std::make_shared<DictionaryItemInput>(2, "in", DataType::UINT8, int64_t{0x5A});
    std::shared_ptr<Dictionary> dictionary = std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{out, in});
    MasterHandler handler{dictionary, 5, 7, 1.0, {}, {}, {}, true, quiet_watchdog()};

    Connection(uint16_t out_bits, uint16_t in_bits) {
        fill(*handler.master->dictionary_map, out, out_bits);
        fill(*handler.slave->dictionary_map, in, in_bits);
    }
    static void fill(DictionaryMap &map, const DictionaryItemPtr &item, uint16_t bits) {
        if (bits >= 8) {
            map.add(item);
            bits -= 8;
        }
        if (bits > 0) map.add_padding(bits);
    }
};

struct Lengths {
    uint16_t bits;
    size_t length;  // 0: a map start() refuses
};

class FrameLengths : public testing::TestWithParam<Lengths> {};

TEST_P(FrameLengths, FollowTheMapsEachSideOnItsOwn) {
    const auto [bits, length] = GetParam();
    Connection request_side(bits, 16);
    EXPECT_EQ(request_side.handler.request_length(), length);
    EXPECT_EQ(request_side.handler.reply_length(), 7u);
    Connection reply_side(16, bits);
    EXPECT_EQ(reply_side.handler.reply_length(), length);
    EXPECT_EQ(reply_side.handler.request_length(), 7u);
}

INSTANTIATE_TEST_SUITE_P(Maps, FrameLengths,
                         testing::Values(Lengths{0, 0}, Lengths{1, 6}, Lengths{8, 6}, Lengths{9, 7}, Lengths{16, 7},
                                         Lengths{24, 0}, Lengths{32, 11}, Lengths{128, 35}, Lengths{136, 0}));

TEST(FrameLengths, StayWhileRunningAndFollowTheMapsAfterStop) {
    Connection s(16, 8);
    s.handler.start();
    EXPECT_EQ(s.handler.request_length(), 7u);
    EXPECT_EQ(s.handler.reply_length(), 6u);
    s.handler.stop();
    s.handler.slave->dictionary_map->add_padding(24);
    EXPECT_EQ(s.handler.reply_length(), 11u);
    s.handler.delete_watchdog();
}

// The master's and the slave's frames at fixed offsets of one image, with
// bytes of other devices around them that the handler must never touch.
TEST(ProcessImage, WholeConnectionAtFixedOffsets) {
    constexpr size_t kRequestAt = 3, kReplyAt = 17, kImage = 29;
    Connection s(16, 16);
    sim::SlaveConfig config;
    config.slave_address = 5;
    config.manual_clock = true;
    config.seed = 1;
    sim::SlaveSimulator slave(config);
    Bytes outputs(kImage, 0xEE), inputs(kImage, 0xDD);

    EXPECT_EQ(s.handler.write_request_into(outputs, kRequestAt), 0u);  // nothing to send before start
    s.handler.start();
    s.handler.set_fail_safe(false);
    const Bytes slave_inputs{0x42, 0x00};
    slave.set_inputs(slave_inputs);
    s.out->set(int64_t{0x99});
    const auto cycle = [&] {
        ASSERT_EQ(s.handler.write_request_into(outputs, kRequestAt), s.handler.request_length());
        const auto reply = slave.step(std::span<const uint8_t>(outputs).subspan(kRequestAt, 7));
        std::copy(reply.begin(), reply.end(), inputs.begin() + kReplyAt);
        s.handler.set_reply_from(inputs, kReplyAt);
    };
    for (int i = 0; i < 50 && s.handler.state() != StateId::Data; ++i) cycle();
    ASSERT_EQ(s.handler.state(), StateId::Data);
    slave.set_process_data(true);  // cleared by the slave's resets on the way
    for (int i = 0; i < 3; ++i) cycle();
    EXPECT_EQ(s.handler.state(), StateId::Data);
    EXPECT_EQ(std::get<int64_t>(s.in->get()), 0x42);
    EXPECT_EQ(slave.outputs()[0], 0x99);
    s.handler.write_request_into(outputs, kRequestAt);
    const Bytes request = s.handler.get_request();
    EXPECT_TRUE(std::equal(request.begin(), request.end(), outputs.begin() + kRequestAt));
    for (size_t i = 0; i < kImage; ++i) {
        if (i < kRequestAt || i >= kRequestAt + 7) {
            EXPECT_EQ(outputs[i], 0xEE) << i;
        }
        if (i < kReplyAt || i >= kReplyAt + 7) {
            EXPECT_EQ(inputs[i], 0xDD) << i;
        }
    }
    s.handler.stop();
    s.handler.delete_watchdog();
}

struct Area {
    size_t size;
    size_t offset;
};

class AreaTooSmall : public testing::TestWithParam<Area> {};

TEST_P(AreaTooSmall, RefusedWithNothingChanged) {
    const auto [size, offset] = GetParam();
    Connection s(16, 16);
    s.handler.start();
    const Bytes request = s.handler.get_request();
    Bytes area(size, 0xEE);
    try {
        s.handler.write_request_into(area, offset);
        FAIL() << "request written";
    } catch (const Error &e) {
        EXPECT_EQ(e.kind(), ErrorKind::Value);
        EXPECT_EQ(std::string(e.what()), "The process image area is too small: the request needs 7 bytes from offset " +
                                             std::to_string(offset) + ", the area holds " + std::to_string(size) +
                                             " bytes");
    }
    EXPECT_EQ(area, Bytes(size, 0xEE));
    EXPECT_THROW(s.handler.set_reply_from(area, offset), Error);
    EXPECT_EQ(s.handler.state(), StateId::Reset);
    EXPECT_EQ(s.handler.get_request(), request);
    s.handler.stop();
    s.handler.delete_watchdog();
}

INSTANTIATE_TEST_SUITE_P(Areas, AreaTooSmall,
                         testing::Values(Area{0, 0}, Area{6, 0}, Area{10, 4}, Area{10, 11},
                                         Area{10, std::numeric_limits<size_t>::max() - 2}));

}  // namespace
}  // namespace kestrel
