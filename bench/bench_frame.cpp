// Frame layer costs per bus cycle: CRC generation and the wire codec.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "kestrel/c/context/fsoe_frame.h"
#include "kestrel/frame/frame.hpp"

namespace {

FSOE_SFrame make_frame(uint16_t size) {
    FSOE_SFrame f;
    FSOE_FrameInit(&f, 0);
    f.sControl = {0x36, 5, 0x0203, 0x1234};
    f.u16DataSizeBytes = size;
    for (unsigned i = 0; i < 8; ++i) f.au16Data[i] = static_cast<uint16_t>(0x1111 * (i + 1));
    return f;
}

void BM_GenerateCrc16Bytes(benchmark::State &state) {
    FSOE_SFrame f = make_frame(16);
    for (auto _ : state) {
        benchmark::DoNotOptimize(&f);
        f.sControl.u16SequenceNum++;
        FSOE_FrameGenerateCrc(&f);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_GenerateCrc16Bytes);

void BM_CheckCrc16Bytes(benchmark::State &state) {
    FSOE_SFrame f = make_frame(16);
    FSOE_FrameGenerateCrc(&f);
    for (auto _ : state) {
        benchmark::DoNotOptimize(&f);
        benchmark::DoNotOptimize(FSOE_FrameCheckCrc(&f, nullptr));
    }
}
BENCHMARK(BM_CheckCrc16Bytes);

void BM_EncodeDecode35Bytes(benchmark::State &state) {
    FSOE_SFrame f = make_frame(16);
    FSOE_FrameGenerateCrc(&f);
    FSOE_SFrame g;
    FSOE_FrameInit(&g, 0);
    std::array<uint16_t, FSOE_FRAME_BUFFER_BYTES / 2> buffer{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(&f);
        uint16_t length = 0;
        FSOE_FrameToArray(buffer.data(), &f, &length);
        FSOE_FrameFromArray(&g, buffer.data(), static_cast<uint16_t>((length + 1) / 2));
        benchmark::DoNotOptimize(&g);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_EncodeDecode35Bytes);

// The object layer's cyclic generation (CRC_0 skip) as the request path runs it.
void BM_FrameObjectGenerateCyclic16Bytes(benchmark::State &state) {
    kestrel::FSOEFrame f(35);
    uint16_t last = 0;
    for (auto _ : state) {
        f.generate_crcs_cyclic(last);
        last = f._c_fsoe_frame.au16Crc[0];
        f.control.increment_sequence_number();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FrameObjectGenerateCyclic16Bytes);

}  // namespace
