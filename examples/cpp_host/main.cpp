// A C++ host of one FSoE connection. The software slave stands in for the bus:
// each cycle the master's frame goes into the output process image at a fixed
// offset, the slave answers into the input image, and the handler reads its
// reply from there. A real host's EtherCAT master exchanges the two images.
#include <algorithm>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string_view>
#include <vector>

#include "kestrel/handler/master_handler.hpp"
#include "kestrel/sim/slave_simulator.hpp"

namespace {

constexpr uint16_t kSlaveAddress = 5;
constexpr uint16_t kConnectionId = 7;
constexpr size_t kRequestOffset = 4;  // where the slave's RxPDO maps the FSoE frame
constexpr size_t kReplyOffset = 2;    // where its TxPDO maps the slave's frame

int64_t as_int(const kestrel::Value &value) {
    return std::visit([](auto v) { return static_cast<int64_t>(v); }, value);
}

}  // namespace

int main() {
    using namespace kestrel;

    // The safety data: two outputs, two inputs with their fail-safe values.
    auto sto_enable = std::make_shared<DictionaryItemOutput>(1, "STO_enable", DataType::BOOL);
    auto speed = std::make_shared<DictionaryItemOutput>(2, "speed_limit", DataType::UINT8);
    auto sto_active = std::make_shared<DictionaryItemInput>(3, "STO_active", DataType::BOOL, true);
    auto position = std::make_shared<DictionaryItemInput>(4, "position", DataType::UINT8, int64_t{0});
    auto dictionary =
        std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{sto_enable, speed, sto_active, position});

    MasterHandler handler(
        dictionary, kSlaveAddress, kConnectionId, 0.1, {},
        [](std::string_view name, std::string_view message) {
            std::cout << "fault: " << name << " " << message << "\n";
        },
        [](StateId state) { std::cout << "state: " << state_name(state) << "\n"; });
    // 2 bytes of safe data each way: 7-byte frames.
    handler.master->dictionary_map->add(sto_enable);
    handler.master->dictionary_map->add_padding(7);
    handler.master->dictionary_map->add(speed);
    handler.slave->dictionary_map->add(sto_active);
    handler.slave->dictionary_map->add_padding(7);
    handler.slave->dictionary_map->add(position);
    std::cout << "frames: request " << handler.request_length() << " bytes, reply " << handler.reply_length()
              << " bytes\n";

    sim::SlaveConfig config;
    config.slave_address = kSlaveAddress;
    sim::SlaveSimulator slave(config);

    // The slave's process data areas as the bus master lays them out.
    std::vector<uint8_t> outputs(kRequestOffset + handler.request_length());
    std::vector<uint8_t> inputs(kReplyOffset + handler.reply_length());
    const auto cycle = [&] {
        handler.write_request_into(outputs, kRequestOffset);
        // The bus: the slave reads its frame from the outputs, answers into the inputs.
        const auto reply = slave.step(std::span<const uint8_t>(outputs).subspan(kRequestOffset));
        std::copy(reply.begin(), reply.end(), inputs.begin() + static_cast<std::ptrdiff_t>(kReplyOffset));
        handler.set_reply_from(inputs, kReplyOffset);
    };

    handler.start();
    for (int i = 0; i < 100 && handler.state() != StateId::Data; ++i) cycle();
    if (handler.state() != StateId::Data) return 1;

    handler.set_fail_safe(false);  // process data from now on
    slave.set_process_data(true);
    const uint8_t slave_inputs[] = {0x00, 42};
    slave.set_inputs(slave_inputs);
    dictionary->set("STO_enable", true);
    dictionary->set("speed_limit", int64_t{120});
    for (int i = 0; i < 3; ++i) cycle();
    std::cout << "slave outputs: " << int{slave.outputs()[0]} << " " << int{slave.outputs()[1]} << ", STO_active "
              << as_int(dictionary->get("STO_active")) << ", position " << as_int(dictionary->get("position")) << "\n";

    slave.inject_bit_flip(12);  // one corrupted reply: reported, inputs fail-safe, reconnect
    cycle();
    std::cout << "after the fault: STO_active " << as_int(dictionary->get("STO_active")) << ", position "
              << as_int(dictionary->get("position")) << "\n";
    for (int i = 0; i < 100 && handler.state() != StateId::Data; ++i) cycle();
    std::cout << "recovered: " << state_name(handler.state()) << "\n";

    handler.stop();
    handler.delete_watchdog();
    return handler.state() == StateId::Reset ? 0 : 1;
}
