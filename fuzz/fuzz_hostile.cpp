// Hostile host callbacks: a handler brought into each state, then cycles,
// faulty replies, expiries, resets, starts and stops, while the input decides
// what every callback does (error, state change, input subscribers): nothing,
// throw, call the handler back (any public operation, nested up to three
// deep), subscribe or unsubscribe another subscriber. After every step, inside
// one event: the state is valid; outside Data the inputs are fail-safe and
// the request is not process data; in Data the inputs all come from one
// frame (each frame's inputs encode its number) or are fail-safe.
#include <stdexcept>

#include "fuzz_common.hpp"
#include "kestrel/common/error.hpp"

namespace {

using namespace kestrel;

struct HostError : std::runtime_error {
    HostError() : std::runtime_error("hostile host") {}
};

uint8_t input_value(int k, size_t i) { return static_cast<uint8_t>((k * 7 + static_cast<int>(i) * 37) % 160); }

fuzz::Provider *g_in = nullptr;  // the current input; null while the bus is set up
int g_nesting = 0;
int g_frame = 0;

class Hostile {
public:
    static Hostile &of_size(uint16_t size) {
        static std::unique_ptr<Hostile> made[4];
        const size_t index = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3;
        if (!made[index]) made[index] = std::make_unique<Hostile>(size);
        return *made[index];
    }

    explicit Hostile(uint16_t size)
        : bus(
              size, [this](std::string_view, std::string_view) { act(); }, [this](StateId) { act(); }) {
        for (size_t i = 0; i < bus.inputs.size(); ++i)
            bus.inputs[i]->subscribe_changed(make_change_callback([this] { act(); }, &tags[i % tags.size()]));
    }

    // Every input starts from the same handler: subscriptions as made, running.
    void restart() {
        for (size_t i = 0; i < bus.inputs.size(); ++i) {
            for (auto &tag : extra) bus.inputs[i]->unsubscribe_changed(*make_change_callback([] {}, &tag));
            bus.inputs[i]->subscribe_changed(make_change_callback([this] { act(); }, &tags[i % tags.size()]));
        }
        if (!bus.master->running()) bus.master->start();
        bus.restart();
        g_frame = 0;
        std::array<uint8_t, MAX_DATA_BYTES> values{};
        for (size_t i = 0; i < bus.size; ++i) values[i] = input_value(0, i);
        bus.slave->set_inputs({values.data(), bus.size});
    }

    // What a callback does, as the input says.
    void act() {
        if (!g_in || g_in->remaining_bytes() == 0) return;
        const uint8_t what = g_in->ConsumeIntegral<uint8_t>();
        if (what < 96) return;
        if (what < 128 || g_nesting >= 3) throw HostError();
        ++g_nesting;
        struct Leave {
            ~Leave() { --g_nesting; }
        } leave;
        if (what < 144) {
            auto &item = bus.inputs[g_in->ConsumeIntegralInRange<size_t>(0, bus.inputs.size() - 1)];
            auto callback = make_change_callback([this] { act(); }, &extra[what % extra.size()]);
            if (what & 1)
                item->subscribe_changed(callback);
            else
                item->unsubscribe_changed(*callback);
            return;
        }
        try {
            // Not the expiry: the watchdog thread's event never runs inside
            // another event of the handler (it waits for the mutex).
            const int which = what % 11;
            operation(which == 10 ? 11 : which);
        } catch (const Error &) {
        } catch (const HostError &) {
            if (g_in->ConsumeBool()) throw;
        }
    }

    void operation(int which) {
        MasterHandler &h = *bus.master;
        switch (which) {
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
                h.set_fail_safe(g_in->ConsumeBool());
                break;
            case 4:
                (void)h.get_request();
                break;
            case 5:
                h.set_reply(g_in->ConsumeBytes<uint8_t>(g_in->ConsumeIntegralInRange<size_t>(0, 40)));
                break;
            case 6:
                h.set_reply(bus.slave->reply());
                break;
            case 7:
                (void)h.statistics();
                break;
            case 8: {
                std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES + 4> area{};
                (void)h.write_request_into(area, g_in->ConsumeIntegralInRange<size_t>(0, 6));
                break;
            }
            case 9: {
                std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES + 4> area{};
                for (auto &b : area) b = g_in->ConsumeIntegral<uint8_t>();
                h.set_reply_from(area, g_in->ConsumeIntegralInRange<size_t>(0, 6));
                break;
            }
            case 10:
                h._watchdog_expired_event();
                break;
            default:
                cycle();
        }
    }

    // A cycle with the slave's inputs encoding a new frame number.
    void cycle() {
        std::array<uint8_t, MAX_DATA_BYTES> values{};
        ++g_frame;
        for (size_t i = 0; i < bus.size; ++i) values[i] = input_value(g_frame, i);
        bus.slave->set_inputs({values.data(), bus.size});
        bus.cycle();
    }

    void check() {
        MasterHandler &h = *bus.master;
        h.event([&] {
            const StateId state = h.state();
            fuzz::check(static_cast<uint8_t>(state) <= static_cast<uint8_t>(StateId::Data), "state valid");
            MasterHandler::RequestBuffer out{};
            const size_t n = h.get_request(out);
            std::array<uint8_t, MAX_DATA_BYTES> now{};
            for (size_t i = 0; i < bus.size; ++i)
                now[i] = static_cast<uint8_t>(std::get<int64_t>(bus.inputs[i]->value()));
            const bool fail_safe =
                std::all_of(now.begin(), now.begin() + bus.size, [](uint8_t v) { return v == fuzz::kFailSafe; });
            if (state != StateId::Data) {
                fuzz::check(fail_safe, "inputs fail-safe outside Data");
                fuzz::check(n == 0 || out[0] != static_cast<uint8_t>(FSOECommand::PROCESS_DATA),
                            "no process data outside Data");
                return;
            }
            fuzz::check(n > 0 && (out[0] == static_cast<uint8_t>(FSOECommand::PROCESS_DATA) ||
                                  out[0] == static_cast<uint8_t>(FSOECommand::FAILSAFE_DATA)),
                        "a data request in Data");
            if (fail_safe) return;
            bool one_frame = false;
            for (int k = 0; k < 160 && !one_frame; ++k) {
                one_frame = true;
                for (size_t i = 0; i < bus.size && one_frame; ++i) one_frame = now[i] == input_value(k, i);
            }
            fuzz::check(one_frame, "inputs in Data from one frame");
        });
    }

    fuzz::Bus bus;
    std::array<char, 4> tags{};
    std::array<char, 4> extra{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Provider in(data, size);
    Hostile &world = Hostile::of_size(fuzz::kSizes[in.ConsumeIntegralInRange<int>(0, 3)]);
    const auto target = static_cast<StateId>(in.ConsumeIntegralInRange<int>(0, 4));
    g_in = nullptr;
    g_nesting = 0;
    world.restart();
    if (!world.bus.drive_to(target)) return 0;
    fuzz::forget_coverage();
    g_in = &in;
    for (int step = 0; step < fuzz::kMaxSteps && in.remaining_bytes() > 0; ++step) {
        try {
            const uint8_t op = in.ConsumeIntegral<uint8_t>();
            if (op < 128) {
                world.cycle();
            } else if (op < 192) {  // the genuine reply with a byte changed
                auto reply = world.bus.slave->step(world.bus.request());
                std::vector<uint8_t> bytes(reply.begin(), reply.end());
                if (!bytes.empty()) bytes[in.ConsumeIntegralInRange<size_t>(0, bytes.size() - 1)] ^= 1 + (op & 0x3F);
                world.bus.master->set_reply(bytes);
            } else {
                world.operation(op % 11);
            }
        } catch (const HostError &) {
        } catch (const Error &) {
        }
        world.check();
    }
    g_in = nullptr;
    return 0;
}
