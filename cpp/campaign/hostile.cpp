// Hostile-host campaign: a MasterHandler against the software slave, cycled
// by a host whose every callback (error, state change, input subscribers, the
// watchdog's log sink, the trace sink) at random throws, calls the handler
// back (any public operation), sleeps past the watchdog time or subscribes and
// unsubscribes other callbacks, on the host thread and on the watchdog thread.
// The slave's faults are injected on the way.
//
// After every event that returns (normally or with the host's exception) it
// checks, inside one event of the handler: the state is valid; outside Data
// every input holds its fail-safe value and the request is not process data;
// in Data the inputs hold exactly the values of the last valid frame (each
// frame's inputs encode its number, so mixed frames show); a fault detected in
// Data was reported exactly once; every counted fault transition was
// reported. It measures the longest time the handler's mutex was held by one
// event, less the time the host's own callbacks slept in it. Exits non-zero at
// the first violation.
//
//   kestrel_hostile [--events N] [--seed S] [--hold-limit-ms M]
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/common/error.hpp"
#include "kestrel/common/trace.hpp"
#include "kestrel/handler/master_handler.hpp"
#include "kestrel/sim/slave_simulator.hpp"

namespace {

using namespace kestrel;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFailSafe = 0xA5;
constexpr auto kProcessData = static_cast<uint8_t>(FSOECommand::PROCESS_DATA);
constexpr auto kFailSafeData = static_cast<uint8_t>(FSOECommand::FAILSAFE_DATA);
constexpr double kWatchdogS = 0.005;
constexpr auto kPastWatchdog = std::chrono::microseconds(6000);
constexpr int kMaxNesting = 3;
constexpr int kNoFrame = -1;    // the inputs of no frame known (after garbage)
constexpr int kFailSafeK = -2;  // a frame without process data: inputs fail-safe

// The inputs of frame number k: never the fail-safe value, different for
// every input, so that a mix of two frames or a stale input shows.
uint8_t input_value(int k, size_t i) { return static_cast<uint8_t>((k * 7 + static_cast<int>(i) * 37) % 160); }

struct HostError : std::runtime_error {
    HostError() : std::runtime_error("hostile host") {}
};

// What the callbacks did in the current event (printed with a violation).
std::mutex g_log_mutex;
std::string g_log;
void note(const std::string &what) {
    std::lock_guard lock(g_log_mutex);
    if (g_log.size() < 4000) g_log += what + "; ";
}
void clear_notes() {
    std::lock_guard lock(g_log_mutex);
    g_log.clear();
}

[[noreturn]] void violation(const char *what, const std::string &detail = {}) {
    {
        std::lock_guard lock(g_log_mutex);
        std::fprintf(stderr, "events: %s\n", g_log.c_str());
    }
    std::fprintf(stderr, "VIOLATION: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stderr);
    std::abort();
}

struct Totals {
    std::atomic<uint64_t> host_events{0}, watchdog_events{0}, callbacks{0}, throws{0}, reentrant{0}, sleeps{0},
        subscriptions{0}, deletes{0}, worlds{0}, faults{0}, faults_checked{0}, data_checks{0}, exact_checks{0},
        host_errors_seen{0}, handler_errors_seen{0}, log_sink_calls{0}, trace_sink_calls{0};
};
Totals g_totals;
uint64_t g_seed = 1;
bool g_no_throw = false;  // --no-throw: callbacks never throw (to tell a throw's part in a finding)

// What a callback does; the mix is drawn per call.
enum class CallbackKind : uint8_t { Error, StateChange, Subscriber, LogSink, TraceSink };

thread_local std::mt19937_64 t_rng{0};
thread_local int t_nesting = 0;
thread_local bool t_on_host = false;
thread_local Clock::duration t_slept{};  // slept by this thread's callbacks, in total

uint64_t roll(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(t_rng); }
bool chance(uint64_t per_million) { return roll(1'000'000) < per_million; }

void hostile_sleep() {
    const auto begin = Clock::now();
    std::this_thread::sleep_for(kPastWatchdog);
    t_slept += Clock::now() - begin;
    ++g_totals.sleeps;
}

// --- Mutex hold time --------------------------------------------------------

std::atomic<int64_t> g_longest_hold_ns{0};
std::array<std::atomic<uint64_t>, 4> g_holds_over{};  // holds over 1, 10, 100, 1000 ms
thread_local Clock::time_point t_hold_begin;
thread_local Clock::duration t_slept_at_hold{};

void hold_observer(bool acquired) noexcept {
    if (acquired) {
        t_hold_begin = Clock::now();
        t_slept_at_hold = t_slept;
        return;
    }
    const auto held = (Clock::now() - t_hold_begin) - (t_slept - t_slept_at_hold);
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(held).count();
    for (size_t i = 0, limit = 1'000'000; i < g_holds_over.size(); ++i, limit *= 10)
        if (ns > static_cast<int64_t>(limit)) g_holds_over[i].fetch_add(1, std::memory_order_relaxed);
    int64_t seen = g_longest_hold_ns.load(std::memory_order_relaxed);
    while (ns > seen && !g_longest_hold_ns.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
    }
}

// --- One handler and its slave ----------------------------------------------

class World {
public:
    World(uint16_t size, uint64_t seed) : size(size) {
        std::vector<DictionaryItemPtr> items;
        for (uint16_t i = 0; i < size; ++i) {
            outputs.push_back(
                std::make_shared<DictionaryItemOutput>(0x100 + i, "out" + std::to_string(i), DataType::UINT8));
            items.push_back(outputs.back());
        }
        for (uint16_t i = 0; i < size; ++i) {
            inputs.push_back(std::make_shared<DictionaryItemInput>(0x200 + i, "in" + std::to_string(i), DataType::UINT8,
                                                                   int64_t{kFailSafe}));
            items.push_back(inputs.back());
        }
        dictionary = std::make_shared<Dictionary>(items);
        sim::SlaveConfig config;
        config.slave_address = 0x0102;
        config.input_size = size;
        config.output_size = size;
        config.manual_clock = true;
        config.seed = seed;
        config.application_parameters = {0x34, 0x12};
        slave = std::make_unique<sim::SlaveSimulator>(config);
        parameters = {
            std::make_shared<ApplicationParameter>("p", Value{int64_t{0x1234}}, std::nullopt, DataType::UINT16)};
        // The expiry event is followed by the checks, on the watchdog thread.
        auto factory = [this](double timeout_s, Watchdog::Callback expire) {
            auto watchdog = std::make_shared<Watchdog>(timeout_s, [this, expire] {
                thread_local bool seeded = false;
                if (!seeded) {
                    t_rng.seed(g_seed ^ std::hash<std::thread::id>{}(std::this_thread::get_id()));
                    seeded = true;
                }
                t_on_host = false;
                ++g_totals.watchdog_events;
                try {
                    expire();
                } catch (...) {
                    after_event(false);
                    throw;
                }
                after_event(false);
            });
            watchdog->start();
            return watchdog;
        };
        owner = std::make_unique<MasterHandler>(
            dictionary, 0x0102, 0x0BCD, kWatchdogS, parameters,
            [this](std::string_view name, std::string_view) { on_error(name); },
            [this](StateId) { hostile(CallbackKind::StateChange); }, true, factory);
        handler = owner.get();
        for (const auto &o : outputs) handler->master->dictionary_map->add(o);
        for (const auto &i : inputs) handler->slave->dictionary_map->add(i);
        for (size_t i = 0; i < inputs.size(); ++i) {
            own_subscribers.push_back(make_change_callback([this] { hostile(CallbackKind::Subscriber); }, &tags[i]));
            inputs[i]->subscribe_changed(own_subscribers.back());
        }
        ++g_totals.worlds;
    }

    ~World() {
        // The handler first: its watchdog thread runs this world's checks, on
        // `handler`, until the destructor has joined it.
        owner.reset();
        for (const auto &i : inputs) i->clear_subscribers();
    }

    // --- the host's cycle (host thread) ---

    void cycle() {
        if (chance(20'000))
            for (const auto &o : outputs) o->set(Value{static_cast<int64_t>(roll(256))});
        if (chance(2'000))
            slave->set_process_data(false);  // fail-safe data for a while
        else if (chance(50'000))
            slave->set_process_data(true);
        if (!slave->faults_pending() && chance(30'000)) pending_fault = inject();
        const bool genuine = !slave->faults_pending();  // request_reset() and advance() leave valid frames
        std::array<uint8_t, MAX_DATA_BYTES> values{};
        ++frame_number;
        for (size_t i = 0; i < size; ++i) values[i] = input_value(frame_number, i);
        slave->set_inputs({values.data(), size});
        std::span<const uint8_t> reply;
        if (chance(100'000)) {
            const size_t offset = roll(4);
            std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES + 4> area{};
            try {
                const size_t n = handler->write_request_into(area, offset);
                reply = slave->step({area.data() + offset, n});
            } catch (const Error &) {
                reply = slave->step(request());
            }
        } else {
            reply = slave->step(request());
        }
        const Bytes bytes(reply.begin(), reply.end());
        // The same bytes again (silence, a repetition, an unchanged request)
        // are the same frame; a frame the faults touched is no valid frame.
        // A frame without process data, accepted, leaves the inputs fail-safe.
        int k = kNoFrame;
        if (bytes == last_slave_reply)
            k = last_slave_k;
        else if (bytes.empty() || bytes[0] != kProcessData)
            k = kFailSafeK;
        else if (genuine)
            k = frame_number;
        // The fault that went out with this reply (one at a time).
        int fault = -1;
        if (pending_fault >= 0 && !slave->faults_pending() && bytes != last_slave_reply) {
            fault = pending_fault;
            pending_fault = -1;
        }
        last_slave_reply = bytes;
        last_slave_k = k;
        feed_outer(bytes, k, fault);
    }

    std::span<const uint8_t> request() {
        request_len = handler->get_request(request_buffer);
        return {request_buffer.data(), request_len};
    }

    // The slave's faults (host thread). Returns the one injected.
    int inject() {
        ++g_totals.faults;
        const int kind = static_cast<int>(roll(11));
        try {
            switch (kind) {
                case 0:
                    slave->inject_bit_flip(static_cast<uint32_t>(roll(8 * frame_length_for(size))));
                    break;
                case 1:
                    slave->inject_wrong_connection_id();
                    break;
                case 2:
                    slave->inject_unknown_command(static_cast<uint8_t>(0xF0 + roll(16)));
                    break;
                case 3:
                    slave->inject_wrong_command();
                    break;
                case 4:
                    slave->inject_reset(static_cast<uint8_t>(roll(12)));
                    break;
                case 5:
                    // A changed byte with valid CRCs in a Data frame is a valid
                    // frame with other data (the slave may enter Data with this
                    // very reply from Parameter): only earlier echoes.
                    if (slave->state() != sim::SlaveState::Session && slave->state() != sim::SlaveState::Connection)
                        return -1;
                    slave->inject_wrong_echo(static_cast<uint16_t>(roll(size)));
                    break;
                case 6:
                    slave->inject_repeat(static_cast<uint32_t>(1 + roll(3)));
                    break;
                case 7:
                    slave->inject_replay(static_cast<uint32_t>(2 + roll(6)));
                    replayed = true;
                    break;
                case 8:
                    slave->inject_silence(static_cast<uint32_t>(1 + roll(20)));
                    break;
                case 9:
                    slave->request_reset();
                    break;
                default:
                    slave->advance(70'000);  // past any watchdog time of the slave
            }
        } catch (const Error &) {
            return -1;  // nothing to repeat yet
        }
        return kind;
    }

    // A reply handed over by the host's cycle, then the checks.
    void feed_outer(const Bytes &bytes, int k, int fault) {
        ++g_totals.host_events;
        clear_notes();
        note("feed k " + std::to_string(k) + " fault " + std::to_string(fault) + " state " +
             std::to_string(int(handler->state())));
        const StateId before = handler->state();
        const uint64_t reports_before = host_reports, nested_before = nested_actions;
        const uint64_t watchdog_before = watchdog_reports.load();
        t_nesting = 0;
        host_k = k;
        last_fault = fault;
        try {
            if (chance(100'000)) {
                std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES + 4> area{};
                const size_t offset = roll(4);
                std::copy(bytes.begin(), bytes.end(), area.begin() + static_cast<long>(offset));
                handler->set_reply_from(area, offset);  // ValueError when the area is short
            } else {
                handler->set_reply(bytes);
            }
        } catch (const HostError &) {
            ++g_totals.host_errors_seen;
        } catch (const Error &) {
            ++g_totals.handler_errors_seen;
        }
        // A fault the frame checks always catch, in Data, with no other event
        // in between: reported exactly once.
        const bool always_caught = fault >= 0 && fault <= 4;
        if (always_caught && before == StateId::Data && nested_actions == nested_before &&
            watchdog_reports.load() == watchdog_before && !deleted) {
            ++g_totals.faults_checked;
            if (host_reports - reports_before != 1)
                violation(
                    "a fault detected in Data was not reported exactly once",
                    "fault " + std::to_string(fault) + ", reports " + std::to_string(host_reports - reports_before));
            if (handler->state() == StateId::Data) violation("a fault in Data left the handler in Data");
        }
        after_event(true);
    }

    // Any other operation of the host thread, between cycles.
    void host_operation() {
        ++g_totals.host_events;
        clear_notes();
        t_nesting = 0;
        try {
            call_any(true);
        } catch (const HostError &) {
            ++g_totals.host_errors_seen;
        } catch (const Error &) {
            ++g_totals.handler_errors_seen;
        }
        after_event(true);
    }

    // --- the checks (inside one event: no expiry in between) ---

    void after_event(bool on_host) {
        if (deleted.load()) return;  // the host retires the handler after this event
        try {
            handler->event([&] { check(on_host); });
        } catch (const Error &e) {
            violation("the checks could not run", e.what());
        }
    }

    void check(bool on_host) {
        const StateId state = handler->state();
        if (static_cast<uint8_t>(state) > static_cast<uint8_t>(StateId::Data)) violation("state out of range");
        check_reports();
        MasterHandler::RequestBuffer out{};
        const size_t n = handler->get_request(out);
        std::array<uint8_t, MAX_DATA_BYTES> now{};
        for (size_t i = 0; i < size; ++i) now[i] = static_cast<uint8_t>(std::get<int64_t>(inputs[i]->value()));
        if (state != StateId::Data) {
            replayed = false;
            for (size_t i = 0; i < size; ++i)
                if (now[i] != kFailSafe)
                    violation("an input is not fail-safe outside Data",
                              "state " + std::to_string(int(state)) + " input " + std::to_string(i));
            if (n > 0 && out[0] == kProcessData) violation("process data requested outside Data");
            return;
        }
        ++g_totals.data_checks;
        if (n == 0 || (out[0] != kProcessData && out[0] != kFailSafeData))
            violation("the request in Data is no data frame",
                      "command " + std::to_string(n ? out[0] : -1) + " length " + std::to_string(n));
        // The inputs all come from one frame: the fail-safe values or frame k's.
        const bool all_fail_safe =
            std::all_of(now.begin(), now.begin() + size, [](uint8_t v) { return v == kFailSafe; });
        int k = kFailSafeK;
        if (!all_fail_safe) {
            // Find k from input 0 (k mod 160 is what the values carry).
            bool found = false;
            for (int candidate = 0; candidate < 160 && !found; ++candidate) {
                found = true;
                for (size_t i = 0; i < size && found; ++i) found = now[i] == input_value(candidate, i);
                if (found) k = candidate;
            }
            if (!found) violation("the inputs in Data mix frames or hold values no frame sent");
        }
        if (!on_host || replayed) return;
        // Exactly the last valid frame's values.
        ++g_totals.exact_checks;
        const int expected = host_k == kFailSafeK ? kFailSafeK : host_k >= 0 ? host_k % 160 : kNoFrame;
        if (expected == kNoFrame)
            violation("Data after a frame the checks always refuse",
                      "last fault " + std::to_string(last_fault) + " k " + std::to_string(k));
        if (k != expected)
            violation("the inputs in Data are not those of the last valid frame",
                      "k " + std::to_string(k) + " expected " + std::to_string(expected));
    }

    // Every fault transition counted was reported; a callback's reset, stop or
    // start ends the event after the report, before the count.
    void check_reports() {
        static const std::vector<size_t> reported = [] {
            std::vector<size_t> out;
            for (size_t i = 0; i < kTransitionNames.size(); ++i) {
                const std::string_view n = kTransitionNames[i];
                if (n.find("FAIL") != n.npos || n.ends_with("_WD") || n.ends_with("RESET1") || n == "SESSION_STAY2" ||
                    n == "RESET_STAY1")
                    out.push_back(i);
            }
            return out;
        }();
        const HandlerStatistics stats = handler->statistics();
        std::lock_guard lock(reports_mutex);
        for (const size_t i : reported)
            if (stats.transitions[i] > reports[i])
                violation("a fault transition was counted but not reported",
                          std::string(kTransitionNames[i]) + " counted " + std::to_string(stats.transitions[i]) +
                              " reported " + std::to_string(reports[i]));
    }

    // --- hostile callbacks ---

    void on_error(std::string_view name) {
        if (t_on_host)
            ++host_reports;
        else
            ++watchdog_reports;
        {
            std::lock_guard lock(reports_mutex);
            for (size_t i = 0; i < kTransitionNames.size(); ++i)
                if (kTransitionNames[i] == name) ++reports[i];
        }
        hostile(CallbackKind::Error);
    }

    void hostile(CallbackKind kind) {
        ++g_totals.callbacks;
        note("callback " + std::to_string(int(kind)) + " state " + std::to_string(int(handler->state())));
        if (t_nesting >= kMaxNesting) {
            if (chance(100'000)) throw_host();
            return;
        }
        ++t_nesting;
        struct Leave {
            ~Leave() { --t_nesting; }
        } leave;
        const int actions = 1 + static_cast<int>(roll(100) < 15);
        for (int a = 0; a < actions; ++a) {
            const uint64_t r = roll(1000);
            if (r < 520) continue;
            if (r < 640) {
                throw_host();
            } else if (r < 900) {
                ++nested_actions;
                try {
                    call_any(false);
                } catch (...) {
                    if (chance(300'000)) throw;  // the nested call's error goes on up
                }
            } else if (r < 960) {
                ++nested_actions;
                subscribe_other();
            } else if (r < 961 || (kind == CallbackKind::LogSink && r < 965)) {
                ++nested_actions;  // an expiry may come in meanwhile
                hostile_sleep();
            }
        }
        (void)kind;
    }

    static void throw_host() {
        if (g_no_throw) return;
        ++g_totals.throws;
        throw HostError();
    }

    void subscribe_other() {
        ++g_totals.subscriptions;
        const auto &item = inputs[roll(inputs.size())];
        const size_t slot = roll(extra_tags.size());
        auto callback = make_change_callback([this] { hostile(CallbackKind::Subscriber); }, &extra_tags[slot]);
        if (chance(500'000))
            item->subscribe_changed(callback);
        else
            item->unsubscribe_changed(*callback);
        // Now and then one of the world's own subscribers goes, or comes back.
        if (chance(50'000)) {
            const size_t i = roll(inputs.size());
            if (chance(500'000))
                inputs[i]->unsubscribe_changed(*own_subscribers[i]);
            else
                inputs[i]->subscribe_changed(own_subscribers[i]);
        }
    }

    // Garbage from a callback: inside an event of this handler it is refused
    // (Error Runtime); handled, it leaves no valid frame in the inputs.
    template <typename Feed>
    void feed_nested(Feed &&feed) {
        // host_k belongs to the host thread.
        const int saved = t_on_host ? host_k : kNoFrame;
        if (t_on_host) host_k = kNoFrame;
        try {
            feed();
        } catch (const Error &e) {
            if (t_on_host && e.kind() == ErrorKind::Runtime) host_k = saved;
            throw;
        }
    }

    // One public operation of the handler, at random. From a callback
    // (`outer` false) on the watchdog thread the slave is not touched.
    void call_any(bool outer) {
        ++g_totals.reentrant;
        MasterHandler &h = *handler;
        const bool host = t_on_host;
        const auto op = roll(outer ? 14 : 15);
        note(std::string(host ? "host" : "wd") + " depth " + std::to_string(t_nesting) + " call " + std::to_string(op) +
             " in state " + std::to_string(int(h.state())));
        switch (op) {
            case 0:
                h.start();
                break;
            case 1:
                h.stop();
                break;
            case 2:
                h.reset();
                break;
            case 3:
                h.set_fail_safe(chance(500'000));
                break;
            case 4:
                (void)h.get_request();
                break;
            case 5: {  // garbage of any length
                Bytes garbage(roll(40));
                for (auto &b : garbage) b = static_cast<uint8_t>(roll(256));
                feed_nested([&] { h.set_reply(garbage); });
                break;
            }
            case 6:  // the slave's last reply again (skipped in Data)
                if (host) h.set_reply(last_slave_reply);
                break;
            case 7:
                (void)h.statistics();
                break;
            case 8: {
                std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES + 4> area{};
                (void)h.write_request_into(area, roll(8));
                break;
            }
            case 9: {
                std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES + 4> area{};
                for (auto &b : area) b = static_cast<uint8_t>(roll(256));
                const size_t offset = roll(8);
                if (offset + h.reply_length() > area.size()) break;
                feed_nested([&] { h.set_reply_from(area, offset); });
                break;
            }
            case 10:
                (void)h.request_length();
                (void)h.reply_length();
                (void)h.running();
                (void)h.state();
                break;
            case 11:
                h.set_statistics_enabled(true);
                (void)h.statistics_enabled();
                break;
            case 12:
                subscribe_other();
                break;
            case 13:
                if (chance(outer ? 200'000 : 20'000)) {
                    ++g_totals.deletes;
                    deleted = true;
                    h.delete_watchdog();
                }
                break;
            default:
                if (chance(100'000)) hostile_sleep();
        }
    }

    uint16_t size;
    std::vector<std::shared_ptr<DictionaryItemOutput>> outputs;
    std::vector<std::shared_ptr<DictionaryItemInput>> inputs;
    std::vector<std::shared_ptr<ApplicationParameter>> parameters;
    std::shared_ptr<Dictionary> dictionary;
    std::unique_ptr<sim::SlaveSimulator> slave;
    std::unique_ptr<MasterHandler> owner;
    MasterHandler *handler = nullptr;
    std::array<char, 16> tags{};
    std::array<char, 6> extra_tags{};
    std::vector<ChangeCallback> own_subscribers;
    MasterHandler::RequestBuffer request_buffer{};
    size_t request_len = 0;

    int frame_number = 0;
    Bytes last_slave_reply;
    int last_slave_k = kNoFrame;
    int last_fault = -1;
    int pending_fault = -1;             // injected, not yet sent
    int host_k = kFailSafeK;            // frame of the last reply the host thread handed over
    std::atomic<bool> replayed{false};  // a replay in Data may pass the CRCs by chance: no exact check
    std::atomic<bool> deleted{false};
    uint64_t host_reports = 0;
    std::atomic<uint64_t> nested_actions{0};
    std::atomic<uint64_t> watchdog_reports{0};
    std::mutex reports_mutex;
    std::array<uint64_t, kTransitionNames.size()> reports{};
};

// The world the sinks act on; the host retires a world only when no sink uses it.
std::mutex g_world_mutex;
World *g_world = nullptr;
int g_world_users = 0;

struct WorldUse {
    World *world = nullptr;
    WorldUse() {
        std::lock_guard lock(g_world_mutex);
        world = g_world;
        if (world) ++g_world_users;
    }
    ~WorldUse() {
        if (!world) return;
        std::lock_guard lock(g_world_mutex);
        --g_world_users;
    }
};

void log_sink(std::string_view, std::exception_ptr) {
    ++g_totals.log_sink_calls;
    WorldUse use;
    if (!use.world) return;
    try {
        use.world->hostile(CallbackKind::LogSink);
    } catch (...) {
        // The sink may fail: the watchdog keeps running.
    }
}

void trace_sink(std::string_view) {
    ++g_totals.trace_sink_calls;
    if (!chance(20'000)) return;  // a line per CRC: only some act
    WorldUse use;
    if (!use.world) return;
    use.world->hostile(CallbackKind::TraceSink);
}

void retire(std::unique_ptr<World> &world) {
    {
        std::lock_guard lock(g_world_mutex);
        g_world = nullptr;
    }
    for (;;) {
        {
            std::lock_guard lock(g_world_mutex);
            if (g_world_users == 0) break;
        }
        std::this_thread::yield();
    }
    world.reset();
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t events = 100'000;
    // Preemption on a loaded machine counts as holding; a wait for the
    // watchdog thread under the mutex takes up to 5 s.
    double hold_limit_ms = 100.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--events") == 0) events = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--seed") == 0) g_seed = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--hold-limit-ms") == 0) hold_limit_ms = std::strtod(argv[i + 1], nullptr);
        if (std::strcmp(argv[i], "--no-throw") == 0) g_no_throw = std::strcmp(argv[i + 1], "0") != 0;
    }
    t_rng.seed(g_seed);
    t_on_host = true;
    set_watchdog_log_sink(&log_sink);
    trace::set_sink(&trace_sink);
    MasterHandler::_set_hold_observer(&hold_observer);

    const auto begin = Clock::now();
    constexpr uint16_t kSizes[] = {1, 2, 4, 16};
    std::unique_ptr<World> world;
    while (g_totals.host_events.load() + g_totals.watchdog_events.load() < events) {
        if (!world || world->deleted || chance(200)) {
            if (world) retire(world);
            world = std::make_unique<World>(kSizes[roll(4)], g_seed * 1000 + g_totals.worlds.load());
            {
                std::lock_guard lock(g_world_mutex);
                g_world = world.get();
            }
            try {
                world->handler->start();
            } catch (const HostError &) {
                // A hostile callback of the first reset: the event completed all the same.
            }
            world->after_event(true);
            continue;
        }
        const bool traced = chance(5'000);
        if (traced) trace::set_enabled(true);
        if (chance(3'000)) {
            std::this_thread::sleep_for(kPastWatchdog);  // the host idles: the watchdog expires
        } else if (chance(50'000)) {
            world->host_operation();
        } else {
            if (!world->handler->running() && chance(100'000)) {
                world->host_operation();
            }
            world->cycle();
        }
        if (!world->handler->running() && !world->deleted && chance(300'000)) {
            try {
                world->handler->start();
            } catch (const HostError &) {
            } catch (const Error &) {
            }
            world->after_event(true);
        }
        if (traced) trace::set_enabled(false);
    }
    if (world) retire(world);
    set_watchdog_log_sink(nullptr);
    trace::set_sink(nullptr);
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const double hold_ms = static_cast<double>(g_longest_hold_ns.load()) / 1e6;
    const Totals &t = g_totals;
    std::printf(
        "hostile-host campaign, seed %" PRIu64 ": %" PRIu64 " host events, %" PRIu64
        " watchdog events, %.1f s\n"
        "  worlds %" PRIu64 ", callbacks %" PRIu64 " (throws %" PRIu64 ", re-entrant calls %" PRIu64
        ", sleeps past the watchdog %" PRIu64 ", subscription changes %" PRIu64 ", delete %" PRIu64
        ")\n"
        "  log sink calls %" PRIu64 ", trace sink calls %" PRIu64 ", host errors out of events %" PRIu64
        ", handler errors %" PRIu64
        "\n"
        "  faults injected %" PRIu64 ", checked reported once %" PRIu64 ", checks in Data %" PRIu64 " (exact %" PRIu64
        ")\n"
        "  longest mutex hold by one event (less the callbacks' sleeps): %.3f ms; holds over 1 / 10 / 100 / "
        "1000 ms: %" PRIu64 " / %" PRIu64 " / %" PRIu64 " / %" PRIu64 "\n",
        g_seed, t.host_events.load(), t.watchdog_events.load(), seconds, t.worlds.load(), t.callbacks.load(),
        t.throws.load(), t.reentrant.load(), t.sleeps.load(), t.subscriptions.load(), t.deletes.load(),
        t.log_sink_calls.load(), t.trace_sink_calls.load(), t.host_errors_seen.load(), t.handler_errors_seen.load(),
        t.faults.load(), t.faults_checked.load(), t.data_checks.load(), t.exact_checks.load(), hold_ms,
        g_holds_over[0].load(), g_holds_over[1].load(), g_holds_over[2].load(), g_holds_over[3].load());
    if (hold_ms > hold_limit_ms) {
        std::printf("FAIL: the mutex was held %.3f ms (limit %.1f ms)\n", hold_ms, hold_limit_ms);
        return 1;
    }
    return 0;
}
