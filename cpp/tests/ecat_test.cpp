// The virtual EtherCAT segment against frames built from the datagram format:
// working counters, addressing, the SII interface, the AL state machine, FMMU
// mapping of the FSoE frames, and frames a device must not act on.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/ecat/segment.hpp"
#include "kestrel/ecat/sii.hpp"

namespace {

using namespace kestrel;
using namespace kestrel::ecat;

struct Datagram {
    Command command;
    uint16_t adp = 0;
    uint16_t ado = 0;
    std::vector<uint8_t> data;
    uint16_t wkc = 0;
    uint16_t irq = 0;
};

std::vector<uint8_t> frame_of(const std::vector<Datagram> &datagrams) {
    std::vector<uint8_t> f{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x88, 0xA4, 0, 0};
    static uint8_t index = 0;
    for (size_t i = 0; i < datagrams.size(); ++i) {
        const Datagram &d = datagrams[i];
        const uint16_t len = static_cast<uint16_t>(d.data.size()) | (i + 1 < datagrams.size() ? 0x8000 : 0);
        f.insert(f.end(), {static_cast<uint8_t>(d.command), index++, static_cast<uint8_t>(d.adp),
                           static_cast<uint8_t>(d.adp >> 8), static_cast<uint8_t>(d.ado),
                           static_cast<uint8_t>(d.ado >> 8), static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
                           static_cast<uint8_t>(d.irq), static_cast<uint8_t>(d.irq >> 8)});
        f.insert(f.end(), d.data.begin(), d.data.end());
        f.insert(f.end(), {static_cast<uint8_t>(d.wkc), static_cast<uint8_t>(d.wkc >> 8)});
    }
    const uint16_t header = static_cast<uint16_t>((f.size() - 16) | 0x1000);
    f[14] = static_cast<uint8_t>(header);
    f[15] = static_cast<uint8_t>(header >> 8);
    while (f.size() < 60) f.push_back(0);  // Ethernet padding after the datagrams
    return f;
}

std::vector<Datagram> datagrams_of(const std::vector<uint8_t> &f) {
    std::vector<Datagram> out;
    size_t pos = 16;
    for (;;) {
        Datagram d{static_cast<Command>(f[pos]), 0, 0, {}, 0, 0};
        d.adp = static_cast<uint16_t>(f[pos + 2] | (f[pos + 3] << 8));
        d.ado = static_cast<uint16_t>(f[pos + 4] | (f[pos + 5] << 8));
        const size_t len = (f[pos + 6] | (f[pos + 7] << 8)) & 0x7FF;
        d.data.assign(f.begin() + pos + 10, f.begin() + pos + 10 + len);
        d.wkc = static_cast<uint16_t>(f[pos + 10 + len] | (f[pos + 11 + len] << 8));
        const bool more = f[pos + 7] & 0x80;
        out.push_back(d);
        pos += 12 + len;
        if (!more) break;
    }
    return out;
}

std::vector<uint8_t> le(uint32_t v, size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    return b;
}

uint32_t value(const std::vector<uint8_t> &b) {
    uint32_t v = 0;
    for (size_t i = b.size(); i-- > 0;) v = (v << 8) | b[i];
    return v;
}

sim::SlaveConfig config(uint16_t address, uint16_t out, uint16_t in) {
    sim::SlaveConfig c;
    c.slave_address = address;
    c.output_size = out;
    c.input_size = in;
    c.manual_clock = true;
    c.seed = 1;
    return c;
}

// A chain of devices of the given safe-data sizes (outputs, inputs), on a manual clock.
struct Chain {
    explicit Chain(std::vector<std::pair<uint16_t, uint16_t>> sizes) : segment([this] { return now_ns; }) {
        for (auto [out, in] : sizes) {
            sims.push_back(
                std::make_unique<sim::SlaveSimulator>(config(static_cast<uint16_t>(sims.size() + 1), out, in)));
            segment.add_device(*sims.back());
        }
    }
    // One datagram through the segment; the datagram as it came back.
    Datagram one(Datagram d) {
        auto f = frame_of({std::move(d)});
        EXPECT_EQ(segment.process(f), FrameResult::Forwarded);
        return datagrams_of(f)[0];
    }
    uint16_t fpwr(uint16_t station, uint16_t ado, std::vector<uint8_t> data) {
        return one({Command::FPWR, station, ado, std::move(data)}).wkc;
    }
    std::vector<uint8_t> fprd(uint16_t station, uint16_t ado, size_t n) {
        return one({Command::FPRD, station, ado, std::vector<uint8_t>(n)}).data;
    }
    // Station addresses 0x1001... by position, as a master's scan gives them.
    void address_all() {
        for (size_t i = 0; i < sims.size(); ++i)
            ASSERT_EQ(one({Command::APWR, static_cast<uint16_t>(-static_cast<int>(i)), reg::STATION_ADDRESS,
                           le(0x1001 + i, 2)})
                          .wkc,
                      1);
    }
    static uint16_t station(size_t i) { return static_cast<uint16_t>(0x1001 + i); }
    // Sync managers and FMMUs as a master maps them: outputs then inputs of
    // each device, one after the other in the logical image.
    uint32_t map_all() {
        uint32_t logical = 0;
        std::vector<uint32_t> outputs_at, inputs_at;
        for (size_t i = 0; i < sims.size(); ++i) {
            const Device &d = segment.device(i);
            std::vector<uint8_t> sms = le(kOutputsAddress, 2);
            for (auto b : le(d.output_length(), 2)) sms.push_back(b);
            sms.insert(sms.end(), {kOutputsControl, 0, 1, 0});
            for (auto b : le(kInputsAddress, 2)) sms.push_back(b);
            for (auto b : le(d.input_length(), 2)) sms.push_back(b);
            sms.insert(sms.end(), {kInputsControl, 0, 1, 0});
            EXPECT_EQ(fpwr(station(i), reg::SM0, sms), 1);
            outputs_at.push_back(logical);
            logical += d.output_length();
        }
        for (size_t i = 0; i < sims.size(); ++i) {
            inputs_at.push_back(logical);
            logical += segment.device(i).input_length();
        }
        for (size_t i = 0; i < sims.size(); ++i) {
            const Device &d = segment.device(i);
            std::vector<uint8_t> fmmus;
            const auto fmmu = [&](uint32_t at, uint16_t len, uint16_t physical, uint8_t type) {
                for (auto b : le(at, 4)) fmmus.push_back(b);
                for (auto b : le(len, 2)) fmmus.push_back(b);
                fmmus.insert(fmmus.end(), {0, 7});
                for (auto b : le(physical, 2)) fmmus.push_back(b);
                fmmus.insert(fmmus.end(), {0, type, 1, 0, 0, 0});
            };
            fmmu(outputs_at[i], d.output_length(), kOutputsAddress, 2);
            fmmu(inputs_at[i], d.input_length(), kInputsAddress, 1);
            EXPECT_EQ(fpwr(station(i), reg::FMMU0, fmmus), 1);
        }
        return logical;
    }
    void request(size_t i, uint8_t state) { EXPECT_EQ(fpwr(station(i), reg::AL_CONTROL, {state, 0}), 1); }
    void to_op() {
        address_all();
        image_bytes = map_all();
        for (size_t i = 0; i < sims.size(); ++i) {
            request(i, 0x02);
            request(i, 0x04);
            request(i, 0x08);
            ASSERT_EQ(segment.device(i).al_state(), AlState::Op) << segment.device(i).al_status_code();
        }
    }

    uint64_t now_ns = 0;
    std::vector<std::unique_ptr<sim::SlaveSimulator>> sims;
    Segment segment;
    uint32_t image_bytes = 0;
};

TEST(EcatDatagram, BroadcastReadCountsEveryDeviceAndPositionsCountUp) {
    Chain chain({{2, 2}, {4, 4}, {1, 1}});
    const Datagram d = chain.one({Command::BRD, 0, reg::TYPE, std::vector<uint8_t>(2)});
    EXPECT_EQ(d.wkc, 3);
    EXPECT_EQ(d.adp, 3);
    EXPECT_EQ(d.data[0], chain.segment.device(0).memory()[reg::TYPE]);
    // Each device ORs its value in: the port descriptors are equal, a mask of ones stays.
    EXPECT_EQ(chain.one({Command::BRD, 0, reg::PORT_DESCRIPTOR, {0xF0}}).data[0], 0xFF);
    EXPECT_EQ(chain.one({Command::BWR, 0, reg::AL_CONTROL, {0x11, 0}}).wkc, 3);
}

TEST(EcatDatagram, PositionAndStationAddressing) {
    Chain chain({{2, 2}, {2, 2}});
    chain.address_all();
    EXPECT_EQ(chain.segment.device(1).station_address(), 0x1002);
    // Position -2 is past the end: nobody answers, the address still counts up.
    const Datagram none = chain.one({Command::APRD, 0xFFFE, reg::STATION_ADDRESS, std::vector<uint8_t>(2)});
    EXPECT_EQ(none.wkc, 0);
    EXPECT_EQ(none.adp, 0);
    EXPECT_EQ(value(chain.fprd(0x1002, reg::STATION_ADDRESS, 2)), 0x1002u);
    EXPECT_EQ(chain.one({Command::FPRD, 0x1003, reg::TYPE, {0}}).wkc, 0);
    // Configured-address datagrams leave the address as it is.
    EXPECT_EQ(chain.one({Command::FPRD, 0x1001, reg::TYPE, {0}}).adp, 0x1001);
}

struct CounterCase {
    Command command;
    uint16_t wkc;
    uint32_t returned;  // the data as the datagram brings it back
};

class EcatCounter : public testing::TestWithParam<CounterCase> {};

TEST_P(EcatCounter, ReadWriteAndReadWriteCommands) {
    Chain chain({{2, 2}, {2, 2}});
    chain.address_all();
    const CounterCase c = GetParam();
    const bool position = c.command <= Command::APRW;
    const uint16_t adp = position                     ? 0xFFFF
                         : c.command <= Command::FPRW ? 0x1002
                         : c.command == Command::FRMW ? 0x1001
                                                      : 0;
    // The watchdog time register: 1000 after power-on, writable.
    const Datagram d = chain.one({c.command, adp, reg::WATCHDOG_TIME_PD, le(0x0777, 2)});
    EXPECT_EQ(d.wkc, c.wkc);
    EXPECT_EQ(value(d.data), c.returned);
}

INSTANTIATE_TEST_SUITE_P(Commands, EcatCounter,
                         testing::Values(CounterCase{Command::APRD, 1, 1000}, CounterCase{Command::APWR, 1, 0x0777},
                                         CounterCase{Command::APRW, 3, 1000}, CounterCase{Command::FPRD, 1, 1000},
                                         CounterCase{Command::FPWR, 1, 0x0777}, CounterCase{Command::FPRW, 3, 1000},
                                         CounterCase{Command::BRD, 2, 0x0777 | 1000},
                                         CounterCase{Command::BWR, 2, 0x0777},
                                         CounterCase{Command::BRW, 6, 0x0777 | 1000},
                                         CounterCase{Command::ARMW, 2, 1000}, CounterCase{Command::FRMW, 2, 1000}));

TEST(EcatDatagram, ReadOnlyRegistersCountButKeepTheirValue) {
    Chain chain({{2, 2}});
    chain.address_all();
    EXPECT_EQ(chain.fpwr(0x1001, reg::TYPE, {0x00}), 1);
    EXPECT_EQ(chain.fprd(0x1001, reg::TYPE, 1)[0], chain.segment.device(0).memory()[reg::TYPE]);
    EXPECT_NE(chain.segment.device(0).memory()[reg::TYPE], 0);
    EXPECT_EQ(chain.fpwr(0x1001, reg::AL_STATUS, {0x08, 0}), 1);
    EXPECT_EQ(chain.segment.device(0).al_state(), AlState::Init);
}

TEST(EcatDatagram, StationAliasAddressesOnlyWhenEnabled) {
    sim::SlaveSimulator app(config(1, 2, 2));
    Segment segment;
    Identity id;
    id.alias = 0x0042;
    segment.add_device(app, id);
    auto f = frame_of({{Command::FPRD, 0x0042, reg::TYPE, {0}}});
    segment.process(f);
    EXPECT_EQ(datagrams_of(f)[0].wkc, 0);
    f = frame_of({{Command::BWR, 0, reg::DL_CONTROL + 3, {1}}, {Command::FPRD, 0x0042, reg::STATION_ALIAS, {0, 0}}});
    segment.process(f);
    EXPECT_EQ(datagrams_of(f)[1].wkc, 1);
    EXPECT_EQ(value(datagrams_of(f)[1].data), 0x0042u);
}

// --- the SII EEPROM interface ---

std::vector<uint8_t> sii_read(Chain &chain, uint32_t word) {
    std::vector<uint8_t> command{0x00, 0x01};  // read
    for (auto b : le(word, 4)) command.push_back(b);
    EXPECT_EQ(chain.fpwr(0x1001, reg::EEPROM_CONTROL, command), 1);
    const auto status = value(chain.fprd(0x1001, reg::EEPROM_CONTROL, 2));
    EXPECT_EQ(status & 0x8000, 0u) << "busy";
    EXPECT_EQ(status & 0x7800, 0u) << "error";
    EXPECT_NE(status & 0x0040, 0u) << "8-byte reads";
    return chain.fprd(0x1001, reg::EEPROM_DATA, 8);
}

TEST(EcatSii, IdentityAndCategoriesReadThroughTheInterface) {
    Chain chain({{4, 2}});
    chain.address_all();
    const auto id = sii_read(chain, 0x0008);
    const Identity expected;
    EXPECT_EQ(value({id.begin(), id.begin() + 4}), expected.vendor_id);
    EXPECT_EQ(value({id.begin() + 4, id.end()}), 0x46530402u);  // derived from the sizes
    EXPECT_EQ(chain.segment.device(0).identity().product_code, 0x46530402u);
    // Walk the categories word by word, as a master does, collecting the image.
    std::vector<uint8_t> image;
    for (uint32_t w = 0; w < kSiiBytes / 2; w += 4) {
        const auto chunk = sii_read(chain, w);
        image.insert(image.end(), chunk.begin(), chunk.end());
    }
    ASSERT_EQ(image, std::vector<uint8_t>(chain.segment.device(0).sii().begin(), chain.segment.device(0).sii().end()));
    EXPECT_EQ(sii_checksum(std::span<const uint8_t>(image).first(14)), image[14]);
    std::vector<uint16_t> categories;
    size_t at = 128;
    uint16_t txpdo_bits = 0, rxpdo_bits = 0;
    std::string name;
    while (value({image.begin() + at, image.begin() + at + 2}) != 0xFFFF) {
        const uint16_t type = static_cast<uint16_t>(value({image.begin() + at, image.begin() + at + 2}));
        const size_t words = value({image.begin() + at + 2, image.begin() + at + 4});
        const auto data = image.begin() + at + 4;
        categories.push_back(type);
        if (type == 10) name.assign(data + 2, data + 2 + data[1]);
        if (type == 50 || type == 51) {
            uint16_t &bits = type == 50 ? txpdo_bits : rxpdo_bits;
            for (int e = 0; e < data[2]; ++e) bits = static_cast<uint16_t>(bits + data[8 + 8 * e + 5]);
            EXPECT_EQ(data[3], type == 50 ? 1 : 0) << "sync manager of the PDO";
        }
        at += 4 + 2 * words;
    }
    EXPECT_EQ(categories, (std::vector<uint16_t>{10, 30, 40, 41, 50, 51}));
    EXPECT_EQ(name, "FSoE slave 4/2 bytes");
    EXPECT_EQ(rxpdo_bits, 8 * 11);  // the request of 4 safe-data bytes
    EXPECT_EQ(txpdo_bits, 8 * 7);
    // The alias word came into its register at power-on.
    EXPECT_EQ(value(chain.fprd(0x1001, reg::PDI_CONTROL, 2)), kSiiPdiControl);
}

TEST(EcatSii, CommandErrorsAreFlaggedAndCleared) {
    Chain chain({{2, 2}});
    chain.address_all();
    // A write without write enable, then an invalid command.
    const uint8_t product_low = chain.segment.device(0).sii()[20];
    ASSERT_NE(product_low, 0);
    EXPECT_EQ(chain.fpwr(0x1001, reg::EEPROM_CONTROL, {0x00, 0x02, 0x0A, 0, 0, 0}), 1);
    EXPECT_NE(value(chain.fprd(0x1001, reg::EEPROM_CONTROL, 2)) & 0x4000, 0u);
    EXPECT_EQ(chain.segment.device(0).sii()[20], product_low);
    EXPECT_EQ(chain.fpwr(0x1001, reg::EEPROM_CONTROL, {0x00, 0x03}), 1);
    EXPECT_NE(value(chain.fprd(0x1001, reg::EEPROM_CONTROL, 2)) & 0x2000, 0u);
    EXPECT_EQ(chain.fpwr(0x1001, reg::EEPROM_CONTROL, {0x00, 0x00}), 1);
    EXPECT_EQ(value(chain.fprd(0x1001, reg::EEPROM_CONTROL, 2)) & 0x7800, 0u);
    // With write enable the word is written.
    EXPECT_EQ(chain.fpwr(0x1001, reg::EEPROM_DATA, {0x34, 0x12}), 1);
    EXPECT_EQ(chain.fpwr(0x1001, reg::EEPROM_CONTROL, {0x01, 0x02, 0x0E, 0, 0, 0}), 1);
    EXPECT_EQ(chain.segment.device(0).sii()[28], 0x34);
    const auto serial = sii_read(chain, 0x0E);
    EXPECT_EQ(value({serial.begin(), serial.begin() + 2}), 0x1234u);
}

// --- the AL state machine ---

struct Transition {
    const char *name;
    std::vector<uint8_t> requests;  // AL control values in turn
    AlState state;
    uint16_t code;
    bool sm_ok = true;           // sync managers as the image describes them
    uint16_t output_length = 0;  // 0: right; else SM0 with this length
    uint16_t input_length = 0;
};

class EcatAlState : public testing::TestWithParam<Transition> {};

TEST_P(EcatAlState, Transitions) {
    const Transition t = GetParam();
    Chain chain({{2, 2}});
    chain.address_all();
    if (t.sm_ok) {
        chain.map_all();
        if (t.output_length) chain.fpwr(0x1001, reg::SM0 + 2, le(t.output_length, 2));
        if (t.input_length) chain.fpwr(0x1001, reg::SM0 + 8 + 2, le(t.input_length, 2));
    }
    for (uint8_t r : t.requests) chain.request(0, r);
    const Device &d = chain.segment.device(0);
    EXPECT_EQ(d.al_state(), t.state);
    EXPECT_EQ(d.al_status_code(), t.code);
    EXPECT_EQ(d.al_error(), t.code != 0);
    const auto status = chain.fprd(0x1001, reg::AL_STATUS, 6);
    EXPECT_EQ(status[0] & 0x0F, static_cast<uint8_t>(t.state));
    EXPECT_EQ(value({status.begin() + 4, status.end()}), t.code);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, EcatAlState,
    testing::Values(Transition{"up", {0x02, 0x04, 0x08}, AlState::Op, 0},
                    Transition{"init_to_op", {0x08}, AlState::Init, al_code::INVALID_STATE_CHANGE},
                    Transition{"preop_to_op", {0x02, 0x08}, AlState::PreOp, al_code::INVALID_STATE_CHANGE},
                    Transition{"unknown", {0x02, 0x06}, AlState::PreOp, al_code::UNKNOWN_STATE},
                    Transition{"bootstrap", {0x03}, AlState::Init, al_code::BOOTSTRAP_NOT_SUPPORTED},
                    Transition{"no_sm", {0x02, 0x04}, AlState::PreOp, al_code::INVALID_SM_CONFIG, false},
                    Transition{"output_length", {0x02, 0x04}, AlState::PreOp, al_code::INVALID_OUTPUT_CONFIG, true, 9},
                    Transition{"input_length", {0x02, 0x04}, AlState::PreOp, al_code::INVALID_INPUT_CONFIG, true, 0, 5},
                    // The error holds until acknowledged; the acknowledgement clears it.
                    Transition{"held", {0x08, 0x02}, AlState::Init, al_code::INVALID_STATE_CHANGE},
                    Transition{"acknowledged", {0x08, 0x12, 0x04, 0x08}, AlState::Op, 0},
                    Transition{"down_keeps_error", {0x02, 0x08, 0x01}, AlState::Init, al_code::INVALID_STATE_CHANGE},
                    Transition{"down", {0x02, 0x04, 0x08, 0x02}, AlState::PreOp, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// --- process data ---

TEST(EcatProcessData, FmmusCarryEachDevicesFramesAndStepTheApplications) {
    Chain chain({{2, 2}, {16, 4}, {1, 1}});
    chain.to_op();
    ASSERT_EQ(chain.image_bytes, 7u + 35 + 6 + 7 + 11 + 6);
    // Every device reads and writes: 3 each.
    std::vector<uint8_t> image(chain.image_bytes, 0);
    // All-zero outputs are no FSoE frame yet: the applications are not stepped.
    Datagram d = chain.one({Command::LRW, 0, 0, image});
    EXPECT_EQ(d.wkc, 9);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(chain.segment.device(i).application_cycles(), 0u);
    for (size_t i = 0; i < 7 + 35 + 6; ++i) image[i] = static_cast<uint8_t>(0xA0 + i);  // the requests
    d = chain.one({Command::LRW, 0, 0, image});
    EXPECT_EQ(d.wkc, 9);
    const auto mem0 = chain.segment.device(0).memory();
    EXPECT_EQ(std::vector<uint8_t>(mem0.begin() + kOutputsAddress, mem0.begin() + kOutputsAddress + 7),
              std::vector<uint8_t>(image.begin(), image.begin() + 7));
    // Every application was stepped once; a wrong request gets a Reset frame,
    // which stands in the inputs for the next cycle.
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(chain.segment.device(i).application_cycles(), 1u);
    d = chain.one({Command::LRD, 0, 0, std::vector<uint8_t>(chain.image_bytes)});
    EXPECT_EQ(d.wkc, 3);
    size_t at = 7 + 35 + 6;
    for (size_t i = 0; i < 3; ++i) {
        const auto reply = chain.sims[i]->reply();
        ASSERT_EQ(reply.size(), chain.segment.device(i).input_length());
        EXPECT_EQ(std::vector<uint8_t>(d.data.begin() + at, d.data.begin() + at + reply.size()),
                  std::vector<uint8_t>(reply.begin(), reply.end()));
        at += reply.size();
    }
    EXPECT_EQ(d.data[7 + 35 + 6], static_cast<uint8_t>(FSOECommand::RESET));
    EXPECT_EQ(chain.one({Command::LWR, 0, 0, image}).wkc, 3);
}

TEST(EcatProcessData, ClosedBeforeSafeOpAndReadOnlyInWrongDirection) {
    Chain chain({{2, 2}});
    chain.address_all();
    const uint32_t bytes = chain.map_all();
    chain.request(0, 0x02);
    EXPECT_EQ(chain.one({Command::LRW, 0, 0, std::vector<uint8_t>(bytes)}).wkc, 0);
    chain.request(0, 0x04);
    EXPECT_EQ(chain.one({Command::LRW, 0, 0, std::vector<uint8_t>(bytes)}).wkc, 3);
    // SAFE-OP: outputs taken, the application not stepped.
    EXPECT_EQ(chain.segment.device(0).application_cycles(), 0u);
    // A physical write into the input area is refused, a read of the output area too.
    EXPECT_EQ(chain.fpwr(0x1001, kInputsAddress, std::vector<uint8_t>(7)), 0);
    EXPECT_EQ(chain.one({Command::FPRD, 0x1001, kOutputsAddress, std::vector<uint8_t>(7)}).wkc, 0);
}

TEST(EcatProcessData, WatchdogTakesTheDeviceToSafeOpWithItsCode) {
    Chain chain({{2, 2}});
    chain.to_op();
    const std::vector<uint8_t> image(chain.image_bytes);
    chain.now_ns += 99'000'000;
    chain.one({Command::LRW, 0, 0, image});
    chain.now_ns += 99'000'000;
    chain.segment.tick();
    EXPECT_EQ(chain.segment.device(0).al_state(), AlState::Op);
    chain.now_ns += 2'000'000;
    chain.segment.tick();
    EXPECT_EQ(chain.segment.device(0).al_state(), AlState::SafeOp);
    EXPECT_EQ(chain.segment.device(0).al_status_code(), al_code::SM_WATCHDOG);
    EXPECT_EQ(chain.fprd(0x1001, reg::WATCHDOG_STATUS_PD, 1)[0] & 1, 0);
    chain.request(0, 0x18);
    EXPECT_EQ(chain.segment.device(0).al_state(), AlState::Op);
    EXPECT_EQ(chain.fprd(0x1001, reg::WATCHDOG_STATUS_PD, 1)[0] & 1, 1);
}

// --- frames and datagrams a device does not act on ---

TEST(EcatMalformed, TruncatedFramesAreDroppedUntouched) {
    Chain chain({{2, 2}, {2, 2}});
    const auto whole =
        frame_of({{Command::BWR, 0, reg::STATION_ADDRESS, {0x34, 0x12}}, {Command::BRD, 0, reg::TYPE, {0, 0}}});
    for (size_t cut = 0; cut < 16 + 12 + 2 + 12 + 2; ++cut) {
        std::vector<uint8_t> f(whole.begin(), whole.begin() + cut);
        const auto before = f;
        const FrameResult r = chain.segment.process(f);
        EXPECT_NE(r, FrameResult::Forwarded) << cut;
        EXPECT_EQ(f, before) << cut;
        EXPECT_EQ(chain.segment.device(0).station_address(), 0) << cut;
    }
    // The header claiming more than the frame holds, or a datagram longer than the header says.
    auto f = whole;
    f[14] = 0xFF;
    f[15] = 0x17;
    EXPECT_EQ(chain.segment.process(f), FrameResult::Malformed);
    f = whole;
    f[16 + 6] = 0x40;
    EXPECT_EQ(chain.segment.process(f), FrameResult::Malformed);
    EXPECT_EQ(chain.segment.device(0).station_address(), 0);
    f = whole;
    EXPECT_EQ(chain.segment.process(f), FrameResult::Forwarded);
    EXPECT_EQ(chain.segment.device(1).station_address(), 0x1234);
}

TEST(EcatMalformed, BeyondMemoryAndUnknownCommandsLeaveTheCounter) {
    Chain chain({{2, 2}});
    chain.address_all();
    const Datagram beyond = chain.one({Command::FPWR, 0x1001, 0x1FFE, {1, 2, 3, 4}});
    EXPECT_EQ(beyond.wkc, 0);
    EXPECT_EQ(chain.one({Command::APRD, 0, 0xFFFF, {0, 0}}).wkc, 0);
    for (uint8_t c : {0, 15, 0x20, 0xFF}) {
        const Datagram d = chain.one({static_cast<Command>(c), 0x1001, reg::TYPE, {0x5A, 0x5A}, 7});
        EXPECT_EQ(d.wkc, 7);
        EXPECT_EQ(d.data, (std::vector<uint8_t>{0x5A, 0x5A}));
        EXPECT_EQ(d.adp, 0x1001);
    }
}

TEST(EcatFrame, SourceAddressMarkedOtherTypesPassed) {
    Chain chain({{2, 2}});
    auto f = frame_of({{Command::BRD, 0, reg::TYPE, {0}}});
    EXPECT_EQ(chain.segment.process(f), FrameResult::Forwarded);
    EXPECT_EQ(f[6], 0x03);
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 7, f.begin() + 12), std::vector<uint8_t>(5, 0x01));
    auto other = frame_of({{Command::BRD, 0, reg::TYPE, {0}}});
    other[13] = 0x00;
    EXPECT_EQ(chain.segment.process(other), FrameResult::NotEtherCAT);
    // Another EtherCAT frame type is passed on untouched.
    auto mailbox = frame_of({{Command::BRD, 0, reg::TYPE, {0}}});
    mailbox[15] = static_cast<uint8_t>((mailbox[15] & 0x0F) | 0x50);
    EXPECT_EQ(chain.segment.process(mailbox), FrameResult::Forwarded);
    EXPECT_EQ(datagrams_of(mailbox)[0].wkc, 0);
}

}  // namespace
