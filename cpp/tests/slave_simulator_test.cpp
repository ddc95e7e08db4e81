// The software slave driven by hand-built master frames. MasterStub chains its
// frames as the master does: Reset frames and the Session frames of a session
// begun from Reset without the CRC_0 skip, every later frame with it; the
// seed of each request is the CRC_0 of the last reply and vice versa.
#include "kestrel/sim/slave_simulator.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include "kestrel/common/error.hpp"

using namespace kestrel;
using namespace kestrel::sim;

namespace {

using Bytes = std::vector<uint8_t>;

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

    void go_reset() {
        req.control.set_crc0(0), rep.control.set_crc0(0);
        req.control.set_sequence_number(1), rep.control.set_sequence_number(1);
        in_reset = true;
        cyclic = false;
    }
    // A new session after the slave reset the connection: both chains restart,
    // the cyclic rule stays as it was.
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
    EXPECT_EQ(l.slave.watchdog_ms(), kWatchdog);

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
    l.to_data();
    // A Session frame inside the connection that does not start a new chain.
    l.expect_reset(l.exchange(FSOECommand::SESSION, {1, 2}, 0), INVALID_CMD);
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
    l.slave.advance(kWatchdog);  // exactly the watchdog time is still in time
    ASSERT_TRUE(l.exchange(FSOECommand::FAILSAFE_DATA, Bytes(n()), kConnId).crc_ok);
    ASSERT_EQ(l.slave.state(), SlaveState::Data);
    l.slave.advance(kWatchdog + 1);
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
    const auto replies = l.transfer(FSOECommand::CONNECTION, stream, kConnId);
    l.expect_reset(replies.back(), INVALID_ADDRESS);
    EXPECT_EQ(replies.size(), (4u + n() - 1) / n());  // judged on the frame that completes the data
}

struct ParameterCase {
    const char *name;
    Bytes stream;
    uint8_t code;
};

TEST_P(Errors, ParametersJudgedInOrderAfterLastByte) {
    const Bytes wrong{0x11, 0x22, 0x33, 0x44, 0x56};
    const std::vector<ParameterCase> cases{
        {"comm length", parameter_data(kWatchdog, kParams, 4), INVALID_COMMPARALEN},
        {"comm length before app length", parameter_data(kWatchdog, Bytes{1}, 4), INVALID_COMMPARALEN},
        {"app length", parameter_data(kWatchdog, Bytes{1, 2, 3}), INVALID_USERPARALEN},
        {"app length before watchdog", parameter_data(5, Bytes{1, 2, 3}), INVALID_USERPARALEN},
        {"watchdog below", parameter_data(9, kParams), INVALID_COMPARA},
        {"watchdog above", parameter_data(1001, kParams), INVALID_COMPARA},
        {"watchdog before values", parameter_data(1001, wrong), INVALID_COMPARA},
        {"values", parameter_data(kWatchdog, wrong), INVALID_USERPARA},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        l.reset();
        l.session();
        l.connection();
        const auto replies = l.transfer(FSOECommand::PARAMETER, c.stream, kConnId);
        ASSERT_EQ(replies.size(), (c.stream.size() + n() - 1) / n());
        // Every frame before the last one is echoed as sent, wrong data included.
        for (size_t i = 0; i + 1 < replies.size(); ++i) {
            ASSERT_TRUE(replies[i].crc_ok);
            ASSERT_TRUE(std::equal(replies[i].data.begin(), replies[i].data.begin() + n(),
                                   c.stream.begin() + static_cast<long>(i * n())));
        }
        l.expect_reset(replies.back(), c.code);
    }
}

TEST_P(Errors, HostParameterCheck) {
    for (const auto &[verdict, code] : std::vector<std::pair<int, uint8_t>>{{0x85, 0x85}, {3, INVALID_USERPARA}}) {
        SlaveConfig c = config_for(n(), n());
        Bytes seen;
        c.check_parameters = [&, verdict = verdict](std::span<const uint8_t> p) {
            seen.assign(p.begin(), p.end());
            return verdict;
        };
        Link k(c);
        k.reset();
        k.session();
        k.connection();
        k.expect_reset(k.transfer(FSOECommand::PARAMETER, parameter_data(kWatchdog, kParams), kConnId).back(), code);
        EXPECT_EQ(seen, kParams);
    }
    SlaveConfig c = config_for(n(), n());
    c.check_parameters = [](std::span<const uint8_t>) -> int { throw std::runtime_error("broken"); };
    Link k(c);
    k.reset();
    k.session();
    k.connection();
    k.expect_reset(k.transfer(FSOECommand::PARAMETER, parameter_data(kWatchdog, kParams), kConnId).back(),
                   INVALID_USERPARA);
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

}  // namespace
