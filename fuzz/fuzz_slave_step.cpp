// The software slave's step: requests from a real master, changed by the
// input, and raw bytes. Its reply is empty or one whole frame of its size,
// and always decodes.
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kestrel;
    fuzz::Provider in(data, size);
    fuzz::Bus &bus = fuzz::Bus::of_size(fuzz::kSizes[in.ConsumeIntegralInRange<int>(0, 3)]);
    bus.restart();
    if (!bus.drive_to(static_cast<StateId>(in.ConsumeIntegralInRange<int>(0, 4)))) return 0;
    fuzz::forget_coverage();
    for (int step = 0; step < fuzz::kMaxSteps && in.remaining_bytes() > 0; ++step) {
        std::vector<uint8_t> request;
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: {
                const auto r = bus.request();
                request.assign(r.begin(), r.end());
                const int changes = in.ConsumeIntegralInRange<int>(1, 3);
                for (int c = 0; c < changes && !request.empty(); ++c)
                    request[in.ConsumeIntegralInRange<size_t>(0, request.size() - 1)] ^= in.ConsumeIntegral<uint8_t>();
                break;
            }
            case 1:
                request = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 40));
                break;
            case 2:
                bus.slave->advance(in.ConsumeIntegralInRange<uint64_t>(0, 70000));
                break;
            default:
                bus.cycle();
                continue;
        }
        const auto reply = bus.slave->step(request);
        fuzz::check(reply.empty() || reply.size() == frame_length_for(bus.size), "reply length");
        if (!reply.empty()) {
            FSOEFrame frame(static_cast<long long>(reply.size()));
            frame.frame_from_array(reply);  // throws (and the fuzzer reports it) if not a frame
            fuzz::check(frame.control.command_is_valid(), "the slave sends only its commands");
        }
        bus.master->set_reply(reply);
        bus.check_invariants();
    }
    return 0;
}
