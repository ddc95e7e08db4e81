// Fault campaign: a MasterHandler against the software slave, with faults
// injected into the slave's replies on their way to the master, one class of
// the usual fault model of safety fieldbuses at a time.
//
// For every fault it checks that the master detects it in the cycle it
// arrives (or, for losses and delays, that its watchdog does), that no safe
// input ever holds a value the slave did not send in a valid frame of the
// current session, that the inputs are fail-safe from the detection on, and
// that the connection returns to Data. Prints a table per class and size and
// exits non-zero when a fault was accepted beyond what the CRCs predict.
//
//   kestrel_campaign [--faults N] [--seed S]     N: faults per row (default 20000)
#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "kestrel/handler/master_handler.hpp"
#include "kestrel/sim/slave_simulator.hpp"

namespace {

using namespace kestrel;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kSlaveAddress = 0x0102;
constexpr uint16_t kConnectionId = 0x0BCD;
constexpr uint8_t kFailSafe = 0xA5;
constexpr int kWatchdogCycles = 8;   // the master's watchdog time in bus cycles
constexpr int kRecoveryLimit = 400;  // cycles after which a connection counts as lost

// What a fault class must lead to.
enum class Expect {
    Frame,     // detected by the frame checks in the cycle it arrives: never accepted
    Chance,    // the same, except by a CRC match by chance (bounded, see predicted())
    Watchdog,  // no frame to judge: the master's watchdog ends the connection
};

enum class Fault {
    Flip1,
    Flip2,
    Flip3,
    BurstInField,
    Burst,
    GarbageSameLength,
    GarbageOtherLength,
    Repetition,
    Replay,
    SequenceSkip,
    SequenceBack,
    LossOne,
    LossMany,
    Delay,
    InsertOldSession,
    InsertOtherConnection,
    MasqueradeConnectionId,
    MasqueradeCommand,
    WrongEcho,
};

struct FaultInfo {
    Fault fault;
    const char *name;
    Expect expect;
    bool in_setup;  // also injected in the set-up states (share of the runs)
};

// Losing one reply is not a fault of the stream: the process image holds the
// previous reply, the master's request stays, and the slave answers it again
// the next cycle. It is listed to show exactly that (tolerated, no report).
constexpr FaultInfo kFaults[] = {
    {Fault::Flip1, "bit flip x1 (every position)", Expect::Frame, true},
    {Fault::Flip2, "bit flip x2", Expect::Frame, true},
    {Fault::Flip3, "bit flip x3", Expect::Frame, true},
    // Within one field (the command, one block's data, one block's CRC, the
    // connection id) a burst of up to 16 bits is a burst of the CRC's codeword
    // and always caught. Across fields it is not: the connection id leads the
    // CRC's input but ends the frame, and the CRC words sit between data, so
    // the CRC's burst guarantee does not reach it (bounded by 2^-16 instead).
    {Fault::BurstInField, "burst <=16 bits in one field", Expect::Frame, true},
    {Fault::Burst, "burst 2..16 bits, any place", Expect::Chance, true},
    {Fault::GarbageSameLength, "garbage, right length", Expect::Chance, true},
    {Fault::GarbageOtherLength, "garbage, wrong length", Expect::Frame, true},
    {Fault::Repetition, "repetition (stream)", Expect::Watchdog, false},
    {Fault::Replay, "replay, same session", Expect::Chance, false},
    {Fault::SequenceSkip, "sequence skipped", Expect::Chance, false},
    {Fault::SequenceBack, "sequence out of order", Expect::Chance, false},
    {Fault::LossOne, "loss, one reply", Expect::Watchdog, false},
    {Fault::LossMany, "loss, many replies", Expect::Watchdog, false},
    {Fault::Delay, "delay past watchdog", Expect::Watchdog, false},
    {Fault::InsertOldSession, "insertion, old session", Expect::Chance, false},
    {Fault::InsertOtherConnection, "insertion, other conn.", Expect::Frame, false},
    {Fault::MasqueradeConnectionId, "masquerade, conn. id", Expect::Frame, false},
    {Fault::MasqueradeCommand, "masquerade, command", Expect::Frame, false},
    {Fault::WrongEcho, "wrong echo in set-up", Expect::Frame, true},
};

struct Row {
    uint64_t injected = 0, detected = 0, by_watchdog = 0, tolerated = 0, accepted = 0;
    uint64_t truth_violations = 0, fail_safe_violations = 0, not_recovered = 0;
    int worst_recovery = 0;
    std::map<std::string, uint64_t> transitions;
};

// One master and one slave on a simulated bus; the campaign sits on the wire
// between the slave's reply and the master.
class Bus {
public:
    Bus(uint16_t size, uint16_t connection_id, uint64_t seed) : size_(size) {
        std::vector<DictionaryItemPtr> items;
        for (uint16_t i = 0; i < size; ++i) {
            outputs_.push_back(
                std::make_shared<DictionaryItemOutput>(0x100 + i, "out" + std::to_string(i), DataType::UINT8));
            items.push_back(outputs_.back());
        }
        for (uint16_t i = 0; i < size; ++i) {
            inputs_.push_back(std::make_shared<DictionaryItemInput>(0x200 + i, "in" + std::to_string(i),
                                                                    DataType::UINT8, int64_t{kFailSafe}));
            items.push_back(inputs_.back());
        }
        dictionary_ = std::make_shared<Dictionary>(items);
        sim::SlaveConfig config;
        config.slave_address = kSlaveAddress;
        config.input_size = size;
        config.output_size = size;
        config.manual_clock = true;
        config.seed = seed;
        config.application_parameters = {0x34, 0x12};
        parameters_ = {
            std::make_shared<ApplicationParameter>("p16", Value{int64_t{0x1234}}, std::nullopt, DataType::UINT16)};
        slave = std::make_unique<sim::SlaveSimulator>(config);
        // The campaign expires the watchdog itself (see deliver()), on a clock
        // that moves one bus cycle per cycle, so that the results do not depend
        // on the machine's timing; the thread itself never fires.
        auto quiet = [this](double, Watchdog::Callback callback) {
            watchdog_ = std::make_shared<Watchdog>(3600.0, std::move(callback), Watchdog::kBlockingCommandWait, clock_);
            watchdog_->start();
            return watchdog_;
        };
        master = std::make_unique<MasterHandler>(
            dictionary_, kSlaveAddress, connection_id, 1.0, parameters_,
            [this](std::string_view name, std::string_view) {
                if (report.empty()) report = std::string(name);
            },
            nullptr, true, quiet);
        for (const auto &o : outputs_) master->master->dictionary_map->add(o);
        for (const auto &i : inputs_) master->slave->dictionary_map->add(i);
        master->start();
    }

    // The request for this cycle, and the slave's genuine reply to it.
    std::span<const uint8_t> slave_step() {
        master->set_fail_safe(false);
        slave->set_process_data(true);
        request_len = master->get_request(request);
        const uint16_t session = slave->slave_session_id();
        if (session != session_) {  // a new session: what the slave sent before is history
            session_ = session;
            ++session_count_;
            sent_.clear();
        }
        std::array<uint8_t, MAX_DATA_BYTES> values{};
        for (uint16_t i = 0; i < size_; ++i) values[i] = static_cast<uint8_t>(rng_());
        slave->set_inputs({values.data(), size_});
        const auto reply = slave->step({request.data(), request_len});
        if (slave->state() == sim::SlaveState::Data && reply.size() > 0 &&
            reply[0] == static_cast<uint8_t>(FSOECommand::PROCESS_DATA))
            sent_.insert(Bytes(slave->inputs().begin(), slave->inputs().end()));
        return reply;
    }

    // Hands `bytes` to the master and runs the campaign's watchdog model: a
    // request unchanged for kWatchdogCycles cycles means no reply was accepted
    // for that long, and the expiry is delivered as the thread would.
    void deliver(std::span<const uint8_t> bytes) {
        report.clear();
        master->set_reply(bytes);
        clock_->advance(kCycle);
        // Expired when the handler has not restarted its watchdog for the
        // watchdog time: exactly the rule of the watchdog thread.
        if (clock_->now() - watchdog_->last_reset() >= kWatchdogCycles * kCycle) master->_watchdog_expired_event();
    }
    void cycle() {
        const auto reply = slave_step();
        deliver(reply);
    }

    bool inputs_fail_safe() const {
        for (const auto &i : inputs_)
            if (std::get<int64_t>(i->value()) != kFailSafe) return false;
        return true;
    }
    // True when the inputs hold their fail-safe values or values the slave
    // sent in a valid frame of its current session.
    bool inputs_true() const {
        if (inputs_fail_safe()) return true;
        Bytes values;
        for (const auto &i : inputs_) values.push_back(static_cast<uint8_t>(std::get<int64_t>(i->value())));
        return sent_.count(values) != 0;
    }
    StateId state() const { return master->state(); }
    uint64_t sessions() const { return session_count_; }
    void reset_watchdog_model() { watchdog_->reset(); }

    std::unique_ptr<sim::SlaveSimulator> slave;
    std::unique_ptr<MasterHandler> master;
    MasterHandler::RequestBuffer request{};
    size_t request_len = 0;
    std::string report;  // first transition reported in the last delivery

private:
    uint16_t size_;
    std::vector<std::shared_ptr<DictionaryItemOutput>> outputs_;
    std::vector<std::shared_ptr<DictionaryItemInput>> inputs_;
    std::vector<std::shared_ptr<ApplicationParameter>> parameters_;
    std::shared_ptr<Dictionary> dictionary_;
    std::set<Bytes> sent_;
    uint16_t session_ = 0xFFFF;
    uint64_t session_count_ = 0;
    static constexpr Watchdog::Duration kCycle = std::chrono::milliseconds(1);
    std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
    std::shared_ptr<Watchdog> watchdog_;
    std::mt19937_64 rng_{12345};
};

uint16_t crc_blocks(uint16_t size) { return size <= 2 ? 1 : size / 2; }

// Probability that one fault of the class passes every check by chance.
double chance(Fault fault, uint16_t size) {
    const double blocks = crc_blocks(size);
    switch (fault) {
        case Fault::InsertOldSession:
        case Fault::Replay:
        case Fault::SequenceSkip:
        case Fault::SequenceBack:
            // A replayed, renumbered or old frame is checked over its own data:
            // it differs from the expected one only in the seed and the sequence
            // number. Every block starts from the same 16-bit register after
            // seed, connection id, sequence number and command, so the frame
            // passes exactly when that register matches, about 2^-16 for a
            // random seed however many blocks the frame has. (A renumbered frame
            // with the right seed cannot match by itself, but the runner finds
            // the slave's number by trying numbers, which can match by chance.)
            return std::ldexp(1.0, -16);
        case Fault::Burst:
            // Outside the CRC's burst guarantee when it crosses fields: a
            // random error pattern of the CRC, at most 2^-16.
            return std::ldexp(1.0, -16);
        case Fault::GarbageSameLength:
            // Two data commands of 256, the connection id, every block's CRC.
            return 2.0 / 256.0 * std::ldexp(1.0, -16) * std::pow(2.0, -16.0 * blocks);
        default:
            return 0.0;
    }
}

// Largest count of chance acceptances that is still consistent with the
// predicted rate (Poisson, one-sided, at 1e-6).
uint64_t allowed(double expected) {
    if (expected <= 0) return 0;
    double p = std::exp(-expected), cumulative = p;
    uint64_t k = 0;
    while (1.0 - cumulative > 1e-6 && k < 1000000) {
        ++k;
        p *= expected / static_cast<double>(k);
        cumulative += p;
    }
    return k;
}

class Campaign {
public:
    Campaign(uint16_t size, uint64_t seed) : size_(size), bus_(size, kConnectionId, seed), rng_(seed) {
        length_ = frame_length_for(size);
        // Valid Data frames of another connection (another id, its own session).
        Bus other(size, static_cast<uint16_t>(kConnectionId ^ 0x5A5A), seed + 1);
        for (int i = 0; other_frames_.size() < 512 && i < 20000; ++i) {
            const auto reply = other.slave_step();
            if (other.slave->state() == sim::SlaveState::Data) other_frames_.emplace_back(reply.begin(), reply.end());
            other.deliver(reply);
        }
        recover(nullptr);
        // One session ended at once, so that frames of an earlier session exist.
        for (int i = 0; i < 20; ++i) {
            const Bytes reply = genuine();
            bus_.deliver(reply);
            remember(reply);
        }
        bus_.master->reset();
        recover(nullptr);
    }

    void run(const FaultInfo &info, uint64_t count, Row &row, bool setup) {
        for (uint64_t i = 0; i < count; ++i) one(info, row, setup, i);
    }

private:
    // A genuine reply of the current Data state, with history kept for replays.
    Bytes genuine() {
        const auto reply = bus_.slave_step();
        Bytes bytes(reply.begin(), reply.end());
        if (bus_.sessions() != history_session_) {
            for (const Bytes &b : history_) old_session_.push_back(b);
            if (old_session_.size() > 256) old_session_.erase(old_session_.begin(), old_session_.end() - 256);
            history_.clear();
            history_session_ = bus_.sessions();
        }
        return bytes;
    }
    // Data frames only: what replays and insertions draw from.
    void remember(const Bytes &bytes) {
        if (bytes.empty() || (bytes[0] != static_cast<uint8_t>(FSOECommand::PROCESS_DATA) &&
                              bytes[0] != static_cast<uint8_t>(FSOECommand::FAILSAFE_DATA)))
            return;
        history_.push_back(bytes);
        if (history_.size() > 32) history_.erase(history_.begin());
    }

    // Cycles with genuine replies until the master is in Data again; returns
    // the cycles taken, or -1 when it does not come back.
    static std::string hex(const Bytes &bytes) {
        std::string out;
        char b[4];
        for (uint8_t v : bytes) {
            std::snprintf(b, sizeof b, "%02x", v);
            out += b;
        }
        return out;
    }

    int recover(Row *row) {
        recovery_trace_.clear();
        for (int c = 0; c < kRecoveryLimit; ++c) {
            if (bus_.state() == StateId::Data && !bus_.inputs_fail_safe()) return c;
            if (row && bus_.state() != StateId::Data && !bus_.inputs_fail_safe()) ++row->fail_safe_violations;
            const Bytes reply = genuine();
            bus_.deliver(reply);
            if (trace_ && c < 40) {
                char line[200];
                std::snprintf(
                    line, sizeof line, "  cycle %d: request %s, reply %s -> %s [%s]\n", c,
                    hex(Bytes(bus_.request.begin(), bus_.request.begin() + static_cast<long>(bus_.request_len)))
                        .c_str(),
                    hex(reply).c_str(), std::string(state_name(bus_.state())).c_str(), bus_.report.c_str());
                recovery_trace_ += line;
            }
            if (bus_.state() == StateId::Data) remember(reply);
            if (row && !bus_.inputs_true()) ++row->truth_violations;
        }
        return -1;
    }

    // The reply with its CRCs made valid again for the fields given (the slave's
    // own sequence number and seed, found from the genuine frame).
    template <typename Modify>
    std::optional<Bytes> recrc(const Bytes &reply, int sequence_delta, Modify &&modify) {
        FSOEFrame frame(static_cast<long long>(length_));
        frame.frame_from_array(reply);
        FSOEFrame request(static_cast<long long>(bus_.request_len));
        request.frame_from_array({bus_.request.data(), bus_.request_len});
        const uint16_t seed = request._c_fsoe_frame.au16Crc[0];
        frame.control.set_crc0(seed);
        std::optional<uint16_t> seq;
        for (uint32_t d = 0; d < 8 && !seq; ++d) {
            const uint16_t s = static_cast<uint16_t>((seq_hint_ + d - 1) % 0xFFFF + 1);
            frame.control.set_sequence_number(s);
            if (frame.check_crcs()) seq = s;
        }
        for (uint32_t s = 1; s <= 0xFFFF && !seq; ++s) {
            frame.control.set_sequence_number(static_cast<uint16_t>(s));
            if (frame.check_crcs()) seq = static_cast<uint16_t>(s);
        }
        if (!seq) return std::nullopt;
        seq_hint_ = static_cast<uint16_t>(*seq % 0xFFFF + 1);
        int32_t s = static_cast<int32_t>(*seq) + sequence_delta;
        while (s < 1) s += 0xFFFF;
        while (s > 0xFFFF) s -= 0xFFFF;
        frame.control.set_sequence_number(static_cast<uint16_t>(s));
        modify(frame);
        frame.generate_crcs();
        std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> out{};
        const size_t n = frame.frame_to_array(out);
        return Bytes(out.begin(), out.begin() + static_cast<long>(n));
    }

    void flip(Bytes &b, uint32_t bit) { b[bit / 8] = static_cast<uint8_t>(b[bit / 8] ^ (1u << (bit % 8))); }
    uint32_t bits() const { return static_cast<uint32_t>(length_ * 8); }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

    void lost(const char *when) {
        std::fprintf(stderr, "connection lost while %s: master %s, slave state %d, slave reset sent %d received %d\n",
                     when, std::string(state_name(bus_.state())).c_str(), static_cast<int>(bus_.slave->state()),
                     bus_.slave->last_reset_sent().value_or(255), bus_.slave->last_reset_received().value_or(255));
        if (trace_) std::fprintf(stderr, "%s", recovery_trace_.c_str());
    }

    // Brings the master into the state the fault is meant for.
    bool reach(StateId target) {
        for (int c = 0; c < kRecoveryLimit; ++c) {
            if (bus_.state() == target) return true;
            const Bytes reply = genuine();
            bus_.deliver(reply);
            if (bus_.state() == StateId::Data) remember(reply);
        }
        return false;
    }

    void one(const FaultInfo &info, Row &row, bool setup, uint64_t index) {
        static constexpr StateId kSetup[] = {StateId::Session, StateId::Connection, StateId::Parameter};
        StateId target = StateId::Data;
        if (setup) {
            target = info.fault == Fault::WrongEcho ? kSetup[1 + index % 2] : kSetup[index % 3];
            // Set-up states are reached from a fresh start.
            bus_.master->reset();
            bus_.reset_watchdog_model();
        } else {
            // A few good cycles in Data, so the fault meets an established stream.
            for (int i = 0; i < 2; ++i) {
                const Bytes reply = genuine();
                bus_.deliver(reply);
                remember(reply);
            }
        }
        if (!reach(target)) {
            ++row.not_recovered;
            lost("reaching the state for the fault");
            return;
        }
        ++row.injected;

        Bytes reply = genuine();
        Bytes faulty = reply;
        int silent_cycles = 0;      // watchdog classes: cycles the master hears nothing new
        std::optional<Bytes> late;  // the delayed reply, delivered after the expiry
        const Bytes previous = history_.empty() ? reply : history_.back();
        switch (info.fault) {
            case Fault::Flip1:
                flip(faulty, static_cast<uint32_t>(index % bits()));
                break;
            case Fault::Flip2:
            case Fault::Flip3: {
                std::set<uint32_t> chosen;
                while (chosen.size() < (info.fault == Fault::Flip2 ? 2u : 3u)) chosen.insert(below(bits()));
                for (uint32_t b : chosen) flip(faulty, b);
                break;
            }
            case Fault::BurstInField:
            case Fault::Burst: {
                // Fields on the wire: command, then per block its data and its
                // CRC, then the connection id (bit ranges [first, end)).
                uint32_t first = 0, end = bits();
                if (info.fault == Fault::BurstInField) {
                    std::vector<std::pair<uint32_t, uint32_t>> fields = {{0, 8}};
                    const uint32_t blocks = crc_blocks(size_), data_bytes = size_ == 1 ? 1 : 2;
                    for (uint32_t b = 0, at = 8; b < blocks; ++b) {
                        fields.push_back({at, at + 8 * data_bytes});
                        at += 8 * data_bytes;
                        fields.push_back({at, at + 16});
                        at += 16;
                    }
                    fields.push_back({bits() - 16, bits()});
                    std::tie(first, end) = fields[below(static_cast<uint32_t>(fields.size()))];
                }
                const uint32_t width = end - first;
                const uint32_t span = std::min<uint32_t>(2 + below(15), width);  // first and last bits flipped
                const uint32_t start = first + below(width - span + 1);
                flip(faulty, start);
                flip(faulty, start + span - 1);
                for (uint32_t b = start + 1; b + 1 < start + span; ++b)
                    if (rng_() & 1) flip(faulty, b);
                break;
            }
            case Fault::GarbageSameLength:
                for (auto &b : faulty) b = static_cast<uint8_t>(rng_());
                break;
            case Fault::GarbageOtherLength: {
                size_t n = below(FSOE_FRAME_BUFFER_BYTES + 8);
                if (n == length_ || n == length_ + 1) n = length_ + 2;  // one trailing byte is tolerated
                faulty.resize(n);
                for (auto &b : faulty) b = static_cast<uint8_t>(rng_());
                break;
            }
            case Fault::Repetition:
                faulty = previous;
                silent_cycles = kWatchdogCycles + 1;
                break;
            case Fault::Replay: {
                if (history_.size() < 3) {
                    --row.injected;
                    return;
                }
                const size_t age = 2 + below(static_cast<uint32_t>(std::min<size_t>(history_.size(), 16) - 1));
                faulty = history_[history_.size() - age];
                break;
            }
            case Fault::SequenceSkip:
            case Fault::SequenceBack:
            case Fault::MasqueradeConnectionId:
            case Fault::MasqueradeCommand: {
                std::optional<Bytes> crafted;
                const auto keep = [](FSOEFrame &) {};
                if (info.fault == Fault::SequenceSkip)
                    crafted = recrc(reply, 1 + static_cast<int>(below(3)), keep);
                else if (info.fault == Fault::SequenceBack)
                    crafted = recrc(reply, -1 - static_cast<int>(below(3)), keep);
                else if (info.fault == Fault::MasqueradeConnectionId) {
                    uint16_t id = static_cast<uint16_t>(rng_());
                    if (id == kConnectionId) id ^= 1;
                    crafted = recrc(reply, 0, [id](FSOEFrame &f) { f.control.set_connection_id(id); });
                } else {
                    // A command never allowed in Data (set-up commands, unknown bytes).
                    static constexpr uint8_t kSetupCommands[] = {0x4E, 0x64, 0x52};
                    uint8_t command = static_cast<uint8_t>(rng_());
                    if (index % 2 == 0 || command_has_value(command)) command = kSetupCommands[below(3)];
                    crafted =
                        recrc(reply, 0, [command](FSOEFrame &f) { f._c_fsoe_frame.sControl.u16Command = command; });
                }
                if (!crafted) {
                    --row.injected;
                    return;
                }
                faulty = *crafted;
                break;
            }
            case Fault::LossOne:
                faulty = previous;  // the process image still holds the previous reply
                silent_cycles = 1;
                break;
            case Fault::LossMany:
                faulty = previous;
                silent_cycles = kWatchdogCycles + static_cast<int>(below(8));
                break;
            case Fault::Delay:
                faulty = previous;
                late = reply;
                silent_cycles = kWatchdogCycles;
                break;
            case Fault::InsertOldSession:
                if (old_session_.empty()) {
                    --row.injected;
                    return;
                }
                faulty = old_session_[below(static_cast<uint32_t>(old_session_.size()))];
                break;
            case Fault::InsertOtherConnection:
                faulty = other_frames_[below(static_cast<uint32_t>(other_frames_.size()))];
                break;
            case Fault::WrongEcho: {
                // An echoed set-up byte changed, with CRCs valid for it.
                const uint16_t word = 0;
                const uint16_t mask = static_cast<uint16_t>(1u << below(size_ == 1 ? 8 : 16));
                const auto crafted = recrc(reply, 0, [word, mask](FSOEFrame &f) {
                    f._c_fsoe_frame.au16Data[word] = static_cast<uint16_t>(f._c_fsoe_frame.au16Data[word] ^ mask);
                });
                if (!crafted) {
                    --row.injected;
                    return;
                }
                faulty = *crafted;
                break;
            }
        }

        bool detected = false, accepted = false;
        if (info.expect == Expect::Watchdog) {
            // Silent cycles: the master keeps hearing `faulty` (already seen).
            int cycles = 0;
            bus_.deliver(faulty);
            for (cycles = 1; cycles < silent_cycles && bus_.report.empty(); ++cycles) {
                bus_.slave_step();
                bus_.deliver(faulty);
            }
            if (!bus_.report.empty()) {
                detected = true;
                ++row.by_watchdog;
                ++row.transitions[bus_.report];
                if (!bus_.inputs_fail_safe()) ++row.fail_safe_violations;
                if (late) {
                    bus_.slave_step();
                    bus_.deliver(*late);  // the late reply meets the Reset state
                    if (bus_.state() == StateId::Data || !bus_.inputs_fail_safe()) ++row.fail_safe_violations;
                }
            } else {
                ++row.tolerated;  // fewer silent cycles than the watchdog time: nothing to detect
                remember(reply);
            }
        } else {
            bus_.deliver(faulty);
            if (!bus_.report.empty()) {
                detected = true;
                ++row.detected;
                ++row.transitions[bus_.report];
                if (!bus_.inputs_fail_safe()) ++row.fail_safe_violations;
            } else if (setup ? bus_.state() != StateId::Reset : bus_.state() == StateId::Data) {
                accepted = true;
                ++row.accepted;
                ++row.transitions["(accepted)"];
            }
            if (!bus_.inputs_true()) ++row.truth_violations;
        }
        if (detected || accepted) {
            const int cycles = recover(&row);
            if (cycles < 0) {
                ++row.not_recovered;
                lost("recovering");
            } else
                row.worst_recovery = std::max(row.worst_recovery, cycles);
        }
    }

    uint16_t size_;
    size_t length_ = 0;
    Bus bus_;
    std::mt19937_64 rng_;
    std::vector<Bytes> history_, old_session_, other_frames_;
    uint64_t history_session_ = 0;
    uint16_t seq_hint_ = 1;
    // CAMPAIGN_TRACE set: a lost connection prints its first recovery cycles.
    const bool trace_ = std::getenv("CAMPAIGN_TRACE") != nullptr;
    std::string recovery_trace_;
};

}  // namespace

int main(int argc, char **argv) {
    uint64_t per_row = 20000, seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--faults") == 0) per_row = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--seed") == 0) seed = std::strtoull(argv[i + 1], nullptr, 10);
    }
    bool failed = false;
    uint64_t total = 0;
    std::printf("%-30s %5s %-5s %9s %9s %9s %9s %8s %9s %6s  %s\n", "class", "bytes", "state", "injected", "detected",
                "watchdog", "tolerated", "accepted", "predicted", "recov", "transitions");
    for (const FaultInfo &info : kFaults) {
        for (uint16_t size : {1, 2, 4, 16}) {
            for (bool setup : {false, true}) {
                if (setup && !info.in_setup) continue;
                if (!setup && info.fault == Fault::WrongEcho) continue;
                Campaign campaign(size, seed * 1000 + size * 10 + static_cast<uint64_t>(info.fault) * 7 + setup);
                Row row;
                // Set-up runs are a share: a quarter of the Data runs.
                const uint64_t count = setup ? std::max<uint64_t>(per_row / 4, 1) : per_row;
                campaign.run(info, count, row, setup);
                total += row.injected;
                const double predicted =
                    info.expect == Expect::Chance ? static_cast<double>(row.injected) * chance(info.fault, size) : 0.0;
                const bool over = row.accepted > allowed(predicted);
                const bool wrong_data = row.truth_violations > (info.expect == Expect::Chance ? row.accepted : 0);
                const bool bad = over || wrong_data || row.fail_safe_violations || row.not_recovered ||
                                 (info.expect == Expect::Watchdog && row.accepted);
                failed |= bad;
                std::string transitions;
                for (const auto &[name, n] : row.transitions) transitions += name + ":" + std::to_string(n) + " ";
                std::printf("%-30s %5u %-5s %9" PRIu64 " %9" PRIu64 " %9" PRIu64 " %9" PRIu64 " %8" PRIu64
                            " %9.2g %6d  %s%s\n",
                            info.name, size, setup ? "setup" : "data", row.injected, row.detected, row.by_watchdog,
                            row.tolerated, row.accepted, predicted, row.worst_recovery, transitions.c_str(),
                            bad ? " <-- FAILED" : "");
                if (row.truth_violations || row.fail_safe_violations || row.not_recovered)
                    std::printf("    wrong inputs: %" PRIu64 ", inputs not fail-safe: %" PRIu64
                                ", not recovered: %" PRIu64 "\n",
                                row.truth_violations, row.fail_safe_violations, row.not_recovered);
                std::fflush(stdout);
            }
        }
    }
    std::printf("faults injected: %" PRIu64 "; %s\n", total, failed ? "FAILED" : "all within the predicted bounds");
    return failed ? 1 : 0;
}
