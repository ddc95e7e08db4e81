// Two connections that must behave alike: the same map layout, the same
// software slave, the same seeds and the same events, one handler exchanging
// through the maps' caches, the other through the plain bit loop. After every
// event the requests, states, reports, exceptions and input values must be
// identical. Used by the differential test and its fuzz harness.
#pragma once

#include <bit>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kestrel/handler/master_handler.hpp"
#include "kestrel/sim/slave_simulator.hpp"
#include "rig.hpp"

namespace kestrel::test {

class DifferentialRig {
public:
    using Bytes = std::vector<uint8_t>;
    static constexpr int kEventKinds = 20;

    explicit DifferentialRig(uint64_t seed) : random_(seed) {
        static constexpr uint16_t kSizes[] = {1, 2, 4, 6, 8, 10, 12, 14, 16};
        out_size_ = kSizes[random_() % 9];
        in_size_ = kSizes[random_() % 9];
        layout_out_ = make_layout(out_size_);
        layout_in_ = make_layout(in_size_);
        for (bool cached : {true, false}) sides_.push_back(make_side(cached, seed));
    }

    // Applies event `kind` (0 ... kEventKinds - 1) with argument `arg` to both
    // connections; returns an empty string or what differed.
    std::string step(unsigned kind, uint32_t arg) {
        for (Side &side : sides_) {
            side.error.clear();
            try {
                apply(side, kind % kEventKinds, arg);
            } catch (const std::exception &e) {
                side.error = e.what();
            }
        }
        ++events_;
        return compare();
    }

    uint64_t events() const noexcept { return events_; }
    StateId state() const noexcept { return sides_[0].handler->state(); }
    bool running() const noexcept { return sides_[0].handler->running(); }
    std::string layout() const {
        return "out " + std::to_string(out_size_) + " bytes, in " + std::to_string(in_size_) + " bytes";
    }

private:
    struct Entry {
        bool padding;
        DataType type;
        uint16_t bits;
    };
    struct Side {
        std::vector<std::shared_ptr<DictionaryItemOutput>> outputs;
        std::vector<std::shared_ptr<DictionaryItemInput>> inputs;
        std::unique_ptr<sim::SlaveSimulator> slave;
        std::unique_ptr<MasterHandler> handler;
        std::vector<std::string> reports;
        std::vector<StateId> states;
        std::string error;
    };

    static constexpr DataType kTypes[] = {DataType::BOOL,  DataType::UINT8,  DataType::INT8,  DataType::UINT16,
                                          DataType::INT16, DataType::UINT32, DataType::INT32, DataType::FLOAT};

    std::vector<Entry> make_layout(uint16_t bytes) {
        std::vector<Entry> layout;
        int position = 0;
        const int total = 8 * bytes;
        while (position < total) {
            const int left = total - position;
            const DataType type = kTypes[random_() % 8];
            const int type_bits = data_type_bits(type);
            if (random_() % 4 == 0 || type_bits > left || (type_bits > 8 && position % 8 != 0)) {
                const int pad = static_cast<int>(1 + random_() % 7);
                const int n = std::min(left, type_bits > 8 && position % 8 != 0 ? 8 - position % 8 : pad);
                layout.push_back({true, type, static_cast<uint16_t>(n)});
                position += n;
                continue;
            }
            layout.push_back({false, type, static_cast<uint16_t>(type_bits)});
            position += type_bits;
        }
        return layout;
    }

    static Value fail_safe_for(DataType type, uint32_t n) {
        switch (type) {
            case DataType::BOOL:
                return Value{(n & 1) != 0};
            case DataType::FLOAT:
                return Value{0.25 * static_cast<double>(n % 7)};
            default:
                return Value{int64_t{n % 100}};
        }
    }

    Side make_side(bool cached, uint64_t seed) {
        Side side;
        std::vector<DictionaryItemPtr> items;
        int32_t key = 1;
        for (const Entry &e : layout_out_) {
            if (e.padding) continue;
            side.outputs.push_back(std::make_shared<DictionaryItemOutput>(key, "out" + std::to_string(key), e.type));
            items.push_back(side.outputs.back());
            ++key;
        }
        for (const Entry &e : layout_in_) {
            if (e.padding) continue;
            side.inputs.push_back(std::make_shared<DictionaryItemInput>(key, "in" + std::to_string(key), e.type,
                                                                        fail_safe_for(e.type, uint32_t(key))));
            items.push_back(side.inputs.back());
            ++key;
        }
        auto dictionary = std::make_shared<Dictionary>(items);
        side.slave =
            std::make_unique<sim::SlaveSimulator>(testing_rig::manual_slave(0x0102, out_size_, in_size_, seed));
        side.handler = std::make_unique<MasterHandler>(
            dictionary, 0x0102, 0x0BCD, 1.0, std::vector<std::shared_ptr<ApplicationParameter>>{},
            MasterHandler::ErrorCallback{}, MasterHandler::StateChangeCallback{}, true, testing_rig::quiet_watchdog());
        side.handler->_seed_session_ids(static_cast<uint32_t>(seed));
        size_t o = 0, i = 0;
        for (const Entry &e : layout_out_)
            e.padding ? (void)side.handler->master->dictionary_map->add_padding(e.bits)
                      : (void)side.handler->master->dictionary_map->add(side.outputs[o++]);
        for (const Entry &e : layout_in_)
            e.padding ? (void)side.handler->slave->dictionary_map->add_padding(e.bits)
                      : (void)side.handler->slave->dictionary_map->add(side.inputs[i++]);
        side.handler->master->dictionary_map->_set_exchange_cache(cached);
        side.handler->slave->dictionary_map->_set_exchange_cache(cached);
        return side;
    }

    void cycle(Side &side, const std::optional<int> &length_change = std::nullopt) {
        const Bytes request = side.handler->get_request();
        auto reply = side.slave->step(request);
        Bytes bytes(reply.begin(), reply.end());
        if (length_change) {
            if (*length_change < 0 && bytes.size() >= size_t(-*length_change))
                bytes.resize(bytes.size() - size_t(-*length_change));
            else if (*length_change > 0)
                bytes.resize(bytes.size() + size_t(*length_change), uint8_t(*length_change));
        }
        side.handler->set_reply(bytes);
    }

    Value output_value(DataType type, uint32_t arg) {
        switch (type) {
            case DataType::BOOL:
                return Value{(arg & 1) != 0};
            case DataType::FLOAT:
                return Value{static_cast<double>(std::bit_cast<float>(arg & 0x3FFFFFFFu))};
            default: {
                const int64_t lo = data_type_min_value(type), hi = data_type_max_value(type);
                return Value{lo + static_cast<int64_t>(arg % static_cast<uint64_t>(hi - lo + 1))};
            }
        }
    }

    void apply(Side &side, unsigned kind, uint32_t arg) {
        MasterHandler &h = *side.handler;
        sim::SlaveSimulator &slave = *side.slave;
        const uint16_t reply_bits = static_cast<uint16_t>(8 * (in_size_ == 1 ? 6 : 2 * in_size_ + 3));
        switch (kind) {
            case 0:
            case 1:
            case 2:
            case 3:
            case 4:
            case 5:  // clang-format off
                cycle(side);
                break;  // clang-format on
            case 6:
                slave.inject_bit_flip(arg % reply_bits, 1 + (arg >> 24) % 2);
                cycle(side);
                break;
            case 7:
                if (arg & 1)
                    slave.inject_repeat(1 + (arg >> 1) % 3);
                else
                    slave.inject_replay(2 + (arg >> 1) % 4);
                cycle(side);
                break;
            case 8:
                slave.inject_wrong_connection_id();
                cycle(side);
                break;
            case 9:
                slave.inject_unknown_command(static_cast<uint8_t>(0xF0 | (arg & 0x0F)));
                cycle(side);
                break;
            case 10:
                cycle(side, static_cast<int>(arg % 5) - 2);
                break;
            case 11:
                h._watchdog_expired_event();
                break;
            case 12:
                h.start();
                break;
            case 13:
                h.stop();
                if (arg & 1) h.start();
                break;
            case 14:
                h.reset();
                break;
            case 15:
                h.set_fail_safe(arg % 4 == 0);
                break;
            case 16:
                if (!side.outputs.empty()) {
                    auto &item = side.outputs[arg % side.outputs.size()];
                    item->set(output_value(item->data_type(), arg * 2654435761u));
                }
                break;
            case 17: {
                Bytes inputs(in_size_);
                uint32_t x = arg;
                for (auto &b : inputs) b = static_cast<uint8_t>(x = x * 1103515245u + 12345u);
                slave.set_inputs(inputs);
                slave.set_process_data(arg % 8 != 0);
                break;
            }
            case 18:
                slave.inject_reset(static_cast<uint8_t>(arg % 12));
                cycle(side);
                break;
            default:
                slave.inject_silence(1 + arg % 3);
                cycle(side);
                break;
        }
    }

    static bool same_value(const Value &a, const Value &b) {
        if (a.index() != b.index()) return false;
        if (const auto *d = std::get_if<double>(&a))
            return std::bit_cast<uint64_t>(*d) == std::bit_cast<uint64_t>(std::get<double>(b));
        return a == b;
    }

    std::string compare() {
        Side &a = sides_[0], &b = sides_[1];
        if (a.error != b.error) return "exceptions differ: '" + a.error + "' / '" + b.error + "'";
        if (a.handler->state() != b.handler->state()) return "states differ";
        if (a.handler->running() != b.handler->running()) return "running differs";
        if (a.handler->get_request() != b.handler->get_request()) return "requests differ";
        const HandlerStatistics sa = a.handler->statistics(), sb = b.handler->statistics();
        if (sa.transitions != sb.transitions) return "transitions differ";
        if (sa.fault_transition != sb.fault_transition || sa.fault_message != sb.fault_message)
            return "reports differ: " + sa.fault_transition + " / " + sb.fault_transition;
        for (size_t i = 0; i < a.inputs.size(); ++i)
            if (!same_value(a.inputs[i]->value(), b.inputs[i]->value()))
                return "input " + std::to_string(i) + " differs";
        return {};
    }

    std::mt19937_64 random_;
    uint16_t out_size_ = 2, in_size_ = 2;
    std::vector<Entry> layout_out_, layout_in_;
    std::vector<Side> sides_;
    uint64_t events_ = 0;
};

}  // namespace kestrel::test
