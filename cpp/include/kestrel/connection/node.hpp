// The per-side records of a connection: what one node (master or slave) sends
// or sent back, its current frame and the maps that fill or read that frame.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kestrel/connection/errors.hpp"
#include "kestrel/data/dictionary_map.hpp"
#include "kestrel/frame/frame.hpp"
#include "kestrel/setup/dynamic_map.hpp"

namespace kestrel {

using DynamicItemPtr = std::shared_ptr<DynamicMappableItem>;

// The connection data a node knows. Every field is a 16-bit set-up item, so
// that it can be put into a dynamic map and travel in the frames' safe data.
class Session {
public:
    Session(uint16_t slave_address, uint16_t connection_id, uint16_t watchdog_ms);

    // In the order they are made.
    const DynamicItemPtr slave_address;
    const DynamicItemPtr session_id;
    const DynamicItemPtr error_id;
    const DynamicItemPtr connection_id;
    const DynamicItemPtr comm_parameter_size_bytes;
    const DynamicItemPtr watchdog_ms;
    const DynamicItemPtr app_parameter_size_bytes;

    // The error code held by `error_id` (any 16-bit value a slave sent).
    uint16_t error() const noexcept { return static_cast<uint16_t>(error_id->raw_value()); }
    void set_error(uint8_t code) { set_u16(*error_id, code); }
    void set_error(BaseError error) { set_error(static_cast<uint8_t>(error)); }

    static void set_u16(DynamicMappableItem &item, uint16_t value) { item.set(Value{int64_t{value}}); }
};

class Node {
public:
    Node(uint16_t slave_address, uint16_t connection_id, uint16_t watchdog_ms,
         std::vector<DynamicItemPtr> application_parameters, std::shared_ptr<Dictionary> dictionary,
         ItemKindMask item_types_accepted, bool dictionary_map_is_editable = true);
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

    FSOEFrame frame;
    const std::shared_ptr<Session> session;
    const std::shared_ptr<DictionaryMap> dictionary_map;
    FSOEDynamicMap _dynamic_map;
    const std::vector<DynamicItemPtr> application_parameters;
    // CRC_0 of the last frame this node sent.
    std::optional<uint16_t> _last_crc0_sent;

    bool dictionary_map_is_editable() const noexcept { return dictionary_map_is_editable_; }

    // Whatever the owner attaches (a host binding keeps its objects here).
    std::shared_ptr<void> host_data;

    // Before the connection starts: lock an editable map, then size the frame
    // from the map. A map over 16 bytes fails with the frame's ValueError; the
    // lock and the frame are then as they were.
    void start();
    // When the connection stops: unlock an editable map.
    void stop();

private:
    bool dictionary_map_is_editable_;
};

// Wire length of a frame with `safe_data_bytes` of safe data (0, 1 or even):
// the frame layer's formula, spelled for the C++ layers.
inline size_t frame_length_for(uint16_t safe_data_bytes) noexcept { return FSOE_GetFrameSizeBytes(safe_data_bytes); }

}  // namespace kestrel
