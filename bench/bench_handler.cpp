// The master handler's bus cycle in the Data state (set_reply of a new reply,
// then get_request into the host's buffer) with 16 safe-data bytes each way
// and 16 UINT8 entries in each map; and what a handler costs to make.
//
// Every cycle needs a new, valid reply: its CRCs chain to the request it
// answers, so replies cannot be recorded ahead. BM_DataCycle16 makes them with
// a minimal slave on the frame layer (ReplyBuilder: one CRC generation and the
// encoding, the least any slave does per frame) and BM_ReplyBuilder16 times
// that builder alone, so the handler's own share is the difference.
// BM_DataCycleWithSimulator16 runs the full software slave instead, for
// reference. Each reports the heap allocations per cycle (allocs).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "kestrel/handler/master_handler.hpp"
#include "kestrel/sim/slave_simulator.hpp"

namespace {

std::atomic<long long> g_allocations{0};
std::atomic<long long> g_live_bytes{0};

}  // namespace

void *operator new(std::size_t size) {
    void *p = std::malloc(size == 0 ? 1 : size);
    if (!p) throw std::bad_alloc();
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    g_live_bytes.fetch_add(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
    return p;
}
void *operator new[](std::size_t size) { return operator new(size); }
void operator delete(void *p) noexcept {
    if (!p) return;
    g_live_bytes.fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
    std::free(p);
}
void operator delete[](void *p) noexcept { operator delete(p); }
void operator delete(void *p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void *p, std::size_t) noexcept { operator delete(p); }

namespace {

using namespace kestrel;

constexpr uint16_t kBytes = 16;
constexpr uint16_t kConnectionId = 0x1234;
constexpr uint16_t kSlaveAddress = 7;

struct Connection {
    std::vector<std::shared_ptr<DictionaryItemOutput>> outputs;
    std::vector<std::shared_ptr<DictionaryItemInput>> inputs;
    std::unique_ptr<sim::SlaveSimulator> slave;
    std::unique_ptr<MasterHandler> master;
    MasterHandler::RequestBuffer request{};
    size_t request_length = 0;

    Connection() {
        std::vector<DictionaryItemPtr> items;
        for (int i = 0; i < kBytes; ++i) {
            outputs.push_back(std::make_shared<DictionaryItemOutput>(i, "o" + std::to_string(i), DataType::UINT8));
            inputs.push_back(
                std::make_shared<DictionaryItemInput>(100 + i, "i" + std::to_string(i), DataType::UINT8, int64_t{0}));
            items.push_back(outputs.back());
            items.push_back(inputs.back());
        }
        auto dictionary = std::make_shared<Dictionary>(items);
        sim::SlaveConfig config;
        config.slave_address = kSlaveAddress;
        config.input_size = kBytes;
        config.output_size = kBytes;
        config.manual_clock = true;
        slave = std::make_unique<sim::SlaveSimulator>(config);
        master = std::make_unique<MasterHandler>(dictionary, kSlaveAddress, kConnectionId, 1.0);
        for (const auto &o : outputs) master->master->dictionary_map->add(o);
        for (const auto &i : inputs) master->slave->dictionary_map->add(i);
        for (int i = 0; i < kBytes; ++i) outputs[static_cast<size_t>(i)]->set(Value{int64_t{0x40 + i}});
        master->start();
        for (int i = 0; i < 50 && master->state() != StateId::Data; ++i) step_simulator();
        if (master->state() != StateId::Data) std::abort();
        master->set_fail_safe(false);
        slave->set_process_data(true);
        for (int i = 0; i < 4; ++i) step_simulator();
        request_length = master->get_request(request);
    }
    ~Connection() { master->stop(); }

    void step_simulator() {
        request_length = master->get_request(request);
        master->set_reply(slave->step({request.data(), request_length}));
    }
};

// The slave's side of one Data cycle on the frame layer: the reply to the
// request whose CRC_0 is given, chained as a slave chains its frames.
class ReplyBuilder {
public:
    // Continues the chain where the handler expects it.
    explicit ReplyBuilder(const MasterHandler &master)
        : sequence_number_(master.slave->frame.control.sequence_number()), last_crc0_(*master.slave->_last_crc0_sent) {
        frame_.control.set_command(FSOECommand::PROCESS_DATA);
        frame_.control.set_connection_id(kConnectionId);
    }

    std::span<const uint8_t> build(uint16_t request_crc0, uint16_t input_pattern) noexcept {
        for (uint16_t w = 0; w < MAX_DATA_WORDS; ++w)
            frame_._c_fsoe_frame.au16Data[w] = static_cast<uint16_t>(input_pattern + w);
        frame_.control.set_sequence_number(sequence_number_);
        frame_.control.set_crc0(request_crc0);
        frame_.generate_crcs_cyclic(last_crc0_);
        last_crc0_ = frame_._c_fsoe_frame.au16Crc[0];
        frame_.control.increment_sequence_number();
        sequence_number_ = frame_.control.sequence_number();
        return {wire_.data(), frame_.frame_to_array(wire_)};
    }

private:
    FSOEFrame frame_{FSOE_GetFrameSizeBytes(kBytes)};
    std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> wire_{};
    uint16_t sequence_number_;
    uint16_t last_crc0_;
};

// CRC_0 of a request with 16 safe-data bytes: wire bytes 3 and 4.
uint16_t request_crc0(const MasterHandler::RequestBuffer &request) noexcept {
    return static_cast<uint16_t>(request[3] | (request[4] << 8));
}

void report_allocations(benchmark::State &state, long long before) {
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(g_allocations.load() - before), benchmark::Counter::kAvgIterations);
}

// Argument 1: all 16 inputs change every cycle; 0: the inputs stay (the
// replies still differ by their CRCs and sequence numbers).
void BM_DataCycle16(benchmark::State &state) {
    Connection c;
    ReplyBuilder builder(*c.master);
    const auto step = static_cast<uint16_t>(state.range(0) ? 0x0101 : 0);
    uint16_t pattern = 0x2020;
    const long long before = g_allocations.load();
    for (auto _ : state) {
        const auto reply = builder.build(request_crc0(c.request), pattern += step);
        c.master->set_reply(reply);
        benchmark::DoNotOptimize(c.master->get_request(c.request));
    }
    report_allocations(state, before);
    if (c.master->state() != StateId::Data) state.SkipWithError("the connection left the Data state");
}
BENCHMARK(BM_DataCycle16)->Arg(1)->Arg(0);

// The same cycle with the handler's statistics switched off: their cost is the difference.
void BM_DataCycle16NoStatistics(benchmark::State &state) {
    Connection c;
    c.master->set_statistics_enabled(false);
    ReplyBuilder builder(*c.master);
    uint16_t pattern = 0x2020;
    for (auto _ : state) {
        const auto reply = builder.build(request_crc0(c.request), pattern += 0x0101);
        c.master->set_reply(reply);
        benchmark::DoNotOptimize(c.master->get_request(c.request));
    }
    if (c.master->state() != StateId::Data) state.SkipWithError("the connection left the Data state");
}
BENCHMARK(BM_DataCycle16NoStatistics);

void BM_ReplyBuilder16(benchmark::State &state) {
    Connection c;
    ReplyBuilder builder(*c.master);
    uint16_t pattern = 0, crc0 = 0x5555;
    for (auto _ : state) {
        const auto reply = builder.build(crc0, pattern += 0x0101);
        crc0 = static_cast<uint16_t>(reply[3] | (reply[4] << 8));
        benchmark::DoNotOptimize(crc0);
    }
}
BENCHMARK(BM_ReplyBuilder16);

void BM_DataCycleWithSimulator16(benchmark::State &state) {
    Connection c;
    std::array<uint8_t, kBytes> inputs{};
    const long long before = g_allocations.load();
    for (auto _ : state) {
        ++inputs[0];
        c.slave->set_inputs(inputs);
        const auto reply = c.slave->step({c.request.data(), c.request_length});
        c.master->set_reply(reply);
        c.request_length = c.master->get_request(c.request);
    }
    report_allocations(state, before);
    if (c.master->state() != StateId::Data) state.SkipWithError("the connection left the Data state");
}
BENCHMARK(BM_DataCycleWithSimulator16);

// --- Making handlers ----------------------------------------------------------

long rss_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4;
}

std::shared_ptr<Dictionary> dictionary_of_32() {
    std::vector<DictionaryItemPtr> items;
    for (int i = 0; i < kBytes; ++i) {
        items.push_back(std::make_shared<DictionaryItemOutput>(i, "o" + std::to_string(i), DataType::UINT8));
        items.push_back(
            std::make_shared<DictionaryItemInput>(100 + i, "i" + std::to_string(i), DataType::UINT8, int64_t{0}));
    }
    return std::make_shared<Dictionary>(items);
}

// One handler made and destroyed (its watchdog thread started and ended).
void BM_ConstructHandler(benchmark::State &state) {
    const auto dictionary = dictionary_of_32();
    for (auto _ : state) {
        MasterHandler handler(dictionary, kSlaveAddress, kConnectionId, 1.0);
        benchmark::DoNotOptimize(&handler);
    }
}
BENCHMARK(BM_ConstructHandler)->Unit(benchmark::kMicrosecond);

// 1000 handlers over one dictionary, each with a full 16-entry map each way:
// heap and resident memory per handler (a watchdog thread each; its stack is
// reserved address space, only the touched pages count as resident).
void BM_Make1000Handlers(benchmark::State &state) {
    const auto dictionary = dictionary_of_32();
    double heap = 0, rss = 0;
    for (auto _ : state) {
        const long long bytes_before = g_live_bytes.load();
        const long rss_before = rss_kib();
        std::vector<std::unique_ptr<MasterHandler>> handlers;
        handlers.reserve(1000);
        for (int n = 0; n < 1000; ++n) {
            handlers.push_back(std::make_unique<MasterHandler>(dictionary, kSlaveAddress, kConnectionId, 1.0));
            for (const auto &item : dictionary->items()) {
                if (item->has_output())
                    handlers.back()->master->dictionary_map->add(item);
                else
                    handlers.back()->slave->dictionary_map->add(item);
            }
        }
        heap = static_cast<double>(g_live_bytes.load() - bytes_before) / 1000.0;
        rss = static_cast<double>(rss_kib() - rss_before) / 1000.0;
        state.PauseTiming();
        handlers.clear();
        state.ResumeTiming();
    }
    state.counters["heap_bytes_per_handler"] = heap;
    state.counters["rss_KiB_per_handler"] = rss;
}
BENCHMARK(BM_Make1000Handlers)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
