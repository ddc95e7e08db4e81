// Two connections, one exchanging through the maps' caches and one through
// the plain bit loop, driven by the same events: the input chooses the layout
// (its first 8 bytes seed it) and the events; every event must leave both
// with the same requests, states, reports, exceptions and inputs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../cpp/tests/differential_rig.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    uint64_t seed;
    std::memcpy(&seed, data, 8);
    kestrel::test::DifferentialRig rig(seed);
    std::string mismatch = rig.step(12, 0);  // start
    // Each event: a kind byte (a plain cycle for most values, so that the
    // connection gets to Data) and a 3-byte argument.
    for (size_t at = 8; mismatch.empty() && at + 4 <= size; at += 4) {
        const unsigned kind = data[at] < 128 ? 0 : data[at] % kestrel::test::DifferentialRig::kEventKinds;
        const uint32_t arg = uint32_t(data[at + 1]) | uint32_t(data[at + 2]) << 8 | uint32_t(data[at + 3]) << 16;
        mismatch = rig.step(kind, arg);
    }
    if (!mismatch.empty()) {
        std::fprintf(stderr, "differential mismatch: %s (%s)\n", mismatch.c_str(), rig.layout().c_str());
        std::abort();
    }
    return 0;
}
