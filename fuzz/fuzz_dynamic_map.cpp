// The set-up data exchange: a master-side dynamic map sends its items through
// frames whose bytes the input may change, a slave-side map receives them;
// any sizes and item types. Nothing reads or writes out of bounds, and an
// unchanged transfer is judged correct.
#include "fuzz_common.hpp"
#include "kestrel/common/error.hpp"
#include "kestrel/setup/dynamic_map.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kestrel;
    fuzz::Provider in(data, size);
    FSOEDynamicMap sent, received;
    const int items = in.ConsumeIntegralInRange<int>(0, 12);
    for (int i = 0; i < items; ++i) {
        const DataType type = kAllDataTypes[in.ConsumeIntegralInRange<size_t>(0, kAllDataTypes.size() - 1)];
        auto item = std::make_shared<DynamicMappableItem>(Value{int64_t{0}}, type);
        try {
            item->set(Value{static_cast<int64_t>(in.ConsumeIntegral<int32_t>())});
        } catch (const Error &) {
        }
        sent.add(item);
        received.add(std::make_shared<DynamicMappableItem>(Value{int64_t{0}}, type));
    }
    FSOEFrame frame(static_cast<long long>(frame_length_for(fuzz::kSizes[in.ConsumeIntegralInRange<int>(0, 3)])));
    bool changed = false;
    for (int step = 0; step < 64 && (sent.pending() || in.remaining_bytes() > 0); ++step) {
        const auto valid = in.ConsumeIntegralInRange<uint16_t>(0, 20);
        sent.set_data_to_frame(frame, valid);
        if (in.ConsumeBool()) {
            const auto word = in.ConsumeIntegralInRange<uint32_t>(0, MAX_DATA_WORDS - 1);
            const auto mask = in.ConsumeIntegral<uint16_t>();
            if (mask != 0 && word * 2 < frame.safe_data_size_bytes()) changed = true;
            frame._c_fsoe_frame.au16Data[word] ^= mask;
        }
        received.get_data_from_frame(frame, valid);
        const bool correct = received.is_safedata_correct(sent);
        if (!changed && valid <= frame.safe_data_size_bytes() && sent.bytes_processed() == received.bytes_processed())
            fuzz::check(correct, "an unchanged transfer is correct");
        fuzz::check(sent.bytes_processed() <= sent.total_bytes(), "sent within the stream");
        fuzz::check(received.bytes_processed() <= received.total_bytes(), "received within the stream");
    }
    return 0;
}
