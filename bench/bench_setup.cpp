// Set-up data per bus cycle: one frame out, the echo in, the echo check; and
// the SRA CRC of a parameter set.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "kestrel/frame/frame.hpp"
#include "kestrel/setup/dynamic_map.hpp"
#include "kestrel/setup/sra_crc.hpp"

namespace {

using kestrel::DataType;
using kestrel::FSOEDynamicMap;

// One whole transfer of a typical Parameter-state set (three 16-bit
// communication items, eight parameters of mixed sizes: 28 bytes) with its
// echo, frame by frame; the maps are refilled from items made once, as the
// states refill them. Reported per frame.
void BM_SetupTransfer(benchmark::State &state) {
    const auto bytes = static_cast<uint16_t>(state.range(0));
    std::vector<FSOEDynamicMap::ItemPtr> sent, echoed;
    const DataType types[] = {DataType::UINT8, DataType::UINT32, DataType::INT16, DataType::FLOAT};
    for (int i = 0; i < 11; ++i) {
        const DataType t = i < 3 ? DataType::UINT16 : types[i % 4];
        sent.push_back(std::make_shared<kestrel::DynamicMappableItem>(int64_t{i}, t));
        echoed.push_back(std::make_shared<kestrel::DynamicMappableItem>(int64_t{0}, t));
    }
    FSOEDynamicMap sender, echo;
    kestrel::FSOEFrame frame;
    frame.set_safe_data_size_bytes(bytes);
    int64_t frames = 0;
    for (auto _ : state) {
        sender.clear();
        echo.clear();
        for (const auto &item : sent) sender.add(item);
        for (const auto &item : echoed) echo.add(item);
        while (sender.pending()) {
            sender.set_data_to_frame(frame, bytes);
            echo.get_data_from_frame(frame, bytes);
            benchmark::DoNotOptimize(echo.is_safedata_correct(sender));
            ++frames;
        }
    }
    state.SetItemsProcessed(frames);
    state.counters["ns_per_frame"] =
        benchmark::Counter(double(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SetupTransfer)->Arg(1)->Arg(2)->Arg(8)->Arg(16);

void BM_SraCrc(benchmark::State &state) {
    std::vector<uint16_t> words(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(i * 2654435761u);
    for (auto _ : state) benchmark::DoNotOptimize(kestrel::calculate_sra_crc(words));
    state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
}
BENCHMARK(BM_SraCrc)->Arg(16)->Arg(256);

}  // namespace
