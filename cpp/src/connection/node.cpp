#include "kestrel/connection/node.hpp"

namespace kestrel {

namespace {

DynamicItemPtr u16_item(uint16_t value) {
    return std::make_shared<DynamicMappableItem>(Value{int64_t{value}}, DataType::UINT16);
}

}  // namespace

Session::Session(uint16_t slave_address_, uint16_t connection_id_, uint16_t watchdog_ms_)
    : slave_address(u16_item(slave_address_)),
      session_id(u16_item(0)),
      error_id(u16_item(0)),
      connection_id(u16_item(connection_id_)),
      comm_parameter_size_bytes(u16_item(0)),
      watchdog_ms(u16_item(watchdog_ms_)),
      app_parameter_size_bytes(u16_item(0)) {}

Node::Node(uint16_t slave_address, uint16_t connection_id, uint16_t watchdog_ms,
           std::vector<DynamicItemPtr> application_parameters_, std::shared_ptr<Dictionary> dictionary,
           ItemKindMask item_types_accepted, bool dictionary_map_is_editable)
    : frame(0),
      session(std::make_shared<Session>(slave_address, connection_id, watchdog_ms)),
      dictionary_map(std::make_shared<DictionaryMap>(std::move(dictionary), item_types_accepted)),
      application_parameters(std::move(application_parameters_)),
      dictionary_map_is_editable_(dictionary_map_is_editable) {
    if (!dictionary_map_is_editable_) dictionary_map->_lock();
}

void Node::start() {
    const uint16_t bytes = dictionary_map->safety_bytes();
    // Checked before the lock so that a refused start changes nothing.
    FSOEFrame::check_safe_data_size(bytes);
    if (dictionary_map_is_editable_) dictionary_map->_lock();
    frame.set_safe_data_size_bytes(bytes);
}

void Node::stop() {
    if (dictionary_map_is_editable_) dictionary_map->_lock(false);
}

}  // namespace kestrel
