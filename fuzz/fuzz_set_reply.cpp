// set_reply on a handler brought into each state: genuine replies mutated by
// the input, raw bytes, and genuine cycles in between. The invariants hold
// after every step.
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kestrel;
    fuzz::Provider in(data, size);
    fuzz::Bus &bus = fuzz::Bus::of_size(fuzz::kSizes[in.ConsumeIntegralInRange<int>(0, 3)]);
    bus.restart();
    const auto target = static_cast<StateId>(in.ConsumeIntegralInRange<int>(0, 4));
    if (!bus.drive_to(target)) return 0;
    fuzz::forget_coverage();
    bus.check_invariants();
    for (int step = 0; step < fuzz::kMaxSteps && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: {  // the genuine reply with bytes changed
                auto reply = bus.slave->step(bus.request());
                std::vector<uint8_t> bytes(reply.begin(), reply.end());
                const int changes = in.ConsumeIntegralInRange<int>(1, 4);
                for (int c = 0; c < changes && !bytes.empty(); ++c)
                    bytes[in.ConsumeIntegralInRange<size_t>(0, bytes.size() - 1)] ^= in.ConsumeIntegral<uint8_t>();
                bus.master->set_reply(bytes);
                break;
            }
            case 1: {  // raw bytes of any length
                const auto bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 40));
                bus.master->set_reply(bytes);
                break;
            }
            case 2:
                bus.cycle();
                break;
            default:
                if (in.ConsumeBool())
                    bus.master->_watchdog_expired_event();
                else
                    bus.master->set_fail_safe(in.ConsumeBool());
        }
        bus.check_invariants();
    }
    return 0;
}
