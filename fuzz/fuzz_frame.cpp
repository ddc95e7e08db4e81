// Frame decoding: any bytes either decode or are refused with an Error; a
// decoded frame re-encodes to the same bytes and its CRC checks run clean.
#include <array>
#include <cstring>

#include "fuzz_common.hpp"
#include "kestrel/common/error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kestrel;
    FSOEFrame frame(7);
    try {
        frame.frame_from_array({data, size});
    } catch (const Error &) {
        fuzz::check(frame.safe_data_size_bytes() == 2, "a refused frame is unchanged");
        return 0;
    }
    std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> out{};
    const size_t n = frame.frame_to_array(out);
    fuzz::check(n == size || n + 1 == size, "encoded length");
    fuzz::check(std::memcmp(out.data(), data, n) == 0, "round trip");
    const bool plain = frame.check_crcs();
    frame.generate_crcs();
    fuzz::check(frame.check_crcs(), "generated CRCs check");
    (void)plain;
    frame.generate_crcs_cyclic(frame.crcs.get(0));
    fuzz::check(frame.check_crcs(), "cyclic CRCs check");
    (void)frame.check_crcs_cyclic(static_cast<uint16_t>(size));
    return 0;
}
