// The master handler driven against the software slave: whole connections at
// every frame size, process data both ways, long runs across the sequence
// number wrap, recovery from every fault the slave can inject, watchdog
// expiry in every state, and the handler's guards (construction, start,
// unreadable replies, failing host callbacks).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.hpp"
#include "kestrel/common/error.hpp"
#include "kestrel/common/trace.hpp"
#include "kestrel/handler/master_handler.hpp"
#include "kestrel/sim/slave_simulator.hpp"
#include "rig.hpp"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::code_of;
using sim::SlaveConfig;
using sim::SlaveSimulator;
using sim::SlaveState;
using testing_rig::quiet_watchdog;

constexpr uint16_t kSlaveAddress = 0x0102;
constexpr uint16_t kConnectionId = 0x0BCD;
constexpr uint8_t kInputFailSafe = 0xA5;

struct Report {
    std::string name;
    std::string message;
};

struct Sizes {
    uint16_t master_bytes;  // safe data of the requests (outputs)
    uint16_t slave_bytes;   // safe data of the replies (inputs)
    bool with_parameters;
};

std::string sizes_name(const testing::TestParamInfo<Sizes> &info) {
    return "out" + std::to_string(info.param.master_bytes) + "_in" + std::to_string(info.param.slave_bytes) +
           (info.param.with_parameters ? "_params" : "");
}

// One master and one slave on a simulated bus. Outputs and inputs are UINT8
// items, one per safe-data byte, so that the slave's raw bytes read directly
// as the items' values.
class Bus {
public:
    explicit Bus(Sizes sizes, MasterHandler::WatchdogFactory factory = quiet_watchdog(), double watchdog_s = 1.0,
                 std::optional<uint16_t> slave_input_size = std::nullopt) {
        const testing_rig::Uint8Items items(sizes.master_bytes, sizes.slave_bytes, kInputFailSafe);
        outputs = items.outputs;
        inputs = items.inputs;
        dictionary = items.dictionary;

        SlaveConfig config = testing_rig::manual_slave(kSlaveAddress, sizes.master_bytes,
                                                       slave_input_size.value_or(sizes.slave_bytes), 7);
        if (sizes.with_parameters) {
            parameters = {
                std::make_shared<ApplicationParameter>("p16", Value{int64_t{0x1234}}, std::nullopt, DataType::UINT16),
                std::make_shared<ApplicationParameter>("p8", Value{int64_t{0x56}}, 1),
                std::make_shared<ApplicationParameter>("p32", Value{int64_t{0x0A0B0C0D}}, std::nullopt,
                                                       DataType::UINT32),
            };
            config.application_parameters = {0x34, 0x12, 0x56, 0x0D, 0x0C, 0x0B, 0x0A};
        }
        slave = std::make_unique<SlaveSimulator>(config);
        master = std::make_unique<MasterHandler>(
            dictionary, kSlaveAddress, kConnectionId, watchdog_s, parameters,
            [this](std::string_view name, std::string_view message) {
                std::lock_guard lock(mutex);
                reports.push_back({std::string(name), std::string(message)});
            },
            [this](StateId id) {
                std::lock_guard lock(mutex);
                states.push_back(id);
            },
            true, std::move(factory));
        items.map_into(*master);
    }

    // One bus cycle: the request to the slave, its frame back to the master.
    void cycle() {
        const size_t n = master->get_request(request);
        const auto reply = slave->step({request.data(), n});
        master->set_reply(reply);
    }

    Bytes current_request() { return master->get_request(); }

    // Cycles until the master is in `target`. A bus that stays still (the
    // request unchanged for a few cycles) is what the watchdog exists for:
    // its expiry is delivered then, as the watchdog thread would.
    bool drive_to(StateId target, int max_cycles = 400, bool expire_when_stuck = false) {
        return drive_until([&] { return master->state() == target; }, max_cycles, expire_when_stuck);
    }
    bool drive_until(const std::function<bool()> &done, int max_cycles, bool expire_when_stuck) {
        Bytes previous = current_request();
        int still = 0;
        for (int i = 0; i < max_cycles; ++i) {
            if (done()) return true;
            cycle();
            const Bytes now = current_request();
            still = now == previous ? still + 1 : 0;
            previous = now;
            if (expire_when_stuck && still >= 4) {
                master->_watchdog_expired_event();
                still = 0;
            }
        }
        return done();
    }

    // In `state` with at least one request of it answered: a Reset frame
    // sent now is then not byte for byte the last one the slave answered.
    bool settle_in(StateId state) {
        if (!drive_to(state)) return false;
        if (state != StateId::Reset) cycle();
        return master->state() == state;
    }

    std::vector<Report> reports_seen() {
        std::lock_guard lock(mutex);
        return reports;
    }
    std::vector<StateId> states_seen() {
        std::lock_guard lock(mutex);
        return states;
    }
    void forget() {
        std::lock_guard lock(mutex);
        reports.clear();
        states.clear();
    }

    Bytes input_values() const {
        Bytes values;
        for (const auto &i : inputs) values.push_back(static_cast<uint8_t>(std::get<int64_t>(i->value())));
        return values;
    }
    void set_outputs(uint8_t first) {
        for (size_t i = 0; i < outputs.size(); ++i) outputs[i]->set(Value{int64_t{static_cast<uint8_t>(first + i)}});
    }
    Bytes expected_outputs(uint8_t first) const {
        Bytes values;
        for (size_t i = 0; i < outputs.size(); ++i) values.push_back(static_cast<uint8_t>(first + i));
        return values;
    }
    Bytes fail_safe_inputs() const { return Bytes(inputs.size(), kInputFailSafe); }

    // In Data with process data flowing both ways.
    void exchange_process_data(uint8_t outputs_first, const Bytes &slave_inputs) {
        set_outputs(outputs_first);
        master->set_fail_safe(false);
        slave->set_inputs(slave_inputs);
        slave->set_process_data(true);
        for (int i = 0; i < 4; ++i) cycle();
    }

    std::vector<std::shared_ptr<DictionaryItemOutput>> outputs;
    std::vector<std::shared_ptr<DictionaryItemInput>> inputs;
    std::vector<std::shared_ptr<ApplicationParameter>> parameters;
    std::shared_ptr<Dictionary> dictionary;
    std::unique_ptr<SlaveSimulator> slave;
    std::unique_ptr<MasterHandler> master;
    MasterHandler::RequestBuffer request{};

private:
    std::mutex mutex;  // the watchdog thread may report too
    std::vector<Report> reports;
    std::vector<StateId> states;
};

std::string describe(const std::vector<Report> &reports) {
    std::string text;
    for (const Report &r : reports) text += r.name + ": " + r.message + "\n";
    return text;
}

Bytes ramp(size_t n, uint8_t first) {
    Bytes bytes;
    for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(first + 3 * i));
    return bytes;
}

ErrorKind kind_of(const std::function<void()> &f) {
    try {
        f();
    } catch (const Error &e) {
        return e.kind();
    }
    ADD_FAILURE() << "no error";
    return ErrorKind::Runtime;
}

const std::vector<Sizes> kAllSizes = {
    {1, 1, false},  {2, 2, false},  {16, 16, false}, {1, 1, true},  {2, 2, true},  {16, 16, true},
    {2, 16, false}, {16, 1, false}, {2, 16, true},   {16, 1, true}, {1, 16, true}, {16, 2, false},
};

// --- Whole connections --------------------------------------------------------

class WholeConnection : public testing::TestWithParam<Sizes> {};

TEST_P(WholeConnection, ReachesDataAndExchangesBothWays) {
    const Sizes sizes = GetParam();
    Bus bus(sizes);
    bus.master->start();
    EXPECT_EQ(bus.master->initialization_data_bytes(), std::min(sizes.master_bytes, sizes.slave_bytes));
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    EXPECT_TRUE(bus.reports_seen().empty());
    EXPECT_EQ(bus.states_seen(),
              (std::vector<StateId>{StateId::Session, StateId::Connection, StateId::Parameter, StateId::Data}));
    // The slave judges the set-up data on the first Data frame.
    bus.cycle();
    EXPECT_EQ(bus.slave->state(), SlaveState::Data);
    EXPECT_EQ(bus.slave->master_session_id(),
              static_cast<uint16_t>(bus.master->master->session->session_id->raw_value()));
    EXPECT_EQ(bus.slave->connection_id(), kConnectionId);
    EXPECT_EQ(bus.slave->watchdog_ms(), 1000);
    const auto received = bus.slave->received_parameters();
    const auto &expected = bus.slave->config().application_parameters;
    ASSERT_EQ(received.size(), 6 + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), received.begin() + 6));

    // Fail-safe first: the slave takes no outputs and the inputs stay fail-safe.
    bus.set_outputs(0x40);
    for (int i = 0; i < 3; ++i) bus.cycle();
    EXPECT_EQ(Bytes(bus.slave->outputs().begin(), bus.slave->outputs().end()), Bytes(sizes.master_bytes, 0));
    EXPECT_EQ(bus.input_values(), bus.fail_safe_inputs());

    const Bytes inputs = ramp(sizes.slave_bytes, 0x11);
    bus.exchange_process_data(0x40, inputs);
    EXPECT_EQ(Bytes(bus.slave->outputs().begin(), bus.slave->outputs().end()), bus.expected_outputs(0x40));
    EXPECT_EQ(bus.input_values(), inputs);

    // New values travel on the next cycles, both ways.
    bus.set_outputs(0x80);
    const Bytes inputs2 = ramp(sizes.slave_bytes, 0x60);
    bus.slave->set_inputs(inputs2);
    for (int i = 0; i < 3; ++i) bus.cycle();
    EXPECT_EQ(Bytes(bus.slave->outputs().begin(), bus.slave->outputs().end()), bus.expected_outputs(0x80));
    EXPECT_EQ(bus.input_values(), inputs2);

    // The slave falling back to fail-safe data puts the inputs to fail-safe.
    bus.slave->set_process_data(false);
    for (int i = 0; i < 3; ++i) bus.cycle();
    EXPECT_EQ(bus.input_values(), bus.fail_safe_inputs());
    EXPECT_EQ(bus.master->state(), StateId::Data);
    EXPECT_TRUE(bus.reports_seen().empty());

    // Stop: a Reset request, replies ignored, maps unlocked; start again.
    bus.master->stop();
    EXPECT_FALSE(bus.master->running());
    EXPECT_FALSE(bus.master->master->dictionary_map->locked());
    EXPECT_EQ(bus.master->state(), StateId::Reset);
    EXPECT_EQ(bus.current_request()[0], static_cast<uint8_t>(FSOECommand::RESET));
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    EXPECT_EQ(bus.master->state(), StateId::Data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WholeConnection, testing::ValuesIn(kAllSizes), sizes_name);

// Across the wrap of both sequence numbers (65535 is followed by 1, never 0).
TEST(LongRun, SequenceNumbersWrapOnBothSides) {
    Bus bus({1, 1, false});
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    bus.exchange_process_data(0x01, {0x22});
    bool master_wrapped = false, slave_wrapped = false;
    uint16_t master_prev = bus.master->master->frame.control.sequence_number();
    uint16_t slave_prev = bus.master->slave->frame.control.sequence_number();
    uint8_t value = 0;
    for (int i = 0; i < 70000 && !(master_wrapped && slave_wrapped); ++i) {
        if (i % 97 == 0) {
            bus.outputs[0]->set(Value{int64_t{++value}});
            bus.slave->set_inputs(std::array<uint8_t, 1>{static_cast<uint8_t>(value ^ 0xFF)});
        }
        bus.cycle();
        const uint16_t m = bus.master->master->frame.control.sequence_number();
        const uint16_t s = bus.master->slave->frame.control.sequence_number();
        ASSERT_NE(m, 0);
        ASSERT_NE(s, 0);
        if (m < master_prev) master_wrapped = true;
        if (s < slave_prev) slave_wrapped = true;
        master_prev = m;
        slave_prev = s;
    }
    EXPECT_TRUE(master_wrapped);
    EXPECT_TRUE(slave_wrapped);
    EXPECT_EQ(bus.master->state(), StateId::Data);
    EXPECT_TRUE(bus.reports_seen().empty());
    for (int i = 0; i < 3; ++i) bus.cycle();
    EXPECT_EQ(bus.slave->outputs()[0], value);
    EXPECT_EQ(bus.input_values(), Bytes{static_cast<uint8_t>(value ^ 0xFF)});
}

// --- Faults in the Data state -------------------------------------------------

struct DataFault {
    std::string name;
    std::function<void(SlaveSimulator &)> inject;
    std::string transition;
    std::string message;
};

// Reply layout at 2 safe-data bytes: command, 2 data, CRC_0 (2), connection id (2).
const std::string kConnMismatch = "Connection id exchanged does not match ";
const std::vector<DataFault> kDataFaults = {
    {"FlippedDataBit", [](SlaveSimulator &s) { s.inject_bit_flip(8); }, "DATA_FAIL1", "Invalid slave CRC"},
    {"FlippedCrcBit", [](SlaveSimulator &s) { s.inject_bit_flip(3 * 8 + 5); }, "DATA_FAIL1", "Invalid slave CRC"},
    {"FlippedCommandBit", [](SlaveSimulator &s) { s.inject_bit_flip(0); }, "DATA_FAIL4", "Invalid slave frame command"},
    {"FlippedConnectionIdBit", [](SlaveSimulator &s) { s.inject_bit_flip(5 * 8); }, "DATA_FAIL2",
     kConnMismatch + std::to_string(kConnectionId ^ 1) + " != " + std::to_string(kConnectionId)},
    {"WrongConnectionId", [](SlaveSimulator &s) { s.inject_wrong_connection_id(777); }, "DATA_FAIL2",
     kConnMismatch + "777 != " + std::to_string(kConnectionId)},
    {"UnknownCommand", [](SlaveSimulator &s) { s.inject_unknown_command(0xFF); }, "DATA_FAIL4",
     "Invalid slave frame command"},
    {"ParameterCommand", [](SlaveSimulator &s) { s.inject_wrong_command(); }, "DATA_FAIL3",
     "Invalid slave frame command"},
    {"SessionCommand", [](SlaveSimulator &s) { s.inject_wrong_command(FSOECommand::SESSION); }, "DATA_FAIL3",
     "Invalid slave frame command"},
    {"ConnectionCommand", [](SlaveSimulator &s) { s.inject_wrong_command(FSOECommand::CONNECTION); }, "DATA_FAIL3",
     "Invalid slave frame command"},
    {"ReplayedOldReply", [](SlaveSimulator &s) { s.inject_replay(3); }, "DATA_FAIL1", "Invalid slave CRC"},
    {"SlaveReset", [](SlaveSimulator &s) { s.inject_reset(code_of(BaseError::INVALID_DATA)); }, "DATA_RESET1",
     "Connection was reset by the slave (slave reported error INVALID_DATA)"},
    // A reply that never changes (repeated, or no reply at all) is stale data:
    // only the watchdog can tell.
    {"RepeatedReply", [](SlaveSimulator &s) { s.inject_repeat(); }, "DATA_WD", "The watchdog of the master expired"},
    {"SilentSlave", [](SlaveSimulator &s) { s.inject_silence(6); }, "DATA_WD", "The watchdog of the master expired"},
};

class DataFaults : public testing::TestWithParam<DataFault> {};

TEST_P(DataFaults, OneReportThenBackInData) {
    const DataFault &fault = GetParam();
    Bus bus({2, 2, true});
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    bus.exchange_process_data(0x30, {0x12, 0x34});
    ASSERT_EQ(bus.input_values(), (Bytes{0x12, 0x34}));
    bus.forget();

    fault.inject(*bus.slave);
    bus.cycle();
    ASSERT_TRUE(bus.drive_until([&] { return bus.master->state() != StateId::Data; }, 50, true));
    if (fault.transition != "DATA_WD") {
        ASSERT_EQ(bus.reports_seen().size(), 1u);
        EXPECT_EQ(bus.master->state(), fault.transition == "DATA_RESET1" ? StateId::Session : StateId::Reset);
        // No data of a faulty connection reach the application.
        EXPECT_EQ(bus.input_values(), bus.fail_safe_inputs());
    }
    // The recovery: a new session up to Data, with no further report.
    bus.slave->set_process_data(false);
    ASSERT_TRUE(bus.drive_to(StateId::Data, 400, true));
    const auto reports = bus.reports_seen();
    ASSERT_EQ(reports.size(), 1u) << describe(reports);
    EXPECT_EQ(reports[0].name, fault.transition);
    EXPECT_EQ(reports[0].message, fault.message);
    EXPECT_NE(bus.states_seen().front(), StateId::Data);

    bus.exchange_process_data(0x50, {0x56, 0x78});
    EXPECT_EQ(bus.input_values(), (Bytes{0x56, 0x78}));
    EXPECT_EQ(Bytes(bus.slave->outputs().begin(), bus.slave->outputs().end()), (Bytes{0x50, 0x51}));
    EXPECT_EQ(bus.reports_seen().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Injected, DataFaults, testing::ValuesIn(kDataFaults),
                         [](const auto &info) { return info.param.name; });

// --- The slave's own resets ---------------------------------------------------

struct SlaveReset {
    StateId state;
    uint8_t code;
    std::string transition;
    std::string named;
};

class SlaveResets : public testing::TestWithParam<SlaveReset> {};

TEST_P(SlaveResets, NewSessionWithTheCodeNamed) {
    const SlaveReset &c = GetParam();
    // One byte per frame: every set-up state lasts several cycles.
    Bus bus({1, 1, true});
    bus.master->start();
    ASSERT_TRUE(bus.settle_in(c.state));
    bus.slave->inject_reset(c.code);
    bus.cycle();
    EXPECT_EQ(bus.master->state(), StateId::Session);
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    const auto reports = bus.reports_seen();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].name, c.transition);
    EXPECT_EQ(reports[0].message, "Connection was reset by the slave (slave reported error " + c.named + ")");
}

INSTANTIATE_TEST_SUITE_P(Codes, SlaveResets,
                         testing::Values(SlaveReset{StateId::Session, 0, "SESSION_RESET1", "RESET"},
                                         SlaveReset{StateId::Connection, 3, "CONN_RESET1", "INVALID_CONNID"},
                                         SlaveReset{StateId::Parameter, 11, "PARA_RESET1", "INVALID_USERPARA"},
                                         SlaveReset{StateId::Data, 4, "DATA_RESET1", "INVALID_CRC"},
                                         SlaveReset{StateId::Data, 128, "DATA_RESET1", "INVALID_SAFEPARA_128"},
                                         SlaveReset{StateId::Data, 255, "DATA_RESET1", "INVALID_SAFEPARA_255"},
                                         // Codes without a name are named by their number.
                                         SlaveReset{StateId::Data, 12, "DATA_RESET1", "12"},
                                         SlaveReset{StateId::Data, 42, "DATA_RESET1", "42"},
                                         SlaveReset{StateId::Parameter, 127, "PARA_RESET1", "127"}),
                         [](const auto &info) {
                             return "code" + std::to_string(info.param.code) + "_in" + std::to_string(info.index);
                         });

// --- Faults in the set-up states ----------------------------------------------

struct SetupFault {
    std::string name;
    StateId state;
    std::function<void(SlaveSimulator &)> inject;
    std::string transition;
    std::string message;
};

const std::vector<SetupFault> kSetupFaults = {
    {"ConnectionEcho", StateId::Connection, [](SlaveSimulator &s) { s.inject_wrong_echo(0); }, "CONN_FAIL2",
     "Data exchanged during session state does not match"},
    {"ConnectionCrc", StateId::Connection, [](SlaveSimulator &s) { s.inject_bit_flip(3 * 8); }, "CONN_FAIL1",
     "Invalid slave CRC"},
    {"ConnectionId", StateId::Connection, [](SlaveSimulator &s) { s.inject_wrong_connection_id(9); }, "CONN_FAIL3",
     kConnMismatch + "9 != " + std::to_string(kConnectionId)},
    {"ConnectionCommand", StateId::Connection, [](SlaveSimulator &s) { s.inject_wrong_command(); }, "CONN_FAIL4",
     "Invalid slave frame command"},
    {"ConnectionUnknown", StateId::Connection, [](SlaveSimulator &s) { s.inject_unknown_command(0x11); }, "CONN_FAIL5",
     "Invalid slave frame command"},
    {"ParameterEcho", StateId::Parameter, [](SlaveSimulator &s) { s.inject_wrong_echo(0); }, "PARA_FAIL2",
     "Data exchanged during parameter state does not match"},
    {"ParameterCrc", StateId::Parameter, [](SlaveSimulator &s) { s.inject_bit_flip(3 * 8); }, "PARA_FAIL1",
     "Invalid slave CRC"},
    {"ParameterId", StateId::Parameter, [](SlaveSimulator &s) { s.inject_wrong_connection_id(9); }, "PARA_FAIL3",
     kConnMismatch + "9 != " + std::to_string(kConnectionId)},
    {"ParameterCommand", StateId::Parameter, [](SlaveSimulator &s) { s.inject_wrong_command(); }, "PARA_FAIL4",
     "Invalid slave frame command"},
    {"ParameterUnknown", StateId::Parameter, [](SlaveSimulator &s) { s.inject_unknown_command(0x11); }, "PARA_FAIL5",
     "Invalid slave frame command"},
    {"SessionCommand", StateId::Session, [](SlaveSimulator &s) { s.inject_wrong_command(); }, "SESSION_FAIL3",
     "Invalid slave frame command"},
    {"SessionUnknown", StateId::Session, [](SlaveSimulator &s) { s.inject_unknown_command(0x11); }, "SESSION_FAIL4",
     "Invalid slave frame command"},
};

class SetupFaults : public testing::TestWithParam<SetupFault> {};

TEST_P(SetupFaults, OneReportThenBackInData) {
    const SetupFault &fault = GetParam();
    Bus bus({2, 2, true});
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(fault.state));
    fault.inject(*bus.slave);
    bus.cycle();
    EXPECT_EQ(bus.master->state(), StateId::Reset);
    ASSERT_TRUE(bus.drive_to(StateId::Data, 400, true));
    const auto reports = bus.reports_seen();
    ASSERT_EQ(reports.size(), 1u) << describe(reports);
    EXPECT_EQ(reports[0].name, fault.transition);
    EXPECT_EQ(reports[0].message, fault.message);
}

INSTANTIATE_TEST_SUITE_P(Injected, SetupFaults, testing::ValuesIn(kSetupFaults),
                         [](const auto &info) { return info.param.name; });

// --- Watchdog expiry ----------------------------------------------------------

struct Expiry {
    StateId state;
    std::string transition;
    StateId next;
};

class WatchdogExpiry : public testing::TestWithParam<Expiry> {};

TEST_P(WatchdogExpiry, ReportedOnceAndRecovered) {
    const Expiry &c = GetParam();
    Bus bus({1, 1, true});
    bus.master->start();
    ASSERT_TRUE(bus.settle_in(c.state));
    bus.master->_watchdog_expired_event();
    EXPECT_EQ(bus.master->state(), c.next);
    const Bytes request = bus.current_request();
    if (c.next == StateId::Reset) {
        // The slave learns why: the code travels in the Reset request.
        EXPECT_EQ(request[0], static_cast<uint8_t>(FSOECommand::RESET));
        EXPECT_EQ(request[1], code_of(BaseError::WD_EXPIRED));
    }
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    const auto reports = bus.reports_seen();
    ASSERT_EQ(reports.size(), 1u) << describe(reports);
    EXPECT_EQ(reports[0].name, c.transition);
    EXPECT_EQ(reports[0].message, "The watchdog of the master expired");
    if (c.next == StateId::Reset) {
        EXPECT_EQ(bus.slave->last_reset_received(), code_of(BaseError::WD_EXPIRED));
    }
}

INSTANTIATE_TEST_SUITE_P(States, WatchdogExpiry,
                         testing::Values(Expiry{StateId::Reset, "RESET_WD", StateId::Session},
                                         Expiry{StateId::Session, "SESSION_WD", StateId::Reset},
                                         Expiry{StateId::Connection, "CONN_WD", StateId::Reset},
                                         Expiry{StateId::Parameter, "PARA_WD", StateId::Reset},
                                         Expiry{StateId::Data, "DATA_WD", StateId::Reset}),
                         [](const auto &info) { return info.param.transition; });

// The real watchdog thread: a stalled bus is noticed within the watchdog time.
TEST(WatchdogThread, StalledBusExpiresOnTheWatchdogThread) {
    Bus bus({2, 2, false}, {}, 0.02);
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (bus.reports_seen().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto reports = bus.reports_seen();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports[0].name, "DATA_WD");
    EXPECT_NE(bus.master->state(), StateId::Data);
    bus.master->stop();
}

// The host cycling, stalling and restarting while the watchdog thread's
// expiries fire, and a second thread reading the state and the request: every
// event runs as one unit (ThreadSanitizer watches this run in CI).
TEST(WatchdogThread, HostCyclesWhileExpiriesFire) {
    Bus bus({2, 2, false}, {}, 0.002);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        MasterHandler::RequestBuffer buffer;
        while (!done.load()) {
            const size_t n = bus.master->get_request(buffer);
            EXPECT_TRUE(n == 0 || n == 7);
            const auto state = bus.master->state();
            EXPECT_LE(static_cast<int>(state), static_cast<int>(StateId::Data));
            std::this_thread::yield();
        }
    });
    bus.master->start();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    for (int turn = 0; std::chrono::steady_clock::now() < end; ++turn) {
        for (int i = 0; i < 20; ++i) bus.cycle();
        if (turn % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(4));  // expiries fire
        if (turn % 7 == 0) bus.master->reset();
        if (turn % 11 == 0) {
            bus.master->stop();
            bus.master->start();
        }
    }
    bus.master->stop();
    done = true;
    reader.join();
    EXPECT_FALSE(bus.master->running());
    EXPECT_FALSE(bus.master->_watchdog()->active());
    EXPECT_EQ(bus.master->state(), StateId::Reset);
}

// --- Handler guards -----------------------------------------------------------

// A refused construction binds no parameter: they stay free for another master.
TEST(Construction, RefusedBeforeAnyParameterIsBound) {
    auto dictionary = std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{});
    auto fresh = [] { return std::make_shared<ApplicationParameter>("p", Value{int64_t{1}}, 1); };
    const auto bound = fresh();
    MasterHandler owner(dictionary, 1, 1, 1.0, {bound}, {}, {}, true, quiet_watchdog());
    ASSERT_TRUE(bound->used_by_master());

    struct Case {
        uint16_t connection_id;
        double watchdog_s;
        bool repeat_first;
        bool with_bound;
        ErrorKind kind;
    };
    for (const Case c :
         {Case{0, 1.0, false, false, ErrorKind::Value}, Case{1, 70.0, false, false, ErrorKind::Overflow},
          Case{1, -1.0, false, false, ErrorKind::Overflow}, Case{1, 1.0, true, false, ErrorKind::Permission},
          Case{1, 1.0, false, true, ErrorKind::Permission}}) {
        std::vector<std::shared_ptr<ApplicationParameter>> params = {fresh(), fresh()};
        if (c.repeat_first) params.push_back(params[0]);
        if (c.with_bound) params.push_back(bound);
        EXPECT_EQ(kind_of([&] {
                      MasterHandler(dictionary, 1, c.connection_id, c.watchdog_s, params, {}, {}, true,
                                    quiet_watchdog());
                  }),
                  c.kind);
        EXPECT_FALSE(params[0]->used_by_master());
        EXPECT_FALSE(params[1]->used_by_master());
        // Still free: another master takes them.
        MasterHandler taker(dictionary, 1, 1, 1.0, {params[0], params[1]}, {}, {}, true, quiet_watchdog());
        EXPECT_TRUE(params[0]->used_by_master());
    }
}

struct BadMap {
    std::string name;
    bool master_side;
    int uint8_items;  // 0: empty, 3: odd size, 17: over 16 bytes
};

class RefusedStart : public testing::TestWithParam<BadMap> {};

TEST_P(RefusedStart, LeavesMapsFramesAndHandlerAsTheyWere) {
    const BadMap &c = GetParam();
    std::vector<DictionaryItemPtr> items;
    for (int i = 0; i < 17; ++i) {
        items.push_back(std::make_shared<DictionaryItemOutput>(i, "o" + std::to_string(i), DataType::UINT8));
        items.push_back(
            std::make_shared<DictionaryItemInput>(100 + i, "i" + std::to_string(i), DataType::UINT8, int64_t{0}));
    }
    auto dictionary = std::make_shared<Dictionary>(items);
    MasterHandler handler(dictionary, 1, 1, 1.0, {}, {}, {}, true, quiet_watchdog());
    auto map = [&](int master_items, int slave_items) {
        handler.master->dictionary_map->clear();
        handler.slave->dictionary_map->clear();
        for (int i = 0; i < master_items; ++i) handler.master->dictionary_map->add(items[2 * i]);
        for (int i = 0; i < slave_items; ++i) handler.slave->dictionary_map->add(items[2 * i + 1]);
    };
    auto refused = [&](uint16_t frame_bytes, const Bytes &request) {
        EXPECT_EQ(kind_of([&] { handler.start(); }), ErrorKind::Value);
        EXPECT_FALSE(handler.running());
        for (const Node *node : {handler.master.get(), handler.slave.get()}) {
            EXPECT_FALSE(node->dictionary_map->locked());
            EXPECT_EQ(node->frame.safe_data_size_bytes(), frame_bytes);
        }
        EXPECT_EQ(handler.initialization_data_bytes(), frame_bytes);
        EXPECT_EQ(handler.get_request(), request);
        EXPECT_FALSE(handler._watchdog()->active());
    };
    const auto bad = [&] { map(c.master_side ? c.uint8_items : 2, c.master_side ? 2 : c.uint8_items); };

    bad();
    refused(0, {});
    // Mended, the same handler starts; refused again after a stop, it keeps
    // the frames of the last start and the request of the stop.
    map(1, 1);
    handler.start();
    EXPECT_TRUE(handler.running());
    EXPECT_TRUE(handler.master->dictionary_map->locked());
    handler.stop();
    const Bytes stopped = handler.get_request();
    bad();
    refused(1, stopped);
}

INSTANTIATE_TEST_SUITE_P(Maps, RefusedStart,
                         testing::Values(BadMap{"MasterEmpty", true, 0}, BadMap{"MasterOdd", true, 3},
                                         BadMap{"MasterTooLong", true, 17}, BadMap{"SlaveEmpty", false, 0},
                                         BadMap{"SlaveOdd", false, 3}, BadMap{"SlaveTooLong", false, 17}),
                         [](const auto &info) { return info.param.name; });

TEST(NotRunning, NoWatchdogActivationAndExpiryDoesNothing) {
    Bus bus({2, 2, false});
    bus.master->reset();
    EXPECT_FALSE(bus.master->_watchdog()->active());
    EXPECT_EQ(bus.current_request()[0], static_cast<uint8_t>(FSOECommand::RESET));
    const Bytes request = bus.current_request();
    bus.master->_watchdog_expired_event();
    EXPECT_EQ(bus.master->state(), StateId::Reset);
    EXPECT_EQ(bus.current_request(), request);
    EXPECT_TRUE(bus.reports_seen().empty());
    // Replies are ignored too.
    bus.cycle();
    EXPECT_EQ(bus.master->state(), StateId::Reset);

    // Running, then stopped: the same holds after stop().
    bus.master->start();
    EXPECT_TRUE(bus.master->_watchdog()->active());
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    bus.master->stop();
    EXPECT_FALSE(bus.master->_watchdog()->active());
    bus.master->reset();
    EXPECT_FALSE(bus.master->_watchdog()->active());
    bus.master->_watchdog_expired_event();
    EXPECT_EQ(bus.master->state(), StateId::Reset);
    EXPECT_TRUE(bus.reports_seen().empty());
}

// A reply whose length is not that of the slave's frames is never decoded: it
// is judged as a frame that failed its CRCs.
struct WrongLength {
    StateId state;
    std::string transition;
    std::string message;
    StateId next;
    uint16_t bytes = 2;  // safe data each way
};

// The wrong lengths: longer; one short (the length of a whole smaller frame);
// shorter; empty; a Reset command at one byte short.
enum class Shape { Longer, OneShort, Shorter, Empty, ResetOneShort };

Bytes misshaped(Shape shape, Bytes reply) {
    switch (shape) {
        case Shape::Longer:
            reply.resize(reply.size() + 2, 0x5A);
            break;
        case Shape::OneShort:
            reply.pop_back();
            break;
        case Shape::Shorter:
            reply.resize(reply.size() - 3);
            break;
        case Shape::Empty:
            reply.clear();
            break;
        case Shape::ResetOneShort:
            reply.assign(reply.size() - 1, 0);
            reply[0] = static_cast<uint8_t>(FSOECommand::RESET);
            break;
    }
    return reply;
}

class UnreadableReply : public testing::TestWithParam<WrongLength> {};

TEST_P(UnreadableReply, JudgedAsFailedCrcs) {
    const WrongLength &c = GetParam();
    for (const Shape shape : {Shape::Longer, Shape::OneShort, Shape::Shorter, Shape::Empty, Shape::ResetOneShort}) {
        SCOPED_TRACE(static_cast<int>(shape));
        Bus bus({c.bytes, c.bytes, true});
        bus.master->start();
        ASSERT_TRUE(bus.drive_to(c.state));
        if (c.state == StateId::Data) {
            const Bytes inputs(c.bytes, 0x77);
            bus.exchange_process_data(0x10, inputs);
            ASSERT_EQ(bus.input_values(), inputs);
        }
        const auto reply = bus.slave->step(bus.current_request());
        const Bytes bad = misshaped(shape, Bytes(reply.begin(), reply.end()));
        std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> before{}, after{};
        const size_t length = bus.master->slave->frame.frame_to_array(before);
        bus.forget();
        EXPECT_NO_THROW(bus.master->set_reply(bad));
        auto reports = bus.reports_seen();
        if (shape == Shape::Empty && c.state == StateId::Reset) {
            // Nothing received yet: an empty image is no new reply.
            EXPECT_TRUE(reports.empty());
            EXPECT_EQ(bus.master->state(), StateId::Reset);
            continue;
        }
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].name, c.transition);
        EXPECT_EQ(reports[0].message, c.message);
        EXPECT_EQ(bus.master->state(), c.next);
        EXPECT_EQ(bus.input_values(), bus.fail_safe_inputs());
        bus.master->slave->frame.frame_to_array(after);
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + length, after.begin())) << "the reply was decoded";
        if (c.next == StateId::Reset && c.state != StateId::Reset) {
            const Bytes request = bus.current_request();
            EXPECT_EQ(request[0], static_cast<uint8_t>(FSOECommand::RESET));
            EXPECT_EQ(request[1], code_of(BaseError::INVALID_CRC));
        }
        // The connection comes back without another report of the master's.
        // Staying in Session, the master cannot chain its next request to a
        // reply it could not read, so the slave resets that session.
        ASSERT_TRUE(bus.drive_to(StateId::Data, 400, true));
        reports = bus.reports_seen();
        ASSERT_EQ(reports.size(), c.next == StateId::Session ? 2u : 1u) << describe(reports);
        if (c.next == StateId::Session) {
            EXPECT_EQ(reports[1].name, "SESSION_RESET1");
            EXPECT_EQ(reports[1].message, "Connection was reset by the slave (slave reported error INVALID_CRC)");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, UnreadableReply,
    testing::Values(WrongLength{StateId::Reset, "RESET_STAY1", "Invalid slave frame command", StateId::Reset},
                    WrongLength{StateId::Session, "SESSION_STAY2", "Invalid slave CRC", StateId::Session},
                    WrongLength{StateId::Connection, "CONN_FAIL1", "Invalid slave CRC", StateId::Reset},
                    WrongLength{StateId::Parameter, "PARA_FAIL1", "Invalid slave CRC", StateId::Reset},
                    WrongLength{StateId::Data, "DATA_FAIL1", "Invalid slave CRC", StateId::Reset},
                    WrongLength{StateId::Data, "DATA_FAIL1", "Invalid slave CRC", StateId::Reset, 1},
                    WrongLength{StateId::Data, "DATA_FAIL1", "Invalid slave CRC", StateId::Reset, 16}),
    [](const auto &info) { return info.param.transition + "_" + std::to_string(info.param.bytes) + "bytes"; });

// A slave whose chain is out of step with the master's fails every Session
// reply: each is a SESSION_STAY2, but only the first restarts the watchdog, so
// the watchdog ends the session instead of every failure holding it open.
class SessionFailures : public testing::TestWithParam<uint16_t> {};

TEST_P(SessionFailures, RepeatedFailuresAreEndedByTheWatchdog) {
    Bus bus({GetParam(), GetParam(), false}, {}, 0.05);
    bus.master->start();
    for (const bool unreadable : {false, true}) {
        bus.master->reset();
        ASSERT_TRUE(bus.drive_to(StateId::Session, 400, true));
        bus.forget();
        // Failed replies keep coming, faster than the watchdog time, until it fires.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (bus.master->state() == StateId::Session && std::chrono::steady_clock::now() < deadline) {
            const auto reply = bus.slave->step(bus.current_request());
            Bytes bad(reply.begin(), reply.end());
            if (unreadable)
                bad.resize(bad.size() + 2);
            else
                bad.back() ^= 0x01;  // the connection id's high byte: covered by every CRC
            bus.master->set_reply(bad);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        auto reports = bus.reports_seen();
        // A reply handed over while the expiry ran finds the handler in Reset.
        if (reports.size() >= 2 && reports.back().name == "RESET_STAY1" &&
            reports[reports.size() - 2].name == "SESSION_WD")
            reports.pop_back();
        ASSERT_GE(reports.size(), 2u) << describe(reports);
        for (size_t i = 0; i + 1 < reports.size(); ++i) EXPECT_EQ(reports[i].name, "SESSION_STAY2");
        EXPECT_EQ(reports.back().name, "SESSION_WD");
        EXPECT_EQ(bus.master->state(), StateId::Reset);
        EXPECT_EQ(bus.input_values(), bus.fail_safe_inputs());
        EXPECT_TRUE(bus.drive_to(StateId::Data, 400, true));
    }
    bus.master->stop();
}

INSTANTIATE_TEST_SUITE_P(Bytes, SessionFailures, testing::Values(1, 2, 16));

// One trailing byte after a whole frame is tolerated.
TEST(UnreadableReply, OneTrailingByteIsTolerated) {
    Bus bus({2, 2, false});
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    bus.exchange_process_data(0x10, {0x01, 0x02});
    for (int i = 0; i < 5; ++i) {
        const Bytes request = bus.current_request();
        const auto reply = bus.slave->step(request);
        Bytes longer(reply.begin(), reply.end());
        longer.push_back(0xEE);
        bus.master->set_reply(longer);
    }
    EXPECT_EQ(bus.master->state(), StateId::Data);
    EXPECT_TRUE(bus.reports_seen().empty());
    EXPECT_EQ(bus.input_values(), (Bytes{0x01, 0x02}));
}

// A host callback that throws does not cut a transition short.
TEST(FailingCallbacks, TransitionCompletesThenFirstErrorIsRaised) {
    auto item = std::make_shared<DictionaryItemOutput>(1, "o", DataType::UINT16);
    auto input = std::make_shared<DictionaryItemInput>(2, "i", DataType::UINT16, int64_t{0x5A5A});
    auto dictionary = std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{item, input});
    std::vector<StateId> states;
    int errors = 0;
    bool throw_from_both = false;
    MasterHandler handler(
        dictionary, kSlaveAddress, kConnectionId, 1.0, {},
        [&](std::string_view, std::string_view) {
            ++errors;
            throw std::runtime_error("error callback");
        },
        [&](StateId id) {
            states.push_back(id);
            if (throw_from_both) throw std::logic_error("state callback");
        },
        true, quiet_watchdog());
    handler.master->dictionary_map->add(item);
    handler.slave->dictionary_map->add(input);
    SlaveConfig config;
    config.slave_address = kSlaveAddress;
    config.manual_clock = true;
    SlaveSimulator slave(config);
    auto cycle = [&] { handler.set_reply(slave.step(handler.get_request())); };

    handler.start();
    for (int i = 0; i < 20 && handler.state() != StateId::Data; ++i) cycle();
    ASSERT_EQ(handler.state(), StateId::Data);
    handler.set_fail_safe(false);
    slave.set_process_data(true);
    slave.set_inputs(std::array<uint8_t, 2>{0x34, 0x12});
    cycle();
    cycle();
    ASSERT_EQ(std::get<int64_t>(input->value()), 0x1234);

    for (const bool both : {false, true}) {
        throw_from_both = both;
        states.clear();
        slave.inject_unknown_command();
        try {
            cycle();
            ADD_FAILURE() << "no error raised";
        } catch (const std::runtime_error &e) {
            EXPECT_STREQ(e.what(), "error callback");  // the first one
        }
        // The whole transition took place: state, callbacks, request, inputs.
        EXPECT_EQ(handler.state(), StateId::Reset);
        EXPECT_EQ(states, std::vector<StateId>{StateId::Reset});
        const Bytes request = handler.get_request();
        EXPECT_EQ(request[0], static_cast<uint8_t>(FSOECommand::RESET));
        EXPECT_EQ(request[1], code_of(BaseError::UNKNOWN_CMD));
        EXPECT_EQ(std::get<int64_t>(input->value()), 0x5A5A);
        // Nothing of the error stays behind: the connection recovers.
        throw_from_both = false;
        for (int i = 0; i < 20 && handler.state() != StateId::Data; ++i) cycle();
        EXPECT_EQ(handler.state(), StateId::Data);
        handler.set_fail_safe(false);
        slave.set_process_data(true);
        cycle();
        cycle();
        EXPECT_EQ(std::get<int64_t>(input->value()), 0x1234);
    }
    EXPECT_EQ(errors, 2);
    handler.stop();
}

// --- The cycle allocates nothing ----------------------------------------------

TEST(DataCycle, AllocatesNothing) {
    Bus bus({16, 16, true});
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    bus.exchange_process_data(0x01, ramp(16, 0));
    int allocations = 0;
    for (int i = 0; i < 64; ++i) {
        bus.outputs[static_cast<size_t>(i) % 16]->set(Value{int64_t{i}});
        bus.slave->set_inputs(ramp(16, static_cast<uint8_t>(i)));
        const size_t n = bus.master->get_request(bus.request);
        const auto reply = bus.slave->step({bus.request.data(), n});
        test::count_allocations(true);
        bus.master->set_reply(reply);
        bus.master->get_request(bus.request);
        test::count_allocations(false);
        allocations += test::allocations();
    }
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(bus.master->state(), StateId::Data);
    EXPECT_EQ(bus.input_values(), ramp(16, 63));
    EXPECT_TRUE(bus.reports_seen().empty());
}

// --- Hostile host callbacks ------------------------------------------------------

struct HostError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// In Data with live inputs, then `fault` makes the handler leave Data while the
// first input's subscriber raises: every input still goes fail-safe, the
// second input's subscriber still runs, the transition completes, and the
// subscriber's error reaches the caller once the event has finished.
class RaisingSubscriber : public testing::TestWithParam<const char *> {};

TEST_P(RaisingSubscriber, FailSafeSwitchAndTransitionComplete) {
    const std::string fault = GetParam();
    Bus bus({2, 2, false});
    bool armed = false;
    int second_notified = 0;
    bus.inputs[0]->subscribe_changed(make_change_callback([&] {
        if (armed) throw HostError("subscriber");
    }));
    bus.inputs[1]->subscribe_changed(make_change_callback([&] { ++second_notified; }));
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    bus.exchange_process_data(0x10, {0x21, 0x22});
    ASSERT_EQ(bus.input_values(), (Bytes{0x21, 0x22}));
    bus.forget();
    armed = true;
    second_notified = 0;

    const auto run = [&] {
        if (fault == "crc") {
            bus.slave->inject_bit_flip(8 * 3);
            bus.cycle();
        } else if (fault == "reset") {
            bus.master->reset();
        } else if (fault == "stop") {
            bus.master->stop();
        } else {
            bus.master->_watchdog_expired_event();
        }
    };
    EXPECT_THROW(run(), HostError);
    EXPECT_EQ(bus.input_values(), bus.fail_safe_inputs());
    EXPECT_EQ(second_notified, 1);
    EXPECT_EQ(bus.master->state(), StateId::Reset);
    EXPECT_EQ(bus.states_seen(), std::vector<StateId>{StateId::Reset});
    const Bytes request = bus.current_request();
    EXPECT_EQ(request[0], static_cast<uint8_t>(FSOECommand::RESET));
    const std::vector<Report> reports = bus.reports_seen();
    if (fault == "crc" || fault == "expiry") {
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].name, fault == "crc" ? "DATA_FAIL1" : "DATA_WD");
        EXPECT_EQ(request[1], code_of(fault == "crc" ? BaseError::INVALID_CRC : BaseError::WD_EXPIRED));
    } else {
        EXPECT_TRUE(reports.empty());
        EXPECT_EQ(request[1], code_of(BaseError::RESET));
    }
    EXPECT_EQ(bus.master->running(), fault != "stop");
    if (fault == "stop") return;
    // Nothing stays behind: the connection comes back.
    armed = false;
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    bus.exchange_process_data(0x10, {0x31, 0x32});
    EXPECT_EQ(bus.input_values(), (Bytes{0x31, 0x32}));
}

INSTANTIATE_TEST_SUITE_P(Faults, RaisingSubscriber, testing::Values("crc", "reset", "stop", "expiry"),
                         [](const auto &info) { return std::string(info.param); });

// A good frame in Data: every input takes the frame's value before the
// subscriber's error is raised, so the inputs never mix two frames.
TEST(HostileCallbacks, RaisingSubscriberDuringUnpackLeavesEveryInputFromTheFrame) {
    Bus bus({2, 4, false});
    bool armed = false;
    bus.inputs[1]->subscribe_changed(make_change_callback([&] {
        if (armed) throw HostError("subscriber");
    }));
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    bus.exchange_process_data(0x10, {1, 2, 3, 4});
    armed = true;
    bus.slave->set_inputs(Bytes{5, 6, 7, 8});
    int raised = 0;
    for (int i = 0; i < 4; ++i) {
        try {
            bus.cycle();
        } catch (const HostError &) {
            ++raised;
            EXPECT_EQ(bus.input_values(), (Bytes{5, 6, 7, 8}));
        }
    }
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(bus.master->state(), StateId::Data);
    EXPECT_TRUE(bus.reports_seen().empty());
}

// Outside a handler event a subscriber's error leaves at once, as the host
// sees it when it writes the dictionary itself.
TEST(HostileCallbacks, DictionaryOutsideAnEventPropagatesAtOnce) {
    auto input = std::make_shared<DictionaryItemInput>(1, "in", DataType::UINT8, int64_t{7});
    int later = 0;
    input->subscribe_changed(make_change_callback([] { throw HostError("first"); }));
    input->subscribe_changed(make_change_callback([&] { ++later; }));
    EXPECT_THROW(input->_write(3), HostError);
    EXPECT_EQ(later, 0);
    EXPECT_EQ(std::get<int64_t>(input->value()), 3);
}

// A subscriber that resets the handler in the middle of the Data unpack: the
// reset stands, and the rest of the frame does not overwrite its fail-safe values.
TEST(HostileCallbacks, SubscriberResetDuringUnpackSupersedesTheFrame) {
    Bus bus({2, 4, false});
    bool armed = false;
    bus.inputs[0]->subscribe_changed(make_change_callback([&] {
        if (armed) {
            armed = false;
            bus.master->reset();
        }
    }));
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    bus.exchange_process_data(0x10, {1, 2, 3, 4});
    armed = true;
    bus.slave->set_inputs(Bytes{5, 6, 7, 8});
    for (int i = 0; i < 3 && bus.master->state() == StateId::Data; ++i) bus.cycle();
    EXPECT_EQ(bus.master->state(), StateId::Reset);
    EXPECT_EQ(bus.input_values(), bus.fail_safe_inputs());
    const Bytes request = bus.current_request();
    EXPECT_EQ(request[0], static_cast<uint8_t>(FSOECommand::RESET));
    EXPECT_EQ(request[1], code_of(BaseError::RESET));
}

// A reply handed over from a callback of the handler's own event is refused;
// the event that runs completes as if it had not been called.
TEST(HostileCallbacks, NestedSetReplyIsRefused) {
    Bus bus({2, 2, false});
    std::string refused;
    Bytes stale;
    bus.master = std::make_unique<MasterHandler>(
        bus.dictionary, kSlaveAddress, kConnectionId, 1.0, bus.parameters,
        [&](std::string_view, std::string_view) {
            try {
                bus.master->set_reply(stale);
            } catch (const Error &e) {
                refused = e.what();
            }
        },
        MasterHandler::StateChangeCallback{}, true, quiet_watchdog());
    for (const auto &o : bus.outputs) bus.master->master->dictionary_map->add(o);
    for (const auto &i : bus.inputs) bus.master->slave->dictionary_map->add(i);
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    stale = Bytes(7, 0x55);
    bus.slave->inject_bit_flip(8 * 3);
    bus.cycle();
    EXPECT_EQ(refused, "set_reply cannot be called from a callback of the same handler's event");
    EXPECT_EQ(bus.master->state(), StateId::Reset);
    EXPECT_EQ(bus.current_request()[1], code_of(BaseError::INVALID_CRC));
}

// The trace sink is host code too, called from inside the frame checks, the
// transition log and the request's CRCs. A reset or stop it makes there stands
// like one from a callback: the frame is not unpacked, the state not switched
// back, the new session's sequence numbers not advanced, and the request is
// the reset's; with subscribers on the inputs and without.
struct TraceSinkReset {
    int line;  // the trace line of the event at which the sink acts
    bool stop;
    bool subscribed;
};

MasterHandler *g_traced_handler = nullptr;
int g_trace_lines_left = 0;
bool g_trace_stop = false;
void resetting_trace_sink(std::string_view) {
    if (!g_traced_handler || g_trace_lines_left-- > 0) return;
    MasterHandler *handler = std::exchange(g_traced_handler, nullptr);
    if (g_trace_stop)
        handler->stop();
    else
        handler->reset();
}

class TraceSinkResets : public testing::TestWithParam<TraceSinkReset> {};

TEST_P(TraceSinkResets, InsideADataFrameSupersedeTheFrame) {
    const TraceSinkReset p = GetParam();
    Bus bus({2, 4, false});
    int notified = 0;
    if (p.subscribed)
        for (const auto &i : bus.inputs) i->subscribe_changed(make_change_callback([&] { ++notified; }));
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    bus.exchange_process_data(0x10, {1, 2, 3, 4});
    bus.slave->set_inputs(Bytes{5, 6, 7, 8});
    const auto reply = bus.slave->step(bus.current_request());
    trace::set_sink(&resetting_trace_sink);
    trace::set_enabled(true);
    g_trace_lines_left = p.line;
    g_trace_stop = p.stop;
    g_traced_handler = bus.master.get();
    bus.master->set_reply(reply);
    trace::set_enabled(false);
    trace::set_sink(nullptr);
    ASSERT_EQ(g_traced_handler, nullptr) << "the event has fewer trace lines";
    g_traced_handler = nullptr;
    EXPECT_EQ(bus.master->state(), StateId::Reset);
    EXPECT_EQ(bus.master->running(), !p.stop);
    EXPECT_EQ(bus.input_values(), bus.fail_safe_inputs());
    const Bytes request = bus.current_request();
    EXPECT_EQ(request[0], static_cast<uint8_t>(FSOECommand::RESET));
    EXPECT_EQ(request[1], code_of(BaseError::RESET));
    if (p.stop) return;
    // The reset's session comes up as any other: the chains are in step.
    bus.exchange_process_data(0x20, {9, 10, 11, 12});
    EXPECT_TRUE(bus.drive_to(StateId::Data));
    bus.exchange_process_data(0x20, {9, 10, 11, 12});
    EXPECT_EQ(bus.input_values(), (Bytes{9, 10, 11, 12}));
}

INSTANTIATE_TEST_SUITE_P(HostileCallbacks, TraceSinkResets,
                         // Lines: the reply's CRC check, DATA_OK1, the next request's CRCs.
                         testing::Values(TraceSinkReset{0, false, false}, TraceSinkReset{1, false, false},
                                         TraceSinkReset{2, false, false}, TraceSinkReset{0, true, false},
                                         TraceSinkReset{1, true, false}, TraceSinkReset{2, true, false},
                                         TraceSinkReset{0, false, true}, TraceSinkReset{1, false, true}),
                         [](const testing::TestParamInfo<TraceSinkReset> &info) {
                             return std::string(info.param.stop ? "stop" : "reset") + "_at_line" +
                                    std::to_string(info.param.line) + (info.param.subscribed ? "_subscribed" : "");
                         });

// The watchdog's log sink is host code on the watchdog thread, after the
// expiry's event: one that asks the handler for something while the host
// starts it again must not stall start(), which once waited for the thread
// (5 s) with the mutex held.
std::atomic<MasterHandler *> g_sink_handler{nullptr};
std::atomic<bool> g_in_sink{false};
void statistics_log_sink(std::string_view, std::exception_ptr) {
    MasterHandler *handler = g_sink_handler.exchange(nullptr);
    if (!handler) return;
    g_in_sink = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the host is in start() now
    (void)handler->statistics();
}

TEST(HostileCallbacks, StartIsPromptWhileTheLogSinkWaitsForTheHandler) {
    Bus bus({2, 2, false});
    bus.master = std::make_unique<MasterHandler>(
        bus.dictionary, kSlaveAddress, kConnectionId, 0.01, bus.parameters, [&](std::string_view, std::string_view) {
            bus.master->stop();  // on the watchdog thread: the watchdog goes inactive at once
            throw std::runtime_error("host");
        });
    for (const auto &o : bus.outputs) bus.master->master->dictionary_map->add(o);
    for (const auto &i : bus.inputs) bus.master->slave->dictionary_map->add(i);
    set_watchdog_log_sink(&statistics_log_sink);
    g_in_sink = false;
    g_sink_handler = bus.master.get();
    bus.master->start();
    for (int i = 0; i < 500 && !g_in_sink; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(g_in_sink);
    const auto begin = std::chrono::steady_clock::now();
    bus.master->start();
    const auto took = std::chrono::steady_clock::now() - begin;
    set_watchdog_log_sink(nullptr);
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_TRUE(bus.master->running());
    for (int i = 0; i < 500 && !bus.master->_watchdog()->active(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(bus.master->_watchdog()->active());  // switched on after the event
    bus.master->stop();
}

// delete_watchdog() from a callback ends the watchdog once the outermost event
// has released the mutex (an expiry waiting for it would stall the wait).
TEST(HostileCallbacks, DeleteFromACallbackIsDeferredToTheEventsEnd) {
    Bus bus({2, 2, false});
    std::optional<bool> alive_inside;
    bus.master = std::make_unique<MasterHandler>(
        bus.dictionary, kSlaveAddress, kConnectionId, 1.0, bus.parameters,
        [&](std::string_view, std::string_view) {
            bus.master->delete_watchdog();
            alive_inside = bus.master->_watchdog()->is_alive();
        },
        MasterHandler::StateChangeCallback{}, true, quiet_watchdog());
    for (const auto &o : bus.outputs) bus.master->master->dictionary_map->add(o);
    for (const auto &i : bus.inputs) bus.master->slave->dictionary_map->add(i);
    bus.master->start();
    ASSERT_TRUE(bus.drive_to(StateId::Data));
    bus.slave->inject_unknown_command();
    bus.cycle();
    EXPECT_EQ(alive_inside, std::optional<bool>(true));
    EXPECT_FALSE(bus.master->_watchdog()->is_alive());
    EXPECT_EQ(bus.master->state(), StateId::Reset);
}

// The handler destroyed from the host thread while an expiry's callback runs
// far longer than the watchdog's command wait: the destructor waits for the
// thread, and nothing the callback uses goes before it has returned.
TEST(HostileCallbacks, DestructionWaitsForALongExpiryCallback) {
    struct Guard {
        explicit Guard(std::atomic<bool> &flag) : destroyed(flag) {}
        ~Guard() { destroyed.store(true); }
        std::atomic<bool> &destroyed;
    };
    std::atomic<bool> capture_destroyed{false}, entered{false}, finished{false}, saw_destroyed{false};
    auto guard = std::make_shared<Guard>(capture_destroyed);
    auto factory = [](double timeout_s, Watchdog::Callback callback) {
        auto watchdog = std::make_shared<Watchdog>(timeout_s, std::move(callback), std::chrono::milliseconds(20));
        watchdog->start();
        return watchdog;
    };
    auto dictionary = std::make_shared<Dictionary>(
        std::vector<DictionaryItemPtr>{std::make_shared<DictionaryItemOutput>(1, "out", DataType::UINT8),
                                       std::make_shared<DictionaryItemInput>(2, "in", DataType::UINT8, int64_t{0})});
    auto handler = std::make_unique<MasterHandler>(
        dictionary, kSlaveAddress, kConnectionId, 0.02, std::vector<std::shared_ptr<ApplicationParameter>>{},
        [&, guard](std::string_view, std::string_view) {
            if (entered.exchange(true)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            saw_destroyed.store(capture_destroyed.load());
            finished.store(true);
        },
        MasterHandler::StateChangeCallback{}, true, factory);
    guard.reset();
    handler->master->dictionary_map->add(dictionary->items()[0]);
    handler->slave->dictionary_map->add(dictionary->items()[1]);
    handler->start();
    while (!entered.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    handler.reset();
    EXPECT_TRUE(finished.load());
    EXPECT_FALSE(saw_destroyed.load());
    EXPECT_TRUE(capture_destroyed.load());
}

#ifndef NDEBUG
// The forbidden case fails loudly in a debug build instead of running on in freed memory.
TEST(HostileCallbacksDeathTest, DestroyedInsideItsOwnEventAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Bus bus({2, 2, false});
            bus.master = std::make_unique<MasterHandler>(
                bus.dictionary, kSlaveAddress, kConnectionId, 1.0, bus.parameters, MasterHandler::ErrorCallback{},
                [&](StateId) { bus.master.reset(); }, true, quiet_watchdog());
            for (const auto &o : bus.outputs) bus.master->master->dictionary_map->add(o);
            for (const auto &i : bus.inputs) bus.master->slave->dictionary_map->add(i);
            bus.master->start();
            bus.cycle();
        },
        "destroyed inside one of its own events");
}
#endif

// A hostile reply length costs no allocation, and a long reply handed over
// again is still recognised as the same one.
TEST(UnreadableReply, LongRepliesAreComparedWithoutAllocating) {
    auto dictionary = std::make_shared<Dictionary>(
        std::vector<DictionaryItemPtr>{std::make_shared<DictionaryItemOutput>(1, "out", DataType::UINT8),
                                       std::make_shared<DictionaryItemInput>(2, "in", DataType::UINT8, int64_t{0})});
    MasterHandler handler(dictionary, kSlaveAddress, kConnectionId, 1.0, {}, {}, {}, true, quiet_watchdog());
    handler.master->dictionary_map->add(dictionary->items()[0]);
    handler.slave->dictionary_map->add(dictionary->items()[1]);
    handler.start();
    Bytes huge(200000, 0x2A);
    test::count_allocations(true);
    handler.set_reply(huge);
    handler.set_reply(huge);
    test::count_allocations(false);
    EXPECT_EQ(test::allocations(), 0);
    EXPECT_EQ(handler.statistics().cycles, 1u);
    huge.back() ^= 1;  // the same length and first bytes, another reply
    handler.set_reply(huge);
    EXPECT_EQ(handler.statistics().cycles, 2u);
    huge.resize(huge.size() - 1);
    handler.set_reply(huge);
    EXPECT_EQ(handler.statistics().cycles, 3u);
    handler.stop();
}

}  // namespace
}  // namespace kestrel
