// Threads under stress (run under ThreadSanitizer in CI): a host thread
// cycling as fast as it can against the software slave while a 1 ms watchdog
// makes expiries race the replies, a second thread calling start, stop,
// reset and set_fail_safe at random, and callbacks that call back into the
// handler. After every step, inside one event (so nothing moves meanwhile):
// the state is valid, the request decodes, and the inputs are fail-safe
// whenever the state is not Data.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/handler/master_handler.hpp"
#include "kestrel/sim/slave_simulator.hpp"
#include "rig.hpp"

namespace kestrel {
namespace {

constexpr uint8_t kFailSafe = 0xA5;

TEST(Stress, HostCyclesWhileExpiriesAndCallsRace) {
    constexpr uint16_t kSize = 2;
    const testing_rig::Uint8Items items(kSize, kSize, kFailSafe, "o", "i");
    const auto &inputs = items.inputs;
    const auto &dictionary = items.dictionary;
    sim::SlaveSimulator slave(testing_rig::manual_slave(5, kSize, kSize, 3));

    std::atomic<uint64_t> reports{0}, state_changes{0}, nested_calls{0};
    MasterHandler *self = nullptr;
    std::atomic<bool> calm{false};
    MasterHandler master(
        dictionary, 5, 7, 0.001, {},
        [&](std::string_view, std::string_view) {
            ++reports;
            // Back into the handler from its own event (host or watchdog thread).
            if (!calm.load()) {
                self->set_fail_safe(reports.load() % 2 == 0);
                if (reports.load() % 5 == 0) self->reset();
                ++nested_calls;
            }
        },
        [&](StateId state) {
            ++state_changes;
            EXPECT_LE(static_cast<int>(state), static_cast<int>(StateId::Data));
            MasterHandler::RequestBuffer buffer;
            (void)self->get_request(buffer);
        });
    self = &master;
    items.map_into(master);

    std::atomic<uint64_t> broken{0};
    auto check_invariants = [&] {
        master.event([&] {
            const StateId state = master.state();
            if (static_cast<int>(state) > static_cast<int>(StateId::Data)) ++broken;
            const std::vector<uint8_t> request = master.get_request();
            if (!request.empty()) {
                FSOEFrame frame(static_cast<long long>(request.size()));
                frame.frame_from_array(request);
                if (!frame.control.command_is_valid()) ++broken;
            }
            if (state != StateId::Data)
                for (const auto &i : inputs)
                    if (std::get<int64_t>(i->value()) != kFailSafe) ++broken;
        });
    };

    master.start();
    std::atomic<bool> done{false};
    std::thread chaos([&] {
        std::mt19937 rng(11);
        while (!done.load()) {
            switch (rng() % 5) {
                case 0:
                    master.reset();
                    break;
                case 1:
                    master.stop();
                    break;
                case 2:
                    master.start();
                    break;
                default:
                    master.set_fail_safe(rng() % 2 == 0);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200 + rng() % 800));
        }
    });

    uint64_t cycles = 0, data_cycles = 0;
    MasterHandler::RequestBuffer request;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end) {
        const size_t n = master.get_request(request);
        slave.set_process_data(true);
        master.set_reply(slave.step({request.data(), n}));
        check_invariants();
        ++cycles;
        if (master.state() == StateId::Data) ++data_cycles;
    }
    calm = true;
    done = true;
    chaos.join();
    master.stop();
    check_invariants();

    EXPECT_EQ(broken.load(), 0u);
    EXPECT_FALSE(master.running());
    EXPECT_EQ(master.state(), StateId::Reset);
    // The storm really happened: faults reported, callbacks re-entered, Data reached.
    EXPECT_GT(cycles, 1000u);
    EXPECT_GT(reports.load(), 0u);
    EXPECT_GT(nested_calls.load(), 0u);
    EXPECT_GT(state_changes.load(), 10u);
    EXPECT_GT(data_cycles, 0u) << "cycles " << cycles;
}

}  // namespace
}  // namespace kestrel
