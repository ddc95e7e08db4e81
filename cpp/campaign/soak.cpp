// Soak: one connection for many cycles with random faults on the replies
// (bit flips, garbage, replays, silence), reconnecting after each. Prints the
// resident memory after a warm-up and at the end; run it under
// LeakSanitizer (an address-sanitized build) to check for leaks as well.
//
//   kestrel_soak [--cycles N]      (default 10,000,000)
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kestrel/handler/master_handler.hpp"
#include "kestrel/sim/slave_simulator.hpp"

namespace {

long resident_kib() {
    std::FILE *f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long pages = 0, resident = 0;
    const int n = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return n == 2 ? resident * 4 : -1;
}

}  // namespace

int main(int argc, char **argv) {
    using namespace kestrel;
    uint64_t cycles = 10'000'000;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--cycles") == 0) cycles = std::strtoull(argv[i + 1], nullptr, 10);

    constexpr uint16_t kSize = 4;
    std::vector<DictionaryItemPtr> items;
    for (uint16_t i = 0; i < kSize; ++i) {
        items.push_back(std::make_shared<DictionaryItemOutput>(0x100 + i, "o" + std::to_string(i), DataType::UINT8));
        items.push_back(
            std::make_shared<DictionaryItemInput>(0x200 + i, "i" + std::to_string(i), DataType::UINT8, int64_t{0}));
    }
    auto dictionary = std::make_shared<Dictionary>(items);
    sim::SlaveConfig config;
    config.slave_address = 5;
    config.input_size = kSize;
    config.output_size = kSize;
    config.manual_clock = true;
    config.seed = 1;
    sim::SlaveSimulator slave(config);
    uint64_t reports = 0;
    // The expiries are modelled below (a request unchanged for 8 cycles), so
    // the run does not depend on the machine's timing.
    auto quiet = [](double, Watchdog::Callback callback) {
        auto w = std::make_shared<Watchdog>(3600.0, std::move(callback));
        w->start();
        return w;
    };
    MasterHandler master(
        dictionary, 5, 7, 1.0, {}, [&](std::string_view, std::string_view) { ++reports; }, nullptr, true, quiet);
    for (const auto &item : items) {
        if (item->has_output()) master.master->dictionary_map->add(item);
        if (item->has_input()) master.slave->dictionary_map->add(item);
    }
    master.start();

    std::mt19937_64 rng(42);
    MasterHandler::RequestBuffer request{};
    std::vector<std::vector<uint8_t>> history(8);
    std::vector<uint8_t> reply;
    long warm = 0;
    int still = 0;
    uint64_t data_cycles = 0;
    for (uint64_t c = 0; c < cycles; ++c) {
        if (c == 100'000) warm = resident_kib();
        master.set_fail_safe(false);
        slave.set_process_data(true);
        std::array<uint8_t, kSize> inputs{};
        for (auto &b : inputs) b = static_cast<uint8_t>(rng());
        slave.set_inputs(inputs);
        const size_t n = master.get_request(request);
        const auto genuine = slave.step({request.data(), n});
        reply.assign(genuine.begin(), genuine.end());
        history[c % history.size()] = reply;
        if (rng() % 1000 == 0 && !reply.empty()) {  // a fault every thousand cycles or so
            switch (rng() % 4) {
                case 0:
                    reply[rng() % reply.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
                    break;
                case 1:
                    reply.resize(rng() % 40);
                    for (auto &b : reply) b = static_cast<uint8_t>(rng());
                    break;
                case 2:
                    reply = history[(c + 3) % history.size()];
                    break;
                default:
                    reply.clear();
                    break;
            }
        }
        master.set_reply(reply);
        MasterHandler::RequestBuffer after{};
        const size_t m = master.get_request(after);
        // The watchdog, modelled: a request unchanged for 8 cycles expires it.
        still = (m == n && std::equal(after.begin(), after.begin() + m, request.begin())) ? still + 1 : 0;
        if (still >= 8) {
            master._watchdog_expired_event();
            still = 0;
        }
        if (master.state() == StateId::Data) ++data_cycles;
    }
    const long end = resident_kib();
    master.stop();
    std::printf("cycles %" PRIu64 ", in Data %" PRIu64 ", faults reported %" PRIu64
                ", resident KiB after warm-up %ld, at the end %ld\n",
                cycles, data_cycles, reports, warm, end);
    // Flat: a leak of even one byte per cycle would show as megabytes here.
    // Under AddressSanitizer freed memory sits in its quarantine, so resident
    // memory says nothing there; LeakSanitizer checks at exit instead.
#if defined(__SANITIZE_ADDRESS__)
    return 0;
#else
    return (warm > 0 && end > warm + 512) ? 1 : 0;
#endif
}
