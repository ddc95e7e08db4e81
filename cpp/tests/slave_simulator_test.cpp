// The software slave driven by hand-built master frames. MasterStub chains its
// frames as the master does: Reset frames and the Session frames of a session
// begun from Reset without the CRC_0 skip, every later frame with it; the
// seed of each request is the CRC_0 of the last reply and vice versa.
#include "kestrel/sim/slave_simulator.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "alloc_counter.hpp"
#include "kestrel/common/error.hpp"
#include "kestrel/setup/dynamic_map.hpp"

using namespace kestrel;
using namespace kestrel::sim;

namespace {

using Bytes = std::vector<uint8_t>;

// The reset reasons as the slave sends them.
constexpr uint8_t RESET = code_of(BaseError::RESET), INVALID_CMD = code_of(BaseError::INVALID_CMD),
                  UNKNOWN_CMD = code_of(BaseError::UNKNOWN_CMD), INVALID_CONNID = code_of(BaseError::INVALID_CONNID),
                  INVALID_CRC = code_of(BaseError::INVALID_CRC), WD_EXPIRED = code_of(BaseError::WD_EXPIRED),
                  INVALID_ADDRESS = code_of(BaseError::INVALID_ADDRESS),
                  INVALID_DATA = code_of(BaseError::INVALID_DATA),
                  INVALID_COMMPARALEN = code_of(BaseError::INVALID_COMMPARALEN),
                  INVALID_COMPARA = code_of(BaseError::INVALID_COMPARA),
                  INVALID_USERPARALEN = code_of(BaseError::INVALID_USERPARALEN),
                  INVALID_USERPARA = code_of(BaseError::INVALID_USERPARA);

struct Reply {
    bool crc_ok = false;
    uint16_t command = 0;
    uint16_t connection_id = 0;
    std::array<uint8_t, MAX_DATA_BYTES> data{};
    Bytes wire;
};

class MasterStub {
public:
    MasterStub(uint16_t out, uint16_t in)
        : req(FSOE_GetFrameSizeBytes(out)), rep(FSOE_GetFrameSizeBytes(in)), per_frame(std::min(out, in)) {
        go_reset();
    }

    FSOEFrame req;  // the request being built
    FSOEFrame rep;  // the last reply, with the sequence number and seed expected next
    uint16_t per_frame;
    std::optional<uint16_t> master_last, slave_last;
    bool in_reset = true;
    bool cyclic = false;
    int rx_skips = 0;

    // Also after a fault found in a reply: the mended restart (see RuleMaster).
    void go_reset() {
        master_last.reset();
        req.control.set_crc0(0), rep.control.set_crc0(0);
        req.control.set_sequence_number(1), rep.control.set_sequence_number(1);
        in_reset = true;
        cyclic = false;
    }
    // A new session after the slave reset the connection: both chains restart,
    // the cyclic rule stays as it was, and the next reply is expected with
    // number 1 (the mended restart, see RuleMaster; `reply()` has already
    // moved the number on for the Reset frame).
    void restart_session() {
        req.control.set_crc0(0), rep.control.set_crc0(0);
        req.control.set_sequence_number(1), rep.control.set_sequence_number(1);
        in_reset = false;
    }

    Bytes request(FSOECommand command, const Bytes &data, uint16_t connection_id) {
        req.set_safe_data_bytes(data);
        req.control.set_command(command);
        req.control.set_connection_id(connection_id);
        if (cyclic) {
            req.generate_crcs_cyclic(*master_last);
        } else {
            req.generate_crcs();
        }
        master_last = req.crcs.get(0);
        if (!in_reset) {
            rep.control.set_crc0(req.crcs.get(0));
            req.control.increment_sequence_number();
        }
        std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> out;
        const size_t n = req.frame_to_array(out);
        return Bytes(out.begin(), out.begin() + static_cast<long>(n));
    }

    Reply reply(std::span<const uint8_t> wire) {
        Reply r;
        r.wire.assign(wire.begin(), wire.end());
        rep.frame_from_array(wire);
        if (!in_reset) req.control.set_crc0(rep.crcs.get(0));
        const uint16_t before = rep.control.sequence_number();
        // Replies in Reset are taken on their command alone: no chain to check.
        r.crc_ok = in_reset ? rep.check_crcs() : slave_last ? rep.check_crcs_cyclic(*slave_last) : rep.check_crcs();
        if (rep.control.sequence_number() != before) ++rx_skips;
        if (!in_reset) rep.control.increment_sequence_number();
        slave_last = rep.crcs.get(0);
        r.command = rep.control.raw_command();
        r.connection_id = rep.control.connection_id();
        r.data = rep.get_safe_data_bytes();
        return r;
    }
};

Bytes u16le(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes parameter_data(uint16_t watchdog, const Bytes &params, uint16_t comm_len = 2,
                     std::optional<uint16_t> app_len = {}) {
    Bytes comm = u16le(watchdog);
    comm.resize(comm_len, 0);
    return cat(cat(cat(u16le(comm_len), comm), u16le(app_len.value_or(static_cast<uint16_t>(params.size())))), params);
}

constexpr uint16_t kAddress = 0x0305;
constexpr uint16_t kConnId = 0x1234;
constexpr uint16_t kWatchdog = 100;
const Bytes kParams{0x11, 0x22, 0x33, 0x44, 0x55};

SlaveConfig config_for(uint16_t out, uint16_t in) {
    SlaveConfig c;
    c.slave_address = kAddress;
    c.output_size = out;
    c.input_size = in;
    c.application_parameters = kParams;
    c.watchdog_min_ms = 10;
    c.watchdog_max_ms = 1000;
    c.manual_clock = true;
    c.seed = 7;
    return c;
}

// A master and the slave, with the steps of a connection.
struct Link {
    Link(uint16_t out, uint16_t in) : Link(config_for(out, in)) {}
    explicit Link(SlaveConfig c) : slave(c), m(c.output_size, c.input_size) {}

    SlaveSimulator slave;
    MasterStub m;

    Reply exchange(FSOECommand command, const Bytes &data, uint16_t connection_id) {
        return m.reply(slave.step(m.request(command, data, connection_id)));
    }
    // Sends `stream` cut into frames; returns every reply.
    std::vector<Reply> transfer(FSOECommand command, const Bytes &stream, uint16_t connection_id) {
        std::vector<Reply> replies;
        for (size_t at = 0; at < stream.size(); at += m.per_frame) {
            const auto end = stream.begin() + static_cast<long>(std::min(stream.size(), at + m.per_frame));
            replies.push_back(exchange(command, Bytes(stream.begin() + static_cast<long>(at), end), connection_id));
            if (replies.back().command == static_cast<uint16_t>(FSOECommand::RESET)) break;
        }
        return replies;
    }
    Reply reset(uint8_t code = 0) {
        m.go_reset();
        return exchange(FSOECommand::RESET, {code, 0}, 0);
    }
    void session(uint16_t id = 0xBEEF) {
        m.in_reset = false;
        for (const Reply &r : transfer(FSOECommand::SESSION, u16le(id), 0)) {
            ASSERT_TRUE(r.crc_ok);
            ASSERT_EQ(r.command, static_cast<uint16_t>(FSOECommand::SESSION));
        }
        m.cyclic = true;
    }
    void expect_echoes(const std::vector<Reply> &replies, const Bytes &stream, FSOECommand command) {
        for (size_t i = 0; i < replies.size(); ++i) {
            ASSERT_TRUE(replies[i].crc_ok) << i;
            ASSERT_EQ(replies[i].command, static_cast<uint16_t>(command)) << i;
            ASSERT_EQ(replies[i].connection_id, kConnId);
            for (size_t j = 0; j < m.per_frame && i * m.per_frame + j < stream.size(); ++j)
                ASSERT_EQ(replies[i].data[j], stream[i * m.per_frame + j]);
        }
    }
    void connection() {
        const Bytes stream = cat(u16le(kConnId), u16le(kAddress));
        expect_echoes(transfer(FSOECommand::CONNECTION, stream, kConnId), stream, FSOECommand::CONNECTION);
    }
    void parameters() {
        const Bytes stream = parameter_data(kWatchdog, kParams);
        expect_echoes(transfer(FSOECommand::PARAMETER, stream, kConnId), stream, FSOECommand::PARAMETER);
    }
    void to_data() {
        reset();
        session();
        connection();
        parameters();
        const Reply r = exchange(FSOECommand::FAILSAFE_DATA, {}, kConnId);
        ASSERT_TRUE(r.crc_ok);
        ASSERT_EQ(slave.state(), SlaveState::Data);
    }
    void expect_reset(const Reply &r, uint8_t code) {
        EXPECT_EQ(r.command, static_cast<uint16_t>(FSOECommand::RESET));
        EXPECT_EQ(r.data[0], code);
        EXPECT_EQ(slave.state(), SlaveState::Reset);
        EXPECT_EQ(slave.last_reset_sent(), code);
    }
};

using Sizes = std::pair<uint16_t, uint16_t>;  // master's safe data, slave's safe data

class Handshake : public ::testing::TestWithParam<Sizes> {};

TEST_P(Handshake, ReachesDataAndExchangesProcessData) {
    const auto [out, in] = GetParam();
    Link l(out, in);
    const Reply ack = l.reset(4);
    EXPECT_EQ(ack.command, static_cast<uint16_t>(FSOECommand::RESET));
    EXPECT_EQ(ack.data[0], 0);
    EXPECT_EQ(l.slave.last_reset_received(), 4);

    l.m.in_reset = false;
    const auto session = l.transfer(FSOECommand::SESSION, u16le(0xBEEF), 0);
    ASSERT_EQ(session.size(), l.m.per_frame == 1 ? 2u : 1u);
    const uint16_t sid = l.slave.slave_session_id();
    EXPECT_EQ(session[0].data[0], static_cast<uint8_t>(sid));  // low byte first
    EXPECT_EQ(l.m.per_frame == 1 ? session[1].data[0] : session[0].data[1], static_cast<uint8_t>(sid >> 8));
    for (const Reply &r : session) EXPECT_TRUE(r.crc_ok);
    EXPECT_EQ(l.slave.master_session_id(), 0xBEEF);
    EXPECT_EQ(l.slave.state(), SlaveState::Session);
    l.m.cyclic = true;

    l.connection();
    EXPECT_EQ(l.slave.state(), SlaveState::Connection);
    EXPECT_EQ(l.slave.connection_id(), kConnId);
    l.parameters();
    EXPECT_EQ(l.slave.state(), SlaveState::Parameter);
    EXPECT_EQ(l.slave.watchdog_ms(), std::nullopt);  // judged on the first Data frame

    Bytes outputs(out), inputs(in);
    for (size_t i = 0; i < in; ++i) inputs[i] = static_cast<uint8_t>(0xA0 + i);
    l.slave.set_inputs(inputs);
    for (int cycle = 0; cycle < 50; ++cycle) {
        for (size_t i = 0; i < out; ++i) outputs[i] = static_cast<uint8_t>(cycle * 3 + i);
        if (cycle == 10) l.slave.set_process_data(true);
        const bool fail_safe = cycle >= 30;
        const Reply r =
            l.exchange(fail_safe ? FSOECommand::FAILSAFE_DATA : FSOECommand::PROCESS_DATA, outputs, kConnId);
        ASSERT_TRUE(r.crc_ok) << cycle;
        ASSERT_EQ(l.slave.state(), SlaveState::Data);
        ASSERT_EQ(l.slave.watchdog_ms(), kWatchdog);
        ASSERT_EQ(r.connection_id, kConnId);
        const bool pd = cycle >= 10;
        ASSERT_EQ(r.command, static_cast<uint16_t>(pd ? FSOECommand::PROCESS_DATA : FSOECommand::FAILSAFE_DATA));
        ASSERT_TRUE(std::equal(r.data.begin(), r.data.begin() + in, pd ? inputs.begin() : Bytes(in).begin()));
        const auto got = l.slave.outputs();
        ASSERT_TRUE(std::equal(got.begin(), got.end(), fail_safe ? Bytes(out).begin() : outputs.begin()));
    }
    EXPECT_EQ(l.slave.counters().errors, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Handshake,
                         ::testing::Values(Sizes{1, 1}, Sizes{2, 2}, Sizes{16, 16}, Sizes{2, 16}, Sizes{16, 1},
                                           Sizes{1, 2}, Sizes{4, 6}));

// --- each error the slave reports, at 1, 2 and 16 bytes per frame ----------

class Errors : public ::testing::TestWithParam<uint16_t> {
protected:
    Link l{GetParam(), GetParam()};
    uint16_t n() const { return GetParam(); }
};

TEST_P(Errors, WrongCommandForState) {
    l.reset();
    l.expect_reset(l.exchange(FSOECommand::CONNECTION, {0, 0}, kConnId), INVALID_CMD);  // Reset state
    l.reset();
    l.session();
    l.expect_reset(l.exchange(FSOECommand::PARAMETER, {0, 0}, kConnId), INVALID_CMD);
    l.reset();
    l.session();
    l.connection();
    l.expect_reset(l.exchange(FSOECommand::PROCESS_DATA, {}, kConnId), INVALID_CMD);
    l.to_data();
    l.expect_reset(l.exchange(FSOECommand::CONNECTION, {}, kConnId), INVALID_CMD);
}

// A Session frame after the Session state can only start a new chain: one that
// does not is a broken frame (4), whether it continues the current chain or
// is corrupted; one that does starts a new session.
TEST_P(Errors, SessionFrameLaterIsANewChainOrBroken) {
    const std::vector<std::pair<const char *, std::function<void(Link &)>>> states{
        {"Connection",
         [](Link &k) {
             k.reset();
             k.session();
             k.exchange(FSOECommand::CONNECTION, u16le(kConnId), kConnId);
         }},
        {"Parameter",
         [](Link &k) {
             k.reset();
             k.session();
             k.connection();
             k.exchange(FSOECommand::PARAMETER, u16le(2), kConnId);
         }},
        {"Data", [](Link &k) { k.to_data(); }},
    };
    for (const auto &[name, reach] : states) {
        SCOPED_TRACE(name);
        reach(l);
        ASSERT_NE(l.slave.state(), SlaveState::Reset);
        // The master's next frame in its chain, with the Session command.
        l.expect_reset(l.exchange(FSOECommand::SESSION, {1, 2}, 0), INVALID_CRC);

        reach(l);
        l.m.restart_session();
        Bytes wire = l.m.request(FSOECommand::SESSION, {1, 2}, 0);
        wire[1] ^= 0x40;  // a fresh chain, corrupted
        l.expect_reset(l.m.reply(l.slave.step(wire)), INVALID_CRC);

        reach(l);
        l.m.restart_session();
        const Reply r = l.exchange(FSOECommand::SESSION, {0x0D, 0xF0}, 0);
        EXPECT_TRUE(r.crc_ok);
        EXPECT_EQ(r.command, static_cast<uint16_t>(FSOECommand::SESSION));
        EXPECT_EQ(l.slave.state(), SlaveState::Session);
        if (n() >= 2) {
            EXPECT_EQ(l.slave.master_session_id(), 0xF00D);
        }
    }
}

TEST_P(Errors, IncompleteSetUpDataIsWrongCommand) {
    if (n() >= 4) GTEST_SKIP() << "Connection data fit in one frame";
    l.reset();
    l.session();
    l.exchange(FSOECommand::CONNECTION, {0x34}, kConnId);
    l.expect_reset(l.exchange(FSOECommand::PARAMETER, {2}, kConnId), INVALID_CMD);
    l.reset();
    l.session();
    l.connection();
    l.exchange(FSOECommand::PARAMETER, {2}, kConnId);
    l.expect_reset(l.exchange(FSOECommand::FAILSAFE_DATA, {}, kConnId), INVALID_CMD);
}

TEST_P(Errors, UnknownCommand) {
    l.reset();
    l.session();
    l.connection();
    const Bytes wire = l.m.request(FSOECommand::PARAMETER, {2, 0}, kConnId);
    Bytes bad = wire;
    bad[0] = 0x77;
    l.expect_reset(l.m.reply(l.slave.step(bad)), UNKNOWN_CMD);
    bad[0] = 0x00;
    l.expect_reset(l.m.reply(l.slave.step(bad)), UNKNOWN_CMD);  // also in Reset
}

TEST_P(Errors, ConnectionId) {
    l.reset();
    l.session();
    l.expect_reset(l.exchange(FSOECommand::CONNECTION, u16le(kConnId), 0), INVALID_CONNID);

    l.reset();
    l.session();
    const Bytes stream = cat(u16le(kConnId), u16le(kAddress));
    if (n() < 4) {  // the field changes between Connection frames
        l.exchange(FSOECommand::CONNECTION, Bytes(stream.begin(), stream.begin() + n()), kConnId);
        l.expect_reset(
            l.exchange(FSOECommand::CONNECTION, Bytes(stream.begin() + n(), stream.begin() + 2 * n()), kConnId + 1),
            INVALID_CONNID);
        l.reset();
        l.session();
    }
    // The field is consistent but differs from the id in the data: every later frame is refused.
    const Bytes other = cat(u16le(0x4321), u16le(kAddress));
    for (const Reply &r : l.transfer(FSOECommand::CONNECTION, other, kConnId)) ASSERT_TRUE(r.crc_ok);
    EXPECT_EQ(l.slave.connection_id(), 0x4321);
    l.expect_reset(l.exchange(FSOECommand::PARAMETER, {2, 0}, kConnId), INVALID_CONNID);

    l.to_data();
    l.expect_reset(l.exchange(FSOECommand::PROCESS_DATA, Bytes(n()), kConnId ^ 0x100), INVALID_CONNID);
}

TEST_P(Errors, CrcSequenceAndChain) {
    l.reset();
    l.session();
    Bytes wire = l.m.request(FSOECommand::CONNECTION, u16le(kConnId), kConnId);
    wire[n() == 1 ? 2 : 3] ^= 0x01;  // CRC_0
    l.expect_reset(l.m.reply(l.slave.step(wire)), INVALID_CRC);

    l.to_data();
    l.m.req.control.increment_sequence_number();  // the master skips a number
    l.expect_reset(l.exchange(FSOECommand::PROCESS_DATA, Bytes(n()), kConnId), INVALID_CRC);

    l.to_data();
    const Bytes old = l.m.request(FSOECommand::PROCESS_DATA, Bytes(n(), 1), kConnId);
    l.m.reply(l.slave.step(old));
    l.exchange(FSOECommand::PROCESS_DATA, Bytes(n(), 2), kConnId);
    l.expect_reset(l.m.reply(l.slave.step(old)), INVALID_CRC);  // a replayed request

    l.to_data();
    l.expect_reset(l.m.reply(l.slave.step(Bytes(FSOE_GetFrameSizeBytes(n()) + 2, 0x36))), INVALID_CRC);

    // A broken Session frame in Reset and in Session.
    l.reset();
    l.m.in_reset = false;
    wire = l.m.request(FSOECommand::SESSION, {1, 2}, 0);
    wire[1] ^= 0x80;
    l.expect_reset(l.m.reply(l.slave.step(wire)), INVALID_CRC);
    if (n() == 1) {
        l.reset();
        l.m.in_reset = false;
        l.exchange(FSOECommand::SESSION, {1}, 0);
        wire = l.m.request(FSOECommand::SESSION, {2}, 0);
        wire[1] ^= 0x80;
        l.expect_reset(l.m.reply(l.slave.step(wire)), INVALID_CRC);
    }
}

TEST_P(Errors, WatchdogOnlyInData) {
    l.reset();
    l.session();
    l.connection();
    l.slave.advance(5000);  // not supervised before Data
    l.parameters();
    l.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n()), kConnId);
    l.slave.advance(kWatchdog - 1);  // still in time
    ASSERT_TRUE(l.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n()), kConnId).crc_ok);
    ASSERT_EQ(l.slave.state(), SlaveState::Data);
    l.slave.advance(kWatchdog);  // exactly the watchdog time since that frame: expired
    // Checked before the frame, even when the master's request has not changed.
    const Bytes last(l.slave.reply().begin(), l.slave.reply().end());
    const Reply r = l.m.reply(l.slave.step(Bytes(l.slave.reply().begin(), l.slave.reply().end())));
    l.expect_reset(r, WD_EXPIRED);
    EXPECT_NE(r.wire, last);
}

TEST_P(Errors, SlaveAddress) {
    l.reset();
    l.session();
    const Bytes stream = cat(u16le(kConnId), u16le(kAddress + 1));
    // Every Connection frame is echoed as sent, the wrong address included ...
    l.expect_echoes(l.transfer(FSOECommand::CONNECTION, stream, kConnId), stream, FSOECommand::CONNECTION);
    EXPECT_EQ(l.slave.state(), SlaveState::Connection);
    // ... and the address is judged when the first Parameter frame arrives.
    l.expect_reset(l.exchange(FSOECommand::PARAMETER, u16le(2), kConnId), INVALID_ADDRESS);
}

struct ParameterCase {
    const char *name;
    Bytes stream;
    uint8_t code;
};

// The lengths are judged against the configuration (2 bytes of communication
// parameters, kParams.size() of application parameters), whatever number of
// bytes the length fields announce.
TEST_P(Errors, ParametersJudgedInOrderOnFirstDataFrame) {
    const Bytes wrong{0x11, 0x22, 0x33, 0x44, 0x56};
    // Length fields that do not tell the bytes that follow.
    const Bytes comm_field_too_long = cat(cat(cat(u16le(4), u16le(kWatchdog)), u16le(5)), kParams);
    const std::vector<ParameterCase> cases{
        {"comm length", parameter_data(kWatchdog, kParams, 4), INVALID_COMMPARALEN},
        {"comm length before app length", parameter_data(kWatchdog, Bytes{1}, 4), INVALID_COMMPARALEN},
        {"comm length field only", comm_field_too_long, INVALID_COMMPARALEN},
        {"comm length 0", parameter_data(kWatchdog, kParams, 0), INVALID_COMMPARALEN},
        {"app length", parameter_data(kWatchdog, Bytes{1, 2, 3}), INVALID_USERPARALEN},
        {"app length longer", parameter_data(kWatchdog, cat(kParams, {6, 7})), INVALID_USERPARALEN},
        {"app length field only", parameter_data(kWatchdog, kParams, 2, 9), INVALID_USERPARALEN},
        {"app length before watchdog", parameter_data(5, Bytes{1, 2, 3}), INVALID_USERPARALEN},
        {"watchdog below", parameter_data(9, kParams), INVALID_COMPARA},
        {"watchdog above", parameter_data(1001, kParams), INVALID_COMPARA},
        {"watchdog before values", parameter_data(1001, wrong), INVALID_COMPARA},
        {"values", parameter_data(kWatchdog, wrong), INVALID_USERPARA},
        // Right lengths, too few bytes: data out of turn (in one frame the
        // missing bytes are the frame's padding, so the values are wrong).
        {"incomplete", parameter_data(kWatchdog, Bytes{1, 2, 3}, 2, 5), n() < 16 ? INVALID_CMD : INVALID_USERPARA},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        l.reset();
        l.session();
        l.connection();
        const uint64_t resets_before = l.slave.counters().resets_sent;
        const auto replies = l.transfer(FSOECommand::PARAMETER, c.stream, kConnId);
        // Every Parameter frame is echoed as sent, wrong data included.
        ASSERT_EQ(replies.size(), (c.stream.size() + n() - 1) / n());
        l.expect_echoes(replies, c.stream, FSOECommand::PARAMETER);
        EXPECT_EQ(l.slave.state(), SlaveState::Parameter);
        EXPECT_EQ(l.slave.counters().resets_sent, resets_before);
        l.expect_reset(l.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n()), kConnId), c.code);
        EXPECT_EQ(l.slave.watchdog_ms(), std::nullopt);
    }
}

// The first Data frame is judged as a frame before the parameters are: a
// broken one is refused for what is wrong with it.
TEST_P(Errors, FirstDataFrameCheckedBeforeTheParameters) {
    for (const bool crc : {false, true}) {
        SCOPED_TRACE(crc);
        l.reset();
        l.session();
        l.connection();
        l.transfer(FSOECommand::PARAMETER, parameter_data(9, kParams), kConnId);
        Bytes wire = l.m.request(FSOECommand::FAILSAFE_DATA, Bytes(n()), crc ? kConnId : kConnId + 1);
        if (crc) wire[1] ^= 0x01;
        l.expect_reset(l.m.reply(l.slave.step(wire)), crc ? INVALID_CRC : INVALID_CONNID);
    }
}

TEST_P(Errors, HostParameterCheck) {
    for (const auto &[verdict, code] :
         std::vector<std::pair<int, uint8_t>>{{0x85, 0x85}, {3, INVALID_USERPARA}, {0x100, INVALID_USERPARA}}) {
        SlaveConfig c = config_for(n(), n());
        std::vector<Bytes> seen;
        c.check_parameters = [&, verdict = verdict](std::span<const uint8_t> p) {
            seen.emplace_back(p.begin(), p.end());
            return verdict;
        };
        Link k(c);
        k.reset();
        k.session();
        k.connection();
        k.parameters();  // every frame echoed
        EXPECT_TRUE(seen.empty());
        k.expect_reset(k.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n()), kConnId), code);
        EXPECT_EQ(seen, std::vector<Bytes>{kParams});
    }
    SlaveConfig c = config_for(n(), n());
    int calls = 0;
    c.check_parameters = [&calls](std::span<const uint8_t>) {
        ++calls;
        return 0;
    };
    Link k(c);
    k.to_data();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(k.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n()), kConnId).crc_ok);
    EXPECT_EQ(calls, 1);  // once per parameter set

    c.check_parameters = [](std::span<const uint8_t>) -> int { throw std::runtime_error("broken"); };
    Link b(c);
    b.reset();
    b.session();
    b.connection();
    b.parameters();
    b.expect_reset(b.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n()), kConnId), INVALID_USERPARA);
}

TEST_P(Errors, MasterResetAndNewSessionFromAnyState) {
    l.to_data();
    l.slave.set_process_data(true);
    l.exchange(FSOECommand::PROCESS_DATA, Bytes(n(), 9), kConnId);
    const Reply ack = l.reset(7);
    EXPECT_EQ(ack.command, static_cast<uint16_t>(FSOECommand::RESET));
    EXPECT_EQ(ack.data[0], 0);
    EXPECT_EQ(l.slave.state(), SlaveState::Reset);
    EXPECT_EQ(l.slave.last_reset_received(), 7);
    EXPECT_EQ(l.slave.last_reset_reason(), 7);
    EXPECT_FALSE(l.slave.process_data());
    EXPECT_TRUE(std::ranges::all_of(l.slave.outputs(), [](uint8_t b) { return b == 0; }));

    // A fresh chain, made with the skip as after a reset by the slave, restarts from Data.
    l.to_data();
    l.slave.set_process_data(true);
    const uint16_t old_sid = l.slave.slave_session_id();
    l.m.restart_session();
    for (const Reply &r : l.transfer(FSOECommand::SESSION, u16le(0x0102), 0)) ASSERT_TRUE(r.crc_ok);
    EXPECT_EQ(l.slave.state(), SlaveState::Session);
    EXPECT_EQ(l.slave.master_session_id(), 0x0102);
    EXPECT_NE(l.slave.slave_session_id(), old_sid);
    EXPECT_FALSE(l.slave.process_data());
    l.connection();
    l.parameters();
    EXPECT_TRUE(l.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n()), kConnId).crc_ok);
    EXPECT_EQ(l.slave.state(), SlaveState::Data);
}

INSTANTIATE_TEST_SUITE_P(BytesPerFrame, Errors, ::testing::Values(1, 2, 16));

// --- chains -------------------------------------------------------------------

TEST(SlaveChain, IdenticalFrameIsNotNew) {
    Link l(2, 2);
    l.to_data();
    const Bytes wire = l.m.request(FSOECommand::FAILSAFE_DATA, {0, 0}, kConnId);
    const Bytes first(l.slave.step(wire).begin(), l.slave.reply().end());
    const auto sent = l.slave.counters().frames_sent;
    EXPECT_EQ(Bytes(l.slave.step(wire).begin(), l.slave.reply().end()), first);
    EXPECT_EQ(l.slave.counters().frames_sent, sent);
    EXPECT_EQ(l.slave.counters().frames_repeated, 1u);
    EXPECT_TRUE(l.m.reply(first).crc_ok);
    EXPECT_TRUE(l.exchange(FSOECommand::FAILSAFE_DATA, {0, 0}, kConnId).crc_ok);
}

TEST(SlaveChain, SequenceNumbersWrapAndSkipsStayInStep) {
    Link l(2, 2);
    l.to_data();
    l.slave.set_process_data(true);
    int wraps = 0;
    for (uint32_t cycle = 0; cycle < 70000; ++cycle) {
        const uint16_t v = static_cast<uint16_t>(cycle * 40503u);
        l.slave.set_inputs(u16le(static_cast<uint16_t>(v ^ 0x5A5A)));
        const uint16_t seq = l.m.rep.control.sequence_number();
        const Reply r = l.exchange(FSOECommand::PROCESS_DATA, u16le(v), kConnId);
        ASSERT_TRUE(r.crc_ok) << cycle;
        ASSERT_NE(l.m.rep.control.sequence_number(), 0);
        wraps += l.m.rep.control.sequence_number() < seq;
        l.slave.advance(1);
    }
    EXPECT_EQ(wraps, 1);
    EXPECT_EQ(l.slave.counters().errors, 0u);
}

// Finds the 2-byte data that give a frame the CRC_0 `target`.
Bytes data_for_crc0(FSOECommand command, uint16_t seq, uint16_t seed, uint16_t connection_id, uint16_t target) {
    FSOE_SFrame f{};
    f.u16DataSizeBytes = 2;
    f.sControl = {static_cast<uint16_t>(command), seq, connection_id, seed};
    for (uint32_t d = 0; d <= 0xFFFF; ++d) {
        f.au16Data[0] = static_cast<uint16_t>(d);
        if (FSOE_FrameCalcCrc0(&f) == target) return u16le(static_cast<uint16_t>(d));
    }
    ADD_FAILURE() << "no data give that CRC_0";
    return {};
}

TEST(SlaveChain, SendingSkipWhenCrc0WouldRepeat) {
    Link l(2, 2);
    l.to_data();
    l.slave.set_process_data(true);
    const Bytes wire = l.m.request(FSOECommand::FAILSAFE_DATA, {0, 0}, kConnId);
    l.slave.set_inputs(data_for_crc0(FSOECommand::PROCESS_DATA, l.m.rep.control.sequence_number(),
                                     l.m.rep.control.crc0(), kConnId, *l.m.slave_last));
    EXPECT_TRUE(l.m.reply(l.slave.step(wire)).crc_ok);
    EXPECT_EQ(l.m.rx_skips, 1);
    EXPECT_TRUE(l.exchange(FSOECommand::FAILSAFE_DATA, {0, 0}, kConnId).crc_ok);
    EXPECT_EQ(l.slave.state(), SlaveState::Data);
}

TEST(SlaveChain, ReceivingSkipWhenMasterCrc0WouldRepeat) {
    Link l(2, 2);
    l.to_data();
    const uint16_t seq = l.m.req.control.sequence_number();
    const Bytes outputs =
        data_for_crc0(FSOECommand::PROCESS_DATA, seq, l.m.req.control.crc0(), kConnId, *l.m.master_last);
    EXPECT_TRUE(l.exchange(FSOECommand::PROCESS_DATA, outputs, kConnId).crc_ok);
    EXPECT_EQ(l.m.req.control.sequence_number(), seq + 2);  // the master did skip
    EXPECT_EQ(Bytes(l.slave.outputs().begin(), l.slave.outputs().end()), outputs);
    EXPECT_TRUE(l.exchange(FSOECommand::PROCESS_DATA, outputs, kConnId).crc_ok);
    EXPECT_EQ(l.slave.state(), SlaveState::Data);
}

// A session begun from Reset is sent without the skip, one begun after a reset
// by the slave with it: the slave takes a fresh Session frame either way.
TEST(SlaveChain, FreshSessionFrameWithOrWithoutSkip) {
    for (const bool cyclic : {false, true}) {
        SCOPED_TRACE(cyclic);
        Link l(2, 2);
        l.reset();
        l.m.in_reset = false;
        l.m.cyclic = cyclic;
        const Bytes sid = data_for_crc0(FSOECommand::SESSION, 1, 0, 0, *l.m.master_last);
        const Reply r = l.exchange(FSOECommand::SESSION, sid, 0);
        EXPECT_TRUE(r.crc_ok);
        EXPECT_EQ(l.slave.state(), SlaveState::Session);
        EXPECT_EQ(l.m.req.control.sequence_number(), cyclic ? 3 : 2);
        l.m.cyclic = true;
        l.connection();
        EXPECT_EQ(l.slave.state(), SlaveState::Connection);
    }
}

// --- fault injection ----------------------------------------------------------

// Two slaves with the same seed answer alike; faults go into the second only.
struct Twin {
    Link a{config_for(2, 2)};
    SlaveSimulator b{config_for(2, 2)};
    Bytes expected, got;
    Reply step(FSOECommand command, const Bytes &data, uint16_t connection_id) {
        const Bytes wire = a.m.request(command, data, connection_id);
        const auto ra = a.slave.step(wire);
        const auto rb = b.step(wire);
        expected.assign(ra.begin(), ra.end());
        got.assign(rb.begin(), rb.end());
        return a.m.reply(got);
    }
    void to_connection() {
        step(FSOECommand::RESET, {0, 0}, 0);
        a.m.in_reset = false;
        step(FSOECommand::SESSION, {1, 2}, 0);
        a.m.cyclic = true;
    }
};

TEST(SlaveFaults, BitFlipBreaksCrcOnly) {
    Twin t;
    t.to_connection();
    t.b.inject_bit_flip(8 * 1 + 3);
    const Reply r = t.step(FSOECommand::CONNECTION, u16le(kConnId), kConnId);
    EXPECT_FALSE(r.crc_ok);
    ASSERT_EQ(t.got.size(), t.expected.size());
    EXPECT_EQ(t.got[1], t.expected[1] ^ 0x08);
    t.expected[1] = t.got[1];
    EXPECT_EQ(t.got, t.expected);
    EXPECT_THROW(t.b.inject_bit_flip(7 * 8), Error);
}

TEST(SlaveFaults, ContentFaultsKeepValidCrcs) {
    struct Case {
        const char *name;
        std::function<void(SlaveSimulator &)> inject;
        std::function<void(const Reply &)> check;
    };
    const std::vector<Case> cases{
        {"connection id", [](SlaveSimulator &s) { s.inject_wrong_connection_id(); },
         [](const Reply &r) { EXPECT_EQ(r.connection_id, kConnId + 1); }},
        {"given connection id", [](SlaveSimulator &s) { s.inject_wrong_connection_id(0x0777); },
         [](const Reply &r) { EXPECT_EQ(r.connection_id, 0x0777); }},
        {"echo", [](SlaveSimulator &s) { s.inject_wrong_echo(1); },
         [](const Reply &r) {
             EXPECT_EQ(r.data[0], 0x34);
             EXPECT_EQ(r.data[1], 0x12 ^ 0xFF);
         }},
        {"unknown command", [](SlaveSimulator &s) { s.inject_unknown_command(); },
         [](const Reply &r) { EXPECT_EQ(r.command, 0xFF); }},
        {"command of another state", [](SlaveSimulator &s) { s.inject_wrong_command(); },
         [](const Reply &r) { EXPECT_EQ(r.command, static_cast<uint16_t>(FSOECommand::PARAMETER)); }},
        {"given command", [](SlaveSimulator &s) { s.inject_wrong_command(FSOECommand::SESSION); },
         [](const Reply &r) { EXPECT_EQ(r.command, static_cast<uint16_t>(FSOECommand::SESSION)); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Twin t;
        t.to_connection();
        c.inject(t.b);
        const Reply r = t.step(FSOECommand::CONNECTION, u16le(kConnId), kConnId);
        EXPECT_TRUE(r.crc_ok);
        c.check(r);
        EXPECT_NE(t.got, t.expected);
        EXPECT_FALSE(t.b.faults_pending());
        // Applied once only: the next reply is genuine again (the master follows the faulty one's chain).
        const Reply next = t.step(FSOECommand::CONNECTION, u16le(kAddress), kConnId);
        EXPECT_TRUE(next.crc_ok);
        EXPECT_EQ(next.command, static_cast<uint16_t>(FSOECommand::CONNECTION));
        EXPECT_EQ(next.connection_id, kConnId);
        EXPECT_EQ(Bytes(next.data.begin(), next.data.begin() + 2), u16le(kAddress));
    }
}

TEST(SlaveFaults, CountCoversSeveralReplies) {
    Twin t;
    t.to_connection();
    t.b.inject_wrong_echo(0, 2);
    t.step(FSOECommand::CONNECTION, u16le(kConnId), kConnId);
    EXPECT_NE(t.got, t.expected);
    t.step(FSOECommand::CONNECTION, u16le(kAddress), kConnId);
    EXPECT_NE(t.got, t.expected);
    const Reply third = t.step(FSOECommand::PARAMETER, {2, 0}, kConnId);
    EXPECT_TRUE(third.crc_ok);
    EXPECT_EQ(third.data[0], 2);
    EXPECT_EQ(third.data[1], 0);
    EXPECT_THROW(t.b.inject_wrong_echo(0, 0), Error);
    EXPECT_THROW(t.b.inject_wrong_echo(2), Error);
    EXPECT_THROW(t.b.inject_unknown_command(0x36), Error);
}

TEST(SlaveFaults, ResetWithChosenCode) {
    Link l(2, 2);
    l.reset();
    l.session();
    l.slave.inject_reset(0x93, 2);
    l.expect_reset(l.exchange(FSOECommand::CONNECTION, u16le(kConnId), kConnId), 0x93);
    l.m.restart_session();
    l.expect_reset(l.exchange(FSOECommand::SESSION, {1, 2}, 0), 0x93);
    EXPECT_EQ(l.slave.resets_sent_by_code()[0x93], 2u);
    EXPECT_EQ(l.slave.counters().errors, 0u);  // injected, not detected
    l.m.restart_session();
    l.session();
    EXPECT_EQ(l.slave.state(), SlaveState::Session);
}

TEST(SlaveFaults, RepeatAndReplay) {
    Twin t;
    t.to_connection();
    std::vector<Bytes> sent{t.got};
    t.step(FSOECommand::CONNECTION, u16le(kConnId), kConnId);
    sent.push_back(t.got);
    t.b.inject_repeat();
    t.step(FSOECommand::CONNECTION, u16le(kAddress), kConnId);
    EXPECT_EQ(t.got, sent.back());
    EXPECT_NE(t.expected, sent.back());
    t.b.inject_replay(3);
    t.step(FSOECommand::PARAMETER, {2, 0}, kConnId);
    EXPECT_EQ(t.got, sent[0]);  // three frames back: the Session reply
    EXPECT_THROW(t.b.inject_replay(1), Error);
    EXPECT_THROW(t.b.inject_replay(17), Error);
}

// Nothing to repeat yet is refused at once rather than left for a later reply
// or served with the oldest frame kept.
TEST(SlaveFaults, RepeatAndReplayNeedFramesToRepeat) {
    const auto message = [](const std::function<void()> &call) {
        try {
            call();
        } catch (const Error &e) {
            EXPECT_EQ(e.kind(), ErrorKind::Value);
            return std::string(e.what());
        }
        return std::string("no error");
    };
    Link l(2, 2);
    EXPECT_EQ(message([&] { l.slave.inject_repeat(); }), "nothing to repeat: the slave has not replied yet");
    EXPECT_EQ(message([&] { l.slave.inject_replay(2); }),
              "nothing to replay 2 frames back: the slave has sent 0 so far");
    EXPECT_FALSE(l.slave.faults_pending());
    const Bytes first = l.reset().wire;
    l.slave.inject_repeat();  // one reply is enough
    EXPECT_EQ(message([&] { l.slave.inject_replay(2); }),
              "nothing to replay 2 frames back: the slave has sent 1 so far");
    l.m.in_reset = false;
    EXPECT_EQ(l.exchange(FSOECommand::SESSION, {1, 2}, 0).wire, first);  // the repeat went out here
    l.slave.inject_replay(2);
    EXPECT_EQ(l.exchange(FSOECommand::SESSION, {1, 2}, 0).wire, first);
    EXPECT_EQ(message([&] { l.slave.inject_replay(4); }),
              "nothing to replay 4 frames back: the slave has sent 3 so far");

    // Beyond the first 16 frames every age is there.
    for (int i = 0; i < 20; ++i) l.slave.request_reset();
    EXPECT_NO_THROW(l.slave.inject_replay(SlaveSimulator::MAX_REPLAY_AGE));
}

TEST(SlaveFaults, SilenceThenLateAnswer) {
    Link l(2, 2);
    l.reset();
    l.session();
    const Bytes before(l.slave.reply().begin(), l.slave.reply().end());
    l.slave.inject_silence(2);
    const Bytes wire = l.m.request(FSOECommand::CONNECTION, u16le(kConnId), kConnId);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Bytes(l.slave.step(wire).begin(), l.slave.reply().end()), before);
    EXPECT_EQ(l.slave.counters().frames_dropped, 2u);
    const Reply r = l.m.reply(l.slave.step(wire));  // the same request, now answered
    EXPECT_TRUE(r.crc_ok);
    EXPECT_EQ(r.command, static_cast<uint16_t>(FSOECommand::CONNECTION));
}

TEST(SlaveFaults, RequestResetTakesEffectAtOnce) {
    Link l(2, 2);
    l.to_data();
    l.slave.set_process_data(true);
    const Bytes wire = l.m.request(FSOECommand::PROCESS_DATA, {1, 2}, kConnId);
    l.m.reply(l.slave.step(wire));
    l.slave.request_reset();
    EXPECT_EQ(l.slave.state(), SlaveState::Reset);
    EXPECT_FALSE(l.slave.process_data());
    l.expect_reset(l.m.reply(l.slave.step(wire)), RESET);  // held for the unchanged request
    l.m.restart_session();
    l.session();
    EXPECT_EQ(l.slave.state(), SlaveState::Session);
}

// The request on its way when the host resets the slave is answered by the
// Reset frame already held: refused by nobody, counted as no fault. Only that
// one request: the next one is judged again.
TEST(SlaveFaults, RequestResetAnswersTheRequestInFlight) {
    for (const uint16_t n : {1, 2, 16}) {
        SCOPED_TRACE(n);
        Link l(n, n);
        l.to_data();
        l.slave.request_reset();
        const Bytes held(l.slave.reply().begin(), l.slave.reply().end());
        const auto received = l.slave.counters().frames_received;
        const Reply r = l.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n), kConnId);
        EXPECT_EQ(r.wire, held);
        l.expect_reset(r, RESET);
        EXPECT_EQ(l.slave.counters().frames_received, received + 1);
        EXPECT_EQ(l.slave.counters().errors, 0u);
        EXPECT_EQ(l.slave.counters().resets_sent, 1u);
        // The master's answer to that Reset frame: a new session.
        l.m.restart_session();
        l.session();
        l.connection();
        EXPECT_EQ(l.slave.state(), SlaveState::Connection);

        // A request of the old connection after the one in flight is refused as usual.
        l.to_data();
        l.slave.request_reset();
        l.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n), kConnId);
        l.expect_reset(l.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n), kConnId), INVALID_CMD);
        EXPECT_EQ(l.slave.counters().errors, 1u);

        // A request in flight that the slave takes anyway: the master's own Reset.
        l.to_data();
        l.slave.request_reset();
        const auto resets_received = l.slave.counters().resets_received;
        l.expect_reset(l.reset(5), RESET);
        EXPECT_EQ(l.slave.counters().resets_received, resets_received + 1);
        EXPECT_EQ(l.slave.last_reset_received(), 5);

        // The same request again counts as the one in flight: the next is judged.
        l.to_data();
        const Bytes wire = l.m.request(FSOECommand::FAILSAFE_DATA, Bytes(n), kConnId);
        l.m.reply(l.slave.step(wire));
        l.slave.request_reset();
        l.expect_reset(l.m.reply(l.slave.step(wire)), RESET);
        l.expect_reset(l.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n), kConnId), INVALID_CMD);
    }
}

TEST(SlaveConfigTest, RefusesInvalidSizes) {
    for (const uint16_t size : {0, 3, 15, 18}) {
        SlaveConfig c;
        c.input_size = size;
        EXPECT_THROW(SlaveSimulator{c}, Error) << size;
    }
    SlaveConfig c;
    c.watchdog_min_ms = 20;
    c.watchdog_max_ms = 10;
    EXPECT_THROW(SlaveSimulator{c}, Error);
}

// --- a master that keeps to the master's rules, step by step -----------------
//
// RuleMaster runs the master's cycle exactly as the master handler and its
// states do it: reply decoding, CRC_0 chaining, the expected sequence number,
// the set-up data through dynamic maps, every transition with its report and
// reset code. The slave is proven against it, not against its own idea of a
// master.
//
// One rule is mended here. The master moves its expected slave sequence number
// on after every reply it judges outside the Reset state (step 7 of its reply
// processing), also after the reply that made it restart the chains: its
// Reset handling (every FAIL of the Session, Connection, Parameter and Data
// states) and its new session after a Reset frame of the slave (the RESET1
// transitions) set the number to 1 and the step then makes it 2. Neither the
// Reset state nor RESET_OK touches it again; only SESSION_RESET1 asks, through
// `_reset_slave_sequence_number_after_frame`, for 1 after the next request.
// A slave numbers the first reply of every session 1 (its Reset frames are the
// same whatever made it reset, so it could not number differently), so such a
// master would find every Session reply one number off, each a SESSION_STAY2
// that restarts its watchdog, and never leave the Session state. RuleMaster
// asks for the restart on every restart of the chains (`mended_restart`, on by
// default); UnmendedRestartStaysInSession keeps the other rule in view.

enum class MState { Reset, Session, Connection, Parameter, Data };

std::string error_name(uint16_t code) {
    return fsoe_error_name(code).value_or("code " + std::to_string(code));  // no name: never sent by the slave
}

using Item = std::shared_ptr<DynamicMappableItem>;
Item u16_item(int64_t v) { return std::make_shared<DynamicMappableItem>(Value{v}, DataType::UINT16); }

struct RuleSession {
    RuleSession(uint16_t address, uint16_t connection_id, uint16_t watchdog)
        : slave_address(u16_item(address)), connection_id(u16_item(connection_id)), watchdog_ms(u16_item(watchdog)) {}
    Item slave_address, session_id = u16_item(0), error_id = u16_item(0), connection_id,
                        comm_parameter_size_bytes = u16_item(0), watchdog_ms, app_parameter_size_bytes = u16_item(0);
};

struct RuleNode {
    RuleNode(uint16_t size, uint16_t address, uint16_t connection_id, uint16_t watchdog, std::vector<Item> parameters)
        : session(address, connection_id, watchdog), application_parameters(std::move(parameters)) {
        frame.set_safe_data_size_bytes(size);
    }
    FSOEFrame frame;
    RuleSession session;
    std::vector<Item> application_parameters;
    FSOEDynamicMap map;
    std::optional<uint16_t> last_crc0_sent;
};

struct Report {
    std::string name, message;
    bool operator==(const Report &) const = default;
};
void PrintTo(const Report &r, std::ostream *os) { *os << '(' << r.name << ", " << r.message << ')'; }
uint16_t le16_at(const Bytes &b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

class RuleMaster {
public:
    struct Options {
        uint16_t out = 2, in = 2;
        uint16_t connection_id = kConnId, slave_address = kAddress, watchdog_ms = kWatchdog;
        // UINT32 0x44332211 then UINT8 0x55: the bytes of kParams.
        std::vector<std::pair<DataType, int64_t>> parameters{{DataType::UINT32, 0x44332211}, {DataType::UINT8, 0x55}};
        bool mended_restart = true;
    };

    explicit RuleMaster(const Options &o)
        : master(o.out, o.slave_address, o.connection_id, o.watchdog_ms, items(o.parameters, false)),
          slave(o.in, 0, 0, 0, items(o.parameters, true)),
          outputs(o.out),
          inputs(o.in),
          o_(o),
          init_(std::min(o.out, o.in)) {
        reset();  // start()
    }

    RuleNode master, slave;
    MState state = MState::Reset;
    FSOECommand data_command = FSOECommand::FAILSAFE_DATA;
    std::vector<Report> reports;
    std::vector<std::string> transitions;
    Bytes outputs, inputs;
    int send_skips = 0, receive_skips = 0;

    const Bytes &request() const { return request_; }
    uint16_t expected_slave_sequence() const { return slave.frame.control.sequence_number(); }

    void reset() {
        static const char *const names[] = {"RESET_START", "SESSION_RESET2", "CONN_RESET2", "PARA_RESET2",
                                            "DATA_RESET2"};
        state = state == MState::Reset ? reset_start() : reset_handler(names[static_cast<int>(state)], BaseCode::RESET);
        build_request();
    }
    void watchdog_expired() {
        static const char *const names[] = {"RESET_WD", "SESSION_WD", "CONN_WD", "PARA_WD", "DATA_WD"};
        const char *name = names[static_cast<int>(state)];
        report(name, "The watchdog of the master expired");
        transitions.emplace_back(name);
        state = state == MState::Reset ? begin_session() : reset_handler("", BaseCode::WD_EXPIRED);
        build_request();
    }

    void set_reply(std::span<const uint8_t> data) {
        if (Bytes(data.begin(), data.end()) == last_reply_) return;  // the same PDU again
        last_reply_.assign(data.begin(), data.end());
        slave.frame.frame_from_array(data);
        auto &ctl = slave.frame.control;
        if (state != MState::Reset) master.frame.control.set_crc0(slave.frame.crcs.get(0));
        if (ctl.command_is_valid() && ctl.command() == FSOECommand::RESET) {
            slave.map.clear();
            slave.map.add(slave.session.error_id);
        }
        slave.map.get_data_from_frame(slave.frame, init_);
        const MState next = judge();
        if (state != MState::Reset) ctl.increment_sequence_number();
        slave.last_crc0_sent = slave.frame.crcs.get(0);
        state = next;
        build_request();
    }

private:
    using BaseCode = BaseError;

    static std::vector<Item> items(const std::vector<std::pair<DataType, int64_t>> &p, bool zero) {
        std::vector<Item> out;
        for (const auto &[type, value] : p)
            out.push_back(std::make_shared<DynamicMappableItem>(Value{zero ? 0 : value}, type));
        return out;
    }
    static uint16_t raw(const Item &i) { return static_cast<uint16_t>(i->raw_value()); }

    void report(const std::string &name, const std::string &message) { reports.push_back({name, message}); }
    void log(const std::string &name) { transitions.push_back(name); }

    void build_request() {
        auto &f = master.frame;
        if (state == MState::Data) {
            f.control.set_command(data_command);
            f.set_safe_data_bytes(outputs);
        } else {
            master.map.set_data_to_frame(f, init_);
        }
        f.control.set_connection_id(
            state == MState::Reset || state == MState::Session ? 0 : raw(master.session.connection_id));
        if (cyclic_) {
            if (!master.last_crc0_sent) throw std::logic_error("Cannot generate cyclic CRCs without a last CRC sent");
            const uint16_t seq = f.control.sequence_number();
            f.generate_crcs_cyclic(*master.last_crc0_sent);
            send_skips += f.control.sequence_number() != seq;
        } else {
            f.generate_crcs();
        }
        master.last_crc0_sent = f.crcs.get(0);
        if (reset_slave_sequence_after_frame_) {
            slave.frame.control.set_sequence_number(1);
            reset_slave_sequence_after_frame_ = false;
        }
        if (state != MState::Reset) {
            slave.frame.control.set_crc0(f.crcs.get(0));
            f.control.increment_sequence_number();
        }
        std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> out;
        request_.assign(out.begin(), out.begin() + static_cast<long>(f.frame_to_array(out)));
    }

    bool check_received_crcs() {
        if (!slave.last_crc0_sent) return slave.frame.check_crcs();
        const uint16_t seq = slave.frame.control.sequence_number();
        const bool ok = slave.frame.check_crcs_cyclic(*slave.last_crc0_sent);
        receive_skips += slave.frame.control.sequence_number() != seq;
        return ok;
    }

    // --- the shared ways back ---
    void both_chains_restart() {
        master.frame.control.set_crc0(0), slave.frame.control.set_crc0(0);
        master.frame.control.set_sequence_number(1), slave.frame.control.set_sequence_number(1);
        data_command = FSOECommand::FAILSAFE_DATA;
    }
    void map_reset() {
        master.frame.control.set_command(FSOECommand::RESET);
        master.map.clear();
        slave.map.clear();
        master.map.add(master.session.error_id);
    }
    MState reset_handler(const std::string &name, BaseCode code) {
        if (!name.empty()) log(name);
        both_chains_restart();
        if (o_.mended_restart) reset_slave_sequence_after_frame_ = true;
        std::fill(inputs.begin(), inputs.end(), 0);
        master.session.error_id->set(Value{static_cast<int64_t>(code)});
        map_reset();
        master.last_crc0_sent.reset();
        cyclic_ = false;
        master.frame.control.set_sequence_number(1);
        return MState::Reset;
    }
    MState reset_start() {
        log("RESET_START");
        both_chains_restart();
        master.session.error_id->set(Value{int64_t{0}});
        map_reset();
        master.frame.control.set_sequence_number(1);
        cyclic_ = false;
        return MState::Reset;
    }
    void map_session() {
        master.frame.control.set_command(FSOECommand::SESSION);
        master.map.clear();
        slave.map.clear();
        master.map.add(master.session.session_id);
    }
    void create_session_id() {
        second_session_frame_sent_ = false;
        master.session.session_id->set(Value{static_cast<int64_t>(rng_() & 0xFFFF)});
    }
    MState begin_session() {  // RESET_OK, RESET_WD
        create_session_id();
        map_session();
        cyclic_ = false;
        return MState::Session;
    }
    MState reset_session() {
        both_chains_restart();
        std::fill(inputs.begin(), inputs.end(), 0);
        create_session_id();
        map_session();
        return MState::Session;
    }
    MState reset1(const char *name) {
        report(name, "Connection was reset by the slave (slave reported error " +
                         error_name(raw(slave.session.error_id)) + ")");
        log(name);
        if (state == MState::Session || o_.mended_restart) reset_slave_sequence_after_frame_ = true;
        return reset_session();
    }
    MState fail(const char *name, const std::string &message, BaseCode code) {
        report(name, message);
        return reset_handler(name, code);
    }
    std::string connection_id_mismatch() const {
        return "Connection id exchanged does not match " + std::to_string(slave.frame.control.connection_id()) +
               " != " + std::to_string(raw(master.session.connection_id));
    }
    bool pending() const { return master.map.pending() || slave.map.pending(); }
    void map_node(RuleNode &node) {
        node.map.clear();
        node.map.add(node.session.comm_parameter_size_bytes);
        node.map.add(node.session.watchdog_ms);
        node.map.add(node.session.app_parameter_size_bytes);
        for (const Item &p : node.application_parameters) node.map.add(p);
    }
    void map_parameter() {
        master.frame.control.set_command(FSOECommand::PARAMETER);
        master.session.comm_parameter_size_bytes->set(Value{int64_t{2}});
        int64_t app = 0;
        for (const Item &p : master.application_parameters) app += p->n_bytes();
        master.session.app_parameter_size_bytes->set(Value{app});
        for (const Item &i : {slave.session.comm_parameter_size_bytes, slave.session.watchdog_ms,
                              slave.session.app_parameter_size_bytes})
            i->set(Value{int64_t{0}});
        for (const Item &p : slave.application_parameters) p->set(Value{int64_t{0}});
        map_node(master);
        map_node(slave);
    }

    // --- the reply decisions of each state ---
    MState judge() {
        const auto &ctl = slave.frame.control;
        const bool valid = ctl.command_is_valid();
        const FSOECommand cmd = valid ? ctl.command() : FSOECommand::RESET;
        const std::string invalid_cmd = "Invalid slave frame command", invalid_crc = "Invalid slave CRC";
        switch (state) {
            case MState::Reset:
                if (valid && cmd == FSOECommand::RESET) {
                    log("RESET_OK");
                    return begin_session();
                }
                report("RESET_STAY1", invalid_cmd);
                log("RESET_STAY1");
                both_chains_restart();
                master.session.error_id->set(Value{int64_t{0}});
                map_reset();
                cyclic_ = false;
                master.frame.control.set_sequence_number(1);
                return MState::Reset;
            case MState::Session:
                if (!valid) return fail("SESSION_FAIL4", invalid_cmd, BaseCode::UNKNOWN_CMD);
                if (cmd == FSOECommand::SESSION) {
                    if (check_received_crcs()) {
                        if (pending()) {
                            log("SESSION_STAY1");
                            second_session_frame_sent_ = true;
                            return MState::Session;
                        }
                        log("SESSION_OK");
                        master.frame.control.set_command(FSOECommand::CONNECTION);
                        master.map.clear();
                        slave.map.clear();
                        master.map.add(master.session.connection_id);
                        master.map.add(master.session.slave_address);
                        slave.map.add(slave.session.connection_id);
                        slave.map.add(slave.session.slave_address);
                        cyclic_ = true;
                        return MState::Connection;
                    }
                    if (second_session_frame_sent_) return fail("SESSION_FAIL1", invalid_crc, BaseCode::INVALID_CRC);
                    report("SESSION_STAY2", invalid_crc);
                    log("SESSION_STAY2");
                    return MState::Session;
                }
                if (cmd == FSOECommand::RESET) return reset1("SESSION_RESET1");
                return fail("SESSION_FAIL3", invalid_cmd, BaseCode::INVALID_CMD);
            case MState::Connection:
            case MState::Parameter: {
                const bool conn = state == MState::Connection;
                if (!valid) return fail(conn ? "CONN_FAIL5" : "PARA_FAIL5", invalid_cmd, BaseCode::UNKNOWN_CMD);
                if (cmd == (conn ? FSOECommand::CONNECTION : FSOECommand::PARAMETER)) {
                    if (ctl.connection_id() != raw(master.session.connection_id))
                        return fail(conn ? "CONN_FAIL3" : "PARA_FAIL3", connection_id_mismatch(),
                                    BaseCode::INVALID_CONNID);
                    if (!slave.map.is_safedata_correct(master.map))
                        return fail(conn ? "CONN_FAIL2" : "PARA_FAIL2",
                                    conn ? "Data exchanged during session state does not match"
                                         : "Data exchanged during parameter state does not match",
                                    BaseCode::INVALID_DATA);
                    if (!check_received_crcs())
                        return fail(conn ? "CONN_FAIL1" : "PARA_FAIL1", invalid_crc, BaseCode::INVALID_CRC);
                    if (pending()) {
                        log(conn ? "CONNECTION_STAY1" : "PARA_STAY1");
                        return state;
                    }
                    log(conn ? "CONN_OK" : "PARA_OK");
                    if (conn) map_parameter();
                    cyclic_ = true;
                    return conn ? MState::Parameter : MState::Data;
                }
                if (cmd == FSOECommand::RESET) return reset1(conn ? "CONN_RESET1" : "PARA_RESET1");
                return fail(conn ? "CONN_FAIL4" : "PARA_FAIL4", invalid_cmd, BaseCode::INVALID_CMD);
            }
            case MState::Data:
                if (!valid) return fail("DATA_FAIL4", invalid_cmd, BaseCode::UNKNOWN_CMD);
                if (cmd == FSOECommand::SESSION || cmd == FSOECommand::CONNECTION || cmd == FSOECommand::PARAMETER)
                    return fail("DATA_FAIL3", invalid_cmd, BaseCode::INVALID_CMD);
                if (cmd == FSOECommand::RESET) return reset1("DATA_RESET1");
                if (ctl.connection_id() != raw(master.session.connection_id))
                    return fail("DATA_FAIL2", connection_id_mismatch(), BaseCode::INVALID_CONNID);
                if (!check_received_crcs()) return fail("DATA_FAIL1", invalid_crc, BaseCode::INVALID_CRC);
                if (cmd == FSOECommand::PROCESS_DATA) {
                    log("DATA_OK1");
                    const auto d = slave.frame.get_safe_data_bytes();
                    std::copy_n(d.begin(), inputs.size(), inputs.begin());
                } else {
                    log("DATA_OK2");
                    std::fill(inputs.begin(), inputs.end(), 0);
                }
                cyclic_ = true;
                return MState::Data;
        }
        throw std::logic_error("cannot happen");
    }

    Options o_;
    uint16_t init_;
    bool cyclic_ = false, reset_slave_sequence_after_frame_ = false, second_session_frame_sent_ = false;
    std::mt19937 rng_{12345};
    Bytes request_, last_reply_;
};

struct RuleLink {
    explicit RuleLink(uint16_t out, uint16_t in, std::function<void(RuleMaster::Options &)> tweak_master = {},
                      std::function<void(SlaveConfig &)> tweak_slave = {})
        : m(options(out, in, tweak_master)), slave(config(out, in, tweak_slave)) {}

    RuleMaster m;
    SlaveSimulator slave;

    void cycle() { m.set_reply(slave.step(m.request())); }
    bool run_until(MState target, int limit = 64) {
        for (int i = 0; i < limit && m.state != target; ++i) cycle();
        return m.state == target;
    }

private:
    static RuleMaster::Options options(uint16_t out, uint16_t in, const std::function<void(RuleMaster::Options &)> &t) {
        RuleMaster::Options o;
        o.out = out, o.in = in;
        if (t) t(o);
        return o;
    }
    static SlaveConfig config(uint16_t out, uint16_t in, const std::function<void(SlaveConfig &)> &t) {
        SlaveConfig c = config_for(out, in);
        if (t) t(c);
        return c;
    }
};

size_t frames_for(size_t bytes, size_t per_frame) { return (bytes + per_frame - 1) / per_frame; }

class RuleHandshake : public ::testing::TestWithParam<Sizes> {};

TEST_P(RuleHandshake, ReachesDataAndKeepsIt) {
    const auto [out, in] = GetParam();
    const size_t n = std::min(out, in);
    RuleLink l(out, in);
    ASSERT_TRUE(l.run_until(MState::Data));
    std::vector<std::string> expected{"RESET_START", "RESET_OK"};
    if (n == 1) expected.emplace_back("SESSION_STAY1");
    expected.emplace_back("SESSION_OK");
    expected.insert(expected.end(), frames_for(4, n) - 1, "CONNECTION_STAY1");
    expected.emplace_back("CONN_OK");
    expected.insert(expected.end(), frames_for(6 + kParams.size(), n) - 1, "PARA_STAY1");
    expected.emplace_back("PARA_OK");
    EXPECT_EQ(l.m.transitions, expected);
    EXPECT_EQ(l.slave.master_session_id(), l.m.master.session.session_id->raw_value());
    EXPECT_EQ(l.slave.connection_id(), kConnId);
    EXPECT_EQ(l.slave.watchdog_ms(), std::nullopt);  // the slave judges them on the first Data frame

    std::optional<Bytes> expected_outputs;
    for (int c = 0; c < 300; ++c) {
        Bytes outputs(out), inputs(in);
        for (size_t i = 0; i < out; ++i) outputs[i] = static_cast<uint8_t>(c * 7 + i);
        for (size_t i = 0; i < in; ++i) inputs[i] = static_cast<uint8_t>(c * 5 + 3 * i + 1);
        const bool master_pd = c % 50 < 30, slave_pd = c % 40 >= 10;
        l.m.outputs = outputs;
        l.m.data_command = master_pd ? FSOECommand::PROCESS_DATA : FSOECommand::FAILSAFE_DATA;
        l.slave.set_inputs(inputs);
        l.slave.set_process_data(slave_pd);
        l.slave.advance(1);
        l.cycle();
        ASSERT_EQ(l.m.state, MState::Data) << c;
        ASSERT_EQ(l.m.transitions.back(), slave_pd ? "DATA_OK1" : "DATA_OK2") << c;
        ASSERT_EQ(l.m.inputs, slave_pd ? inputs : Bytes(in)) << c;
        ASSERT_EQ(l.slave.watchdog_ms(), kWatchdog);
        if (expected_outputs) {
            ASSERT_EQ(Bytes(l.slave.outputs().begin(), l.slave.outputs().end()), *expected_outputs) << c;
        }
        expected_outputs = master_pd ? outputs : Bytes(out);  // travels in the request built just now
    }
    EXPECT_TRUE(l.m.reports.empty());
    EXPECT_EQ(l.slave.counters().errors, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RuleHandshake,
                         ::testing::Values(Sizes{1, 1}, Sizes{2, 2}, Sizes{16, 16}, Sizes{2, 16}, Sizes{16, 1},
                                           Sizes{1, 2}, Sizes{4, 6}));

class RuleWrap : public ::testing::TestWithParam<Sizes> {};

TEST_P(RuleWrap, SequenceNumbersWrapOnBothSides) {
    const auto [out, in] = GetParam();
    RuleLink l(out, in);
    ASSERT_TRUE(l.run_until(MState::Data));
    l.m.data_command = FSOECommand::PROCESS_DATA;
    l.slave.set_process_data(true);
    int master_wraps = 0, slave_wraps = 0;
    for (uint32_t c = 0; c < 66000; ++c) {
        const uint16_t ms = l.m.master.frame.control.sequence_number(), ss = l.m.expected_slave_sequence();
        l.cycle();
        ASSERT_EQ(l.m.state, MState::Data) << c;
        master_wraps += l.m.master.frame.control.sequence_number() < ms;
        slave_wraps += l.m.expected_slave_sequence() < ss;
        l.slave.advance(1);
    }
    EXPECT_EQ(master_wraps, 1);
    EXPECT_EQ(slave_wraps, 1);
    EXPECT_TRUE(l.m.reports.empty());
    EXPECT_EQ(l.slave.counters().errors, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RuleWrap, ::testing::Values(Sizes{1, 1}, Sizes{16, 2}));

TEST(RuleChain, Crc0SkipInBothDirections) {
    RuleLink l(2, 2);
    ASSERT_TRUE(l.run_until(MState::Data));
    l.m.data_command = FSOECommand::PROCESS_DATA;
    l.slave.set_process_data(true);

    // The master's next request would repeat the CRC_0 of its last one.
    const auto rep = l.slave.step(l.m.request());
    const Bytes reply(rep.begin(), rep.end());
    const Bytes outputs = data_for_crc0(FSOECommand::PROCESS_DATA, l.m.master.frame.control.sequence_number(),
                                        le16_at(reply, 3), kConnId, *l.m.master.last_crc0_sent);
    l.m.outputs = outputs;
    l.m.set_reply(reply);
    EXPECT_EQ(l.m.send_skips, 1);
    l.cycle();
    EXPECT_EQ(Bytes(l.slave.outputs().begin(), l.slave.outputs().end()), outputs);

    // The slave's next reply would repeat the CRC_0 of its last one.
    const Bytes inputs = data_for_crc0(FSOECommand::PROCESS_DATA, l.m.expected_slave_sequence(),
                                       *l.m.master.last_crc0_sent, kConnId, *l.m.slave.last_crc0_sent);
    l.slave.set_inputs(inputs);
    l.cycle();
    EXPECT_EQ(l.m.receive_skips, 1);
    EXPECT_EQ(l.m.inputs, inputs);
    for (int c = 0; c < 5; ++c) l.cycle();
    EXPECT_EQ(l.m.state, MState::Data);
    EXPECT_TRUE(l.m.reports.empty());
    EXPECT_EQ(l.slave.counters().errors, 0u);
}

// --- what the slave reports reaches the master, and the connection comes back

struct SlaveResetCase {
    const char *name;
    MState at;                                          // the master's state when it happens
    std::function<void(RuleLink &)> provoke;            // just before the next cycle
    std::function<void(RuleMaster::Options &)> master;  // a master the slave refuses
    std::function<void(SlaveConfig &)> slave;
    Report report;
    bool reconnects = true;
};

std::string reset_by_slave(const char *error) {
    return std::string("Connection was reset by the slave (slave reported error ") + error + ")";
}

class RuleSlaveReset : public ::testing::TestWithParam<uint16_t> {};

TEST_P(RuleSlaveReset, ReachesTheMasterThenReconnects) {
    const uint16_t n = GetParam();
    const auto flip_request = [](RuleLink &l) {
        Bytes wire = l.m.request();
        wire[1] ^= 0x10;
        l.m.set_reply(l.slave.step(wire));
    };
    const std::vector<SlaveResetCase> cases{
        {"injected in Session",
         MState::Session,
         [](RuleLink &l) { l.slave.inject_reset(INVALID_CRC); },
         {},
         {},
         {"SESSION_RESET1", reset_by_slave("INVALID_CRC")}},
        {"injected in Connection",
         MState::Connection,
         [](RuleLink &l) { l.slave.inject_reset(0x80); },
         {},
         {},
         {"CONN_RESET1", reset_by_slave("INVALID_SAFEPARA_128")}},
        {"injected in Parameter",
         MState::Parameter,
         [](RuleLink &l) { l.slave.inject_reset(0); },
         {},
         {},
         {"PARA_RESET1", reset_by_slave("RESET")}},
        {"injected in Data",
         MState::Data,
         [](RuleLink &l) { l.slave.inject_reset(0xFF); },
         {},
         {},
         {"DATA_RESET1", reset_by_slave("INVALID_SAFEPARA_255")}},
        {"corrupted request in Connection",
         MState::Connection,
         flip_request,
         {},
         {},
         {"CONN_RESET1", reset_by_slave("INVALID_CRC")}},
        {"corrupted request in Data",
         MState::Data,
         flip_request,
         {},
         {},
         {"DATA_RESET1", reset_by_slave("INVALID_CRC")}},
        {"slave watchdog",
         MState::Data,
         [](RuleLink &l) {
             l.cycle();  // the slave in Data too
             l.slave.advance(kWatchdog + 1);
         },
         {},
         {},
         {"DATA_RESET1", reset_by_slave("WD_EXPIRED")}},
        {"slave reset by its host",
         MState::Data,
         [](RuleLink &l) {
             l.slave.request_reset();
             l.m.set_reply(l.slave.reply());
         },
         {},
         {},
         {"DATA_RESET1", reset_by_slave("RESET")}},
        // The master's next frame left before it could see the Reset frame:
        // that frame is its answer.
        {"slave reset by its host, frame in flight",
         MState::Data,
         [](RuleLink &l) { l.slave.request_reset(); },
         {},
         {},
         {"DATA_RESET1", reset_by_slave("RESET")}},
        {"slave reset by its host in Connection, frame in flight",
         MState::Connection,
         [](RuleLink &l) { l.slave.request_reset(); },
         {},
         {},
         {"CONN_RESET1", reset_by_slave("RESET")}},
        {"slave reset by its host in Parameter, frame in flight",
         MState::Parameter,
         [](RuleLink &l) { l.slave.request_reset(); },
         {},
         {},
         {"PARA_RESET1", reset_by_slave("RESET")}},
        {"wrong address",
         MState::Session,
         {},
         [](RuleMaster::Options &o) { o.slave_address = kAddress + 1; },
         {},
         {"PARA_RESET1", reset_by_slave("INVALID_ADDRESS")},
         false},
        {"watchdog out of range",
         MState::Session,
         {},
         [](RuleMaster::Options &o) { o.watchdog_ms = 1001; },
         {},
         {"DATA_RESET1", reset_by_slave("INVALID_COMPARA")},
         false},
        {"parameter length",
         MState::Session,
         {},
         [](RuleMaster::Options &o) { o.parameters.emplace_back(DataType::UINT16, 1); },
         {},
         {"DATA_RESET1", reset_by_slave("INVALID_USERPARALEN")},
         false},
        {"shorter parameters",
         MState::Session,
         {},
         [](RuleMaster::Options &o) { o.parameters.pop_back(); },
         {},
         {"DATA_RESET1", reset_by_slave("INVALID_USERPARALEN")},
         false},
        {"no parameters",
         MState::Session,
         {},
         [](RuleMaster::Options &o) { o.parameters.clear(); },
         {},
         {"DATA_RESET1", reset_by_slave("INVALID_USERPARALEN")},
         false},
        {"parameter values",
         MState::Session,
         {},
         [](RuleMaster::Options &o) { o.parameters[1].second = 0x56; },
         {},
         {"DATA_RESET1", reset_by_slave("INVALID_USERPARA")},
         false},
        {"host check",
         MState::Session,
         {},
         {},
         [](SlaveConfig &c) { c.check_parameters = [](std::span<const uint8_t>) { return 0x9C; }; },
         {"DATA_RESET1", reset_by_slave("INVALID_SAFEPARA_156")},
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RuleLink l(n, n, c.master, c.slave);
        ASSERT_TRUE(l.run_until(c.at));
        ASSERT_TRUE(l.m.reports.empty());
        if (c.provoke) c.provoke(l);
        for (int i = 0; i < 64 && l.m.reports.empty(); ++i) l.cycle();
        ASSERT_EQ(l.m.reports.size(), 1u);
        EXPECT_EQ(l.m.reports[0], c.report);
        EXPECT_EQ(l.m.state, MState::Session);
        if (c.report.message == reset_by_slave("RESET")) {
            EXPECT_EQ(l.slave.counters().errors, 0u);  // a reset by the host is no fault
        }
        if (!c.reconnects) continue;
        ASSERT_TRUE(l.run_until(MState::Data));
        EXPECT_EQ(l.m.reports.size(), 1u);
        for (int i = 0; i < 3; ++i) l.cycle();
        EXPECT_EQ(l.m.state, MState::Data);
        EXPECT_EQ(l.slave.state(), SlaveState::Data);
    }
}

// Without the mended restart (see RuleMaster) the master expects 2 for the
// first Session reply after every restart that a reply caused, except
// SESSION_RESET1, and stays in the Session state for good; restarts that no
// reply caused (its watchdog, its host) are not affected.
TEST_P(RuleSlaveReset, UnmendedRestartStaysInSession) {
    const uint16_t n = GetParam();
    struct Case {
        const char *name;
        MState at;
        std::function<void(RuleLink &)> provoke;
        bool stays;
    };
    const auto slave_reset = [](RuleLink &l) {
        l.slave.inject_reset(INVALID_CRC);
        l.cycle();
    };
    const auto crc_fault = [n](RuleLink &l) {
        l.slave.inject_bit_flip(8 * (n == 1 ? 2 : 3));
        l.cycle();
    };
    const std::vector<Case> cases{
        {"SESSION_RESET1", MState::Session, slave_reset, false},
        {"CONN_RESET1", MState::Connection, slave_reset, true},
        {"PARA_RESET1", MState::Parameter, slave_reset, true},
        {"DATA_RESET1", MState::Data, slave_reset, true},
        {"CONN_FAIL1", MState::Connection, crc_fault, true},
        {"DATA_FAIL1", MState::Data, crc_fault, true},
        {"DATA_FAIL3", MState::Data,
         [](RuleLink &l) {
             l.slave.inject_wrong_command();
             l.cycle();
         },
         true},
        {"DATA_WD", MState::Data, [](RuleLink &l) { l.m.watchdog_expired(); }, false},
        {"DATA_RESET2", MState::Data, [](RuleLink &l) { l.m.reset(); }, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RuleLink l(n, n, [](RuleMaster::Options &o) { o.mended_restart = false; });
        ASSERT_TRUE(l.run_until(c.at));
        c.provoke(l);
        ASSERT_EQ(l.m.transitions.back(), c.name);
        const size_t before = l.m.reports.size();
        if (!c.stays) {
            EXPECT_TRUE(l.run_until(MState::Data));
            EXPECT_EQ(l.m.reports.size(), before);
            continue;
        }
        ASSERT_TRUE(l.run_until(MState::Session));
        for (int i = 0; i < 100; ++i) l.cycle();
        EXPECT_EQ(l.m.state, MState::Session);
        ASSERT_EQ(l.m.reports.size(), before + 100);
        for (size_t i = before; i < l.m.reports.size(); ++i)
            ASSERT_EQ(l.m.reports[i], (Report{"SESSION_STAY2", "Invalid slave CRC"})) << i;
        EXPECT_EQ(l.slave.state(), SlaveState::Session);  // the slave finds nothing wrong
    }
}

INSTANTIATE_TEST_SUITE_P(BytesPerFrame, RuleSlaveReset, ::testing::Values(1, 2, 16));

// --- what the master finds reaches the slave as the reason of its Reset -----

struct MasterFaultCase {
    const char *name;
    MState at;
    std::function<void(SlaveSimulator &, uint16_t n)> inject;
    Report report;
    uint8_t code;
};

class RuleMasterFault : public ::testing::TestWithParam<uint16_t> {};

TEST_P(RuleMasterFault, ReasonReachesTheSlaveThenReconnects) {
    const uint16_t n = GetParam();
    const auto crc_flip = [](SlaveSimulator &s, uint16_t size) { s.inject_bit_flip(8 * (size == 1 ? 2 : 3)); };
    const auto wrong_id = [](SlaveSimulator &s, uint16_t) { s.inject_wrong_connection_id(); };
    const auto wrong_echo = [](SlaveSimulator &s, uint16_t) { s.inject_wrong_echo(0); };
    const auto unknown = [](SlaveSimulator &s, uint16_t) { s.inject_unknown_command(); };
    const auto other_state = [](SlaveSimulator &s, uint16_t) { s.inject_wrong_command(); };
    const std::string ids =
        "Connection id exchanged does not match " + std::to_string(kConnId + 1) + " != " + std::to_string(kConnId);
    const std::string bad_cmd = "Invalid slave frame command", bad_crc = "Invalid slave CRC";
    const std::vector<MasterFaultCase> cases{
        {"session crc", MState::Session, crc_flip, {"SESSION_STAY2", bad_crc}, 0},
        {"session command", MState::Session, other_state, {"SESSION_FAIL3", bad_cmd}, INVALID_CMD},
        {"session unknown", MState::Session, unknown, {"SESSION_FAIL4", bad_cmd}, UNKNOWN_CMD},
        {"conn crc", MState::Connection, crc_flip, {"CONN_FAIL1", bad_crc}, INVALID_CRC},
        {"conn echo",
         MState::Connection,
         wrong_echo,
         {"CONN_FAIL2", "Data exchanged during session state does not match"},
         INVALID_DATA},
        {"conn id", MState::Connection, wrong_id, {"CONN_FAIL3", ids}, INVALID_CONNID},
        {"conn command", MState::Connection, other_state, {"CONN_FAIL4", bad_cmd}, INVALID_CMD},
        {"conn unknown", MState::Connection, unknown, {"CONN_FAIL5", bad_cmd}, UNKNOWN_CMD},
        {"para crc", MState::Parameter, crc_flip, {"PARA_FAIL1", bad_crc}, INVALID_CRC},
        {"para echo",
         MState::Parameter,
         wrong_echo,
         {"PARA_FAIL2", "Data exchanged during parameter state does not match"},
         INVALID_DATA},
        {"para id", MState::Parameter, wrong_id, {"PARA_FAIL3", ids}, INVALID_CONNID},
        {"para command", MState::Parameter, other_state, {"PARA_FAIL4", bad_cmd}, INVALID_CMD},
        {"para unknown", MState::Parameter, unknown, {"PARA_FAIL5", bad_cmd}, UNKNOWN_CMD},
        {"data crc", MState::Data, crc_flip, {"DATA_FAIL1", bad_crc}, INVALID_CRC},
        {"data id", MState::Data, wrong_id, {"DATA_FAIL2", ids}, INVALID_CONNID},
        {"data command", MState::Data, other_state, {"DATA_FAIL3", bad_cmd}, INVALID_CMD},
        {"data unknown", MState::Data, unknown, {"DATA_FAIL4", bad_cmd}, UNKNOWN_CMD},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RuleLink l(n, n);
        ASSERT_TRUE(l.run_until(c.at));
        c.inject(l.slave, n);
        l.cycle();
        ASSERT_EQ(l.m.reports.size(), 1u);
        EXPECT_EQ(l.m.reports[0], c.report);
        if (c.report.name == "SESSION_STAY2") {
            EXPECT_EQ(l.m.state, MState::Session);  // tolerated once
        } else {
            EXPECT_EQ(l.m.state, MState::Reset);
            l.cycle();  // the master's Reset frame carries the reason
            EXPECT_EQ(l.slave.last_reset_received(), c.code);
            EXPECT_EQ(l.slave.state(), SlaveState::Reset);
        }
        ASSERT_TRUE(l.run_until(MState::Data));
        l.cycle();
        EXPECT_EQ(l.m.reports.size(), 1u);
        EXPECT_EQ(l.m.state, MState::Data);
        EXPECT_EQ(l.slave.state(), SlaveState::Data);
    }
}

TEST_P(RuleMasterFault, SilentSlaveThenMasterWatchdog) {
    const uint16_t n = GetParam();
    RuleLink l(n, n);
    ASSERT_TRUE(l.run_until(MState::Data));
    l.slave.inject_silence(3);
    for (int i = 0; i < 3; ++i) l.cycle();  // the held reply is the same PDU: ignored
    EXPECT_TRUE(l.m.reports.empty());
    l.m.watchdog_expired();
    EXPECT_EQ(l.m.reports, (std::vector<Report>{{"DATA_WD", "The watchdog of the master expired"}}));
    l.cycle();
    EXPECT_EQ(l.slave.last_reset_received(), WD_EXPIRED);
    ASSERT_TRUE(l.run_until(MState::Data));
    EXPECT_EQ(l.m.reports.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(BytesPerFrame, RuleMasterFault, ::testing::Values(1, 2, 16));

// --- any bytes --------------------------------------------------------------

// Random requests in every state: the slave always holds a frame of its own
// length (nothing before its first answer), stays inside its buffers (this
// test runs under the address sanitizer too), and a master gets through again.
TEST(SlaveRobustness, RandomRequestsInEveryState) {
    std::mt19937 rng(2024);
    const auto byte = [&rng] { return static_cast<uint8_t>(rng()); };
    for (const auto &[out, in] : {Sizes{1, 1}, Sizes{2, 2}, Sizes{16, 16}, Sizes{2, 16}, Sizes{16, 1}}) {
        for (const MState at : {MState::Reset, MState::Session, MState::Connection, MState::Parameter, MState::Data}) {
            SCOPED_TRACE(testing::Message() << out << '/' << in << " state " << static_cast<int>(at));
            RuleLink l(out, in);
            ASSERT_TRUE(l.run_until(at));
            for (int i = 0; i < 300; ++i) {
                Bytes req = l.m.request();
                switch (rng() % 4) {
                    case 0:  // anything up to 100 bytes
                        req.resize(rng() % 101);
                        std::ranges::generate(req, byte);
                        break;
                    case 1:  // one bit off
                        req[rng() % req.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
                        break;
                    case 2:  // cut short or run on
                        req.resize(rng() % 101, byte());
                        break;
                    default:  // the right length, any command, any content
                        std::ranges::generate(req, byte);
                        req[0] = static_cast<uint8_t>(std::array<FSOECommand, 6>{
                            FSOECommand::PROCESS_DATA, FSOECommand::RESET, FSOECommand::SESSION,
                            FSOECommand::CONNECTION, FSOECommand::PARAMETER, FSOECommand::FAILSAFE_DATA}[rng() % 6]);
                }
                const auto reply = l.slave.step(req);
                if (l.slave.counters().frames_sent > 0) {
                    ASSERT_EQ(reply.size(), FSOE_GetFrameSizeBytes(in)) << i;
                }
                if (rng() % 8 == 0) l.slave.advance(rng() % 150);
            }
            // The master missed the slave's frames meanwhile: its Reset may be
            // answered by the very frame it saw last, so its watchdog moves on.
            l.m.reset();
            if (!l.run_until(MState::Data)) l.m.watchdog_expired();
            ASSERT_TRUE(l.run_until(MState::Data));
            l.cycle();
            EXPECT_EQ(l.slave.state(), SlaveState::Data);
        }
    }
}

// The requests of two connections (the second after a reset by the master),
// replayed to a slave with the same seed, which therefore answers alike: its
// steps allocate nothing, the first session included.
TEST(SlaveRobustness, StepsAllocateNothing) {
    for (const auto &[out, in] : {Sizes{1, 1}, Sizes{16, 2}}) {
        SCOPED_TRACE(testing::Message() << out << '/' << in);
        RuleLink l(out, in);
        std::vector<Bytes> requests;
        const auto run = [&](int data_cycles) {
            for (int i = 0; i < 64 && l.m.state != MState::Data; ++i) {
                requests.push_back(l.m.request());
                l.cycle();
            }
            for (int i = 0; i < data_cycles; ++i) {
                requests.push_back(l.m.request());
                l.cycle();
            }
        };
        run(5);
        l.m.reset();
        run(5);
        ASSERT_EQ(l.slave.state(), SlaveState::Data);
        SlaveSimulator replayed(config_for(out, in));
        kestrel::test::count_allocations(true);
        for (const Bytes &r : requests) replayed.step(r);
        kestrel::test::count_allocations(false);
        EXPECT_EQ(kestrel::test::allocations(), 0);
        EXPECT_EQ(Bytes(replayed.reply().begin(), replayed.reply().end()),
                  Bytes(l.slave.reply().begin(), l.slave.reply().end()));
    }
}

TEST(SlaveRobustness, OnlyAWholeRepeatIsTheSameRequest) {
    SlaveSimulator s(config_for(2, 2));
    Bytes a(60, 0x2A), b = a;
    b.back() = 0x2B;  // differs after the length of any frame
    for (const Bytes &r : {a, b, b}) s.step(r);
    EXPECT_EQ(s.counters().frames_received, 2u);
    EXPECT_EQ(s.counters().frames_repeated, 1u);
    EXPECT_EQ(s.counters().errors, 2u);
}

}  // namespace
