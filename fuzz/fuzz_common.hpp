// Shared by the fuzz harnesses: a handler and a software slave on a bus that
// the harness can drive into any state, and the invariants checked after
// every step.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/handler/master_handler.hpp"
#include "kestrel/sim/slave_simulator.hpp"

namespace kestrel::fuzz {

// Drops the coverage gathered so far in this input (fuzz/coverage.cpp). The
// set-up that brings a connection into a state is the same for every input
// with that size and state: counted, its thousands of features make
// libFuzzer's bookkeeping cost more than the run itself, and they tell the
// fuzzer nothing.
void forget_coverage() noexcept;

// Splits the fuzzer's input into values (a small stand-in for LLVM's
// FuzzedDataProvider, which not every clang package ships). Past the end
// every value is its smallest.
class Provider {
public:
    Provider(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    size_t remaining_bytes() const { return size_ - used_; }
    template <typename T>
    T ConsumeIntegral() {
        uint64_t v = 0;
        for (size_t i = 0; i < sizeof(T) && used_ < size_; ++i) v = (v << 8) | data_[used_++];
        return static_cast<T>(v);
    }
    template <typename T>
    T ConsumeIntegralInRange(T lo, T hi) {
        const uint64_t span = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
        uint64_t v = 0;
        for (uint64_t seen = 0; seen < span && used_ < size_; seen = (seen << 8) | 0xFF) v = (v << 8) | data_[used_++];
        return static_cast<T>(static_cast<uint64_t>(lo) + (span == UINT64_MAX ? v : v % (span + 1)));
    }
    bool ConsumeBool() { return ConsumeIntegral<uint8_t>() & 1; }
    template <typename T>
    std::vector<T> ConsumeBytes(size_t n) {
        n = std::min(n, remaining_bytes());
        std::vector<T> out(data_ + used_, data_ + used_ + n);
        used_ += n;
        return out;
    }

private:
    const uint8_t *data_;
    size_t size_, used_ = 0;
};

inline constexpr uint16_t kSizes[] = {1, 2, 4, 16};
inline constexpr uint8_t kFailSafe = 0xA5;
// Steps per input after the set-up: long inputs otherwise run hundreds of
// steps each and the fuzzer spends its time in them rather than in new inputs.
inline constexpr int kMaxSteps = 32;

inline void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// One per frame size, made once: a handler starts a watchdog thread, which
// is too costly per input. Each input begins with reset().
class Bus {
public:
    explicit Bus(uint16_t size, MasterHandler::ErrorCallback on_error = {},
                 MasterHandler::StateChangeCallback on_state = {})
        : size(size) {
        std::vector<DictionaryItemPtr> items;
        for (uint16_t i = 0; i < size; ++i) {
            outputs.push_back(
                std::make_shared<DictionaryItemOutput>(0x100 + i, "o" + std::to_string(i), DataType::UINT8));
            items.push_back(outputs.back());
        }
        for (uint16_t i = 0; i < size; ++i) {
            inputs.push_back(std::make_shared<DictionaryItemInput>(0x200 + i, "i" + std::to_string(i), DataType::UINT8,
                                                                   int64_t{kFailSafe}));
            items.push_back(inputs.back());
        }
        dictionary = std::make_shared<Dictionary>(items);
        config.slave_address = 0x0102;
        config.input_size = size;
        config.output_size = size;
        config.manual_clock = true;
        config.seed = 7;
        config.application_parameters = {0x34, 0x12};
        parameters = {
            std::make_shared<ApplicationParameter>("p", Value{int64_t{0x1234}}, std::nullopt, DataType::UINT16)};
        auto quiet = [](double, Watchdog::Callback callback) {
            auto w = std::make_shared<Watchdog>(3600.0, std::move(callback));
            w->start();
            return w;
        };
        master = std::make_unique<MasterHandler>(dictionary, 0x0102, 0x0BCD, 1.0, parameters, std::move(on_error),
                                                 std::move(on_state), true, quiet);
        for (const auto &o : outputs) master->master->dictionary_map->add(o);
        for (const auto &i : inputs) master->slave->dictionary_map->add(i);
        master->start();
        pristine_slave = std::make_unique<sim::SlaveSimulator>(config);
        slave = std::make_unique<sim::SlaveSimulator>(config);
    }

    static Bus &of_size(uint16_t size) {
        static std::unique_ptr<Bus> buses[4];
        const size_t index = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3;
        if (!buses[index]) buses[index] = std::make_unique<Bus>(size);
        return *buses[index];
    }

    // A fresh slave (a copy: seeding its generator costs more than a whole
    // input) and a master back in Reset.
    void restart() {
        *slave = *pristine_slave;
        master->reset();
    }

    std::span<const uint8_t> request() {
        request_len = master->get_request(request_buffer);
        return {request_buffer.data(), request_len};
    }
    void cycle() {
        master->set_fail_safe(false);
        slave->set_process_data(true);
        master->set_reply(slave->step(request()));
    }
    bool drive_to(StateId target) {
        for (int i = 0; i < 200 && master->state() != target; ++i) {
            const auto before = master->get_request();
            cycle();
            if (master->get_request() == before) master->_watchdog_expired_event();  // the bus stands still
        }
        return master->state() == target;
    }

    // State valid, request decodable, inputs fail-safe outside Data.
    void check_invariants() {
        const auto s = static_cast<uint8_t>(master->state());
        check(s <= static_cast<uint8_t>(StateId::Data), "state valid");
        const auto req = request();
        check(req.size() == frame_length_for(size), "request length");
        FSOEFrame frame(static_cast<long long>(req.size()));
        frame.frame_from_array(req);
        check(frame.control.command_is_valid(), "request command");
        if (master->state() != StateId::Data)
            for (const auto &i : inputs) check(std::get<int64_t>(i->value()) == kFailSafe, "inputs fail-safe");
    }

    uint16_t size;
    std::vector<std::shared_ptr<DictionaryItemOutput>> outputs;
    std::vector<std::shared_ptr<DictionaryItemInput>> inputs;
    std::vector<std::shared_ptr<ApplicationParameter>> parameters;
    std::shared_ptr<Dictionary> dictionary;
    sim::SlaveConfig config;
    std::unique_ptr<sim::SlaveSimulator> pristine_slave, slave;
    std::unique_ptr<MasterHandler> master;
    MasterHandler::RequestBuffer request_buffer{};
    size_t request_len = 0;
};

}  // namespace kestrel::fuzz
