// What the tests that run a master handler against the software slave share:
// a watchdog that leaves expiry to the test, and safety data of UINT8 items,
// one per safe-data byte, so that the slave's raw bytes read directly as the
// items' values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/handler/master_handler.hpp"
#include "kestrel/sim/slave_simulator.hpp"

namespace kestrel::testing_rig {

// A watchdog that never expires by itself: tests expire it by calling the
// handler's expiry event, so that no test depends on the machine's timing.
inline MasterHandler::WatchdogFactory quiet_watchdog() {
    return [](double, Watchdog::Callback callback) {
        auto watchdog = std::make_shared<Watchdog>(3600.0, std::move(callback));
        watchdog->start();
        return watchdog;
    };
}

// `outputs` UINT8 outputs (keys from 0x100) and `inputs` UINT8 inputs (keys from
// 0x200, fail-safe value `fail_safe`), in one dictionary.
struct Uint8Items {
    Uint8Items(uint16_t n_outputs, uint16_t n_inputs, uint8_t fail_safe, const std::string &out_prefix = "out",
               const std::string &in_prefix = "in") {
        std::vector<DictionaryItemPtr> items;
        for (uint16_t i = 0; i < n_outputs; ++i) {
            outputs.push_back(
                std::make_shared<DictionaryItemOutput>(0x100 + i, out_prefix + std::to_string(i), DataType::UINT8));
            items.push_back(outputs.back());
        }
        for (uint16_t i = 0; i < n_inputs; ++i) {
            inputs.push_back(std::make_shared<DictionaryItemInput>(0x200 + i, in_prefix + std::to_string(i),
                                                                   DataType::UINT8, int64_t{fail_safe}));
            items.push_back(inputs.back());
        }
        dictionary = std::make_shared<Dictionary>(items);
    }

    // Lays both maps out with the items, in key order.
    void map_into(MasterHandler &handler) const {
        for (const auto &o : outputs) handler.master->dictionary_map->add(o);
        for (const auto &i : inputs) handler.slave->dictionary_map->add(i);
    }

    std::vector<std::shared_ptr<DictionaryItemOutput>> outputs;
    std::vector<std::shared_ptr<DictionaryItemInput>> inputs;
    std::shared_ptr<Dictionary> dictionary;
};

// A software slave on a manual clock (its watchdog moves only when a test says so).
inline sim::SlaveConfig manual_slave(uint16_t address, uint16_t output_size, uint16_t input_size, uint64_t seed) {
    sim::SlaveConfig config;
    config.slave_address = address;
    config.output_size = output_size;
    config.input_size = input_size;
    config.manual_clock = true;
    config.seed = seed;
    return config;
}

}  // namespace kestrel::testing_rig
