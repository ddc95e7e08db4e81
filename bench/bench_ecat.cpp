// The virtual segment's turnaround: one process-data frame (one LRW over the
// whole image) through 16 devices of 16 safe-data bytes each way, every
// device's FSoE connection in Data with a master handler on the other side.
// BM_SegmentTurnaround times Segment::process alone (frame in to frame out);
// BM_BusCycle adds the 16 handlers' halves of the cycle.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/ecat/segment.hpp"
#include "kestrel/handler/master_handler.hpp"

namespace {

using namespace kestrel;
using namespace kestrel::ecat;

constexpr int kDevices = 16;
constexpr uint16_t kBytes = 16;

std::vector<uint8_t> le(uint32_t v, size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    return b;
}

std::vector<uint8_t> frame_of(uint8_t command, uint16_t adp, uint16_t ado, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> f{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x88, 0xA4};
    const size_t length = 12 + data.size();
    f.insert(f.end(), {static_cast<uint8_t>(length), static_cast<uint8_t>(0x10 | (length >> 8)), command, 0,
                       static_cast<uint8_t>(adp), static_cast<uint8_t>(adp >> 8), static_cast<uint8_t>(ado),
                       static_cast<uint8_t>(ado >> 8), static_cast<uint8_t>(data.size()),
                       static_cast<uint8_t>(data.size() >> 8), 0, 0});
    f.insert(f.end(), data.begin(), data.end());
    f.insert(f.end(), {0, 0});
    return f;
}

struct Bus {
    std::vector<std::unique_ptr<sim::SlaveSimulator>> slaves;
    std::vector<std::unique_ptr<MasterHandler>> handlers;
    std::vector<std::vector<std::shared_ptr<DictionaryItemOutput>>> outputs;
    Segment segment;
    std::vector<size_t> out_at, in_at;
    std::vector<uint8_t> frame;  // the LRW frame, reused cycle after cycle
    static constexpr size_t kData = 26;  // Ethernet, EtherCAT and datagram headers

    Bus() {
        for (int d = 0; d < kDevices; ++d) {
            sim::SlaveConfig config;
            config.slave_address = static_cast<uint16_t>(d + 1);
            config.input_size = kBytes;
            config.output_size = kBytes;
            slaves.push_back(std::make_unique<sim::SlaveSimulator>(config));
            segment.add_device(*slaves.back());
            std::vector<DictionaryItemPtr> items;
            outputs.emplace_back();
            std::vector<std::shared_ptr<DictionaryItemInput>> inputs;
            for (int i = 0; i < kBytes; ++i) {
                outputs.back().push_back(
                    std::make_shared<DictionaryItemOutput>(i, "o" + std::to_string(i), DataType::UINT8));
                inputs.push_back(std::make_shared<DictionaryItemInput>(100 + i, "i" + std::to_string(i),
                                                                       DataType::UINT8, int64_t{0}));
                items.push_back(outputs.back().back());
                items.push_back(inputs.back());
            }
            handlers.push_back(std::make_unique<MasterHandler>(std::make_shared<Dictionary>(items),
                                                               static_cast<uint16_t>(d + 1),
                                                               static_cast<uint16_t>(d + 1), 10.0));
            for (const auto &o : outputs.back()) handlers.back()->master->dictionary_map->add(o);
            for (const auto &i : inputs) handlers.back()->slave->dictionary_map->add(i);
        }
        configure();
        for (auto &h : handlers) h->start();
        for (int c = 0; c < 100; ++c) {
            master_half();
            process();
            slave_half();
        }
        for (int d = 0; d < kDevices; ++d) {
            if (handlers[d]->state() != StateId::Data) std::abort();
            handlers[d]->set_fail_safe(false);
            slaves[d]->set_process_data(true);
        }
    }
    ~Bus() {
        for (auto &h : handlers) h->stop();
    }

    void send(std::vector<uint8_t> f) {
        if (segment.process(f) != FrameResult::Forwarded) std::abort();
    }
    // Addresses, sync managers, FMMUs and OP, as a master's configuration does it.
    void configure() {
        uint32_t logical = 0;
        for (int d = 0; d < kDevices; ++d) {
            out_at.push_back(logical);
            logical += segment.device(d).output_length();
        }
        for (int d = 0; d < kDevices; ++d) {
            in_at.push_back(logical);
            logical += segment.device(d).input_length();
        }
        for (int d = 0; d < kDevices; ++d) {
            const auto station = static_cast<uint16_t>(0x1001 + d);
            send(frame_of(2, static_cast<uint16_t>(-d), reg::STATION_ADDRESS, le(station, 2)));
            const Device &dev = segment.device(d);
            std::vector<uint8_t> sms = le(kOutputsAddress | (uint32_t{dev.output_length()} << 16), 4);
            sms.insert(sms.end(), {kOutputsControl, 0, 1, 0});
            for (auto b : le(kInputsAddress | (uint32_t{dev.input_length()} << 16), 4)) sms.push_back(b);
            sms.insert(sms.end(), {kInputsControl, 0, 1, 0});
            send(frame_of(5, station, reg::SM0, sms));
            std::vector<uint8_t> fmmus;
            for (auto [at, len, physical, type] :
                 {std::tuple{out_at[d], dev.output_length(), kOutputsAddress, uint8_t{2}},
                  std::tuple{in_at[d], dev.input_length(), kInputsAddress, uint8_t{1}}}) {
                for (auto b : le(static_cast<uint32_t>(at), 4)) fmmus.push_back(b);
                for (auto b : le(len, 2)) fmmus.push_back(b);
                fmmus.insert(fmmus.end(), {0, 7});
                for (auto b : le(physical, 2)) fmmus.push_back(b);
                fmmus.insert(fmmus.end(), {0, type, 1, 0, 0, 0});
            }
            send(frame_of(5, station, reg::FMMU0, fmmus));
            for (uint8_t state : {0x02, 0x04, 0x08}) send(frame_of(5, station, reg::AL_CONTROL, {state, 0}));
            if (segment.device(d).al_state() != AlState::Op) std::abort();
        }
        frame = frame_of(12, 0, 0, std::vector<uint8_t>(logical));
    }
    void master_half() {
        const std::span<uint8_t> data(frame.data() + kData, frame.size() - kData - 2);
        frame[6] = 0x01;
        frame[frame.size() - 2] = frame[frame.size() - 1] = 0;
        for (int d = 0; d < kDevices; ++d) handlers[d]->write_request_into(data, out_at[d]);
    }
    void process() {
        if (segment.process(frame) != FrameResult::Forwarded) std::abort();
    }
    void slave_half() {
        const std::span<const uint8_t> data(frame.data() + kData, frame.size() - kData - 2);
        for (int d = 0; d < kDevices; ++d) handlers[d]->set_reply_from(data, in_at[d]);
    }
};

Bus &bus() {
    static Bus b;
    return b;
}

void BM_SegmentTurnaround(benchmark::State &state) {
    Bus &b = bus();
    uint64_t cycle = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int d = 0; d < kDevices; ++d) b.outputs[d][0]->set(Value{int64_t(++cycle & 0xFF)});
        b.master_half();
        state.ResumeTiming();
        b.process();
        state.PauseTiming();
        b.slave_half();
        state.ResumeTiming();
    }
    for (int d = 0; d < kDevices; ++d)
        if (b.handlers[d]->state() != StateId::Data) state.SkipWithError("a connection left Data");
    state.counters["devices"] = kDevices;
    state.counters["frame_bytes"] = static_cast<double>(b.frame.size());
}
BENCHMARK(BM_SegmentTurnaround)->Unit(benchmark::kMicrosecond);

void BM_BusCycle(benchmark::State &state) {
    Bus &b = bus();
    for (auto _ : state) {
        b.master_half();
        b.process();
        b.slave_half();
    }
    for (int d = 0; d < kDevices; ++d)
        if (b.handlers[d]->state() != StateId::Data) state.SkipWithError("a connection left Data");
}
BENCHMARK(BM_BusCycle)->Unit(benchmark::kMicrosecond);

}  // namespace
