#include "kestrel/setup/dynamic_map.hpp"

#include <array>
#include <cmath>

#include "kestrel/common/error.hpp"
#include "kestrel/frame/frame.hpp"

namespace kestrel {

namespace {
constexpr uint16_t kMaxItemBytes = 4;
}

DynamicMappableItem::DynamicMappableItem(const Value &initial_value, DataType data_type)
    : data_type_(data_type), n_bytes_(data_type_bytes(data_type)) {
    store(initial_value);
    // Every type of the data model fits; this guards the 32-bit raw form
    // against a wider type.
    if (n_bytes_ > kMaxItemBytes) raise(ErrorKind::NotImplemented, "Cannot handle more than 4 bytes");
}

void DynamicMappableItem::store(const Value &value) {
    // serialize_value yields an unsigned 32-bit form or throws, so the old
    // value stays on any error.
    _raw_value = serialize_value(data_type_, value);
}

void DynamicMappableItem::set(const Value &value) { store(value); }

void FSOEDynamicMap::_set_items(std::optional<ItemList> items) {
    if (!items) {
        items_.clear();
        has_items_ = false;
        return;
    }
    for (const auto &item : *items)
        if (!item) raise(ErrorKind::Type, "items of a dynamic map must be DynamicMappableItem, not None");
    items_.swap(*items);  // the list object itself stays, so views of it stay valid
    has_items_ = true;
}

void FSOEDynamicMap::clear() noexcept {
    items_.clear();
    has_items_ = true;
    total_bytes_ = bytes_processed_ = items_processed_ = 0;
    current_processed_item_ = current_processed_item_byte_ = 0;
}

void FSOEDynamicMap::add(ItemPtr item) {
    if (!item) raise(ErrorKind::Type, "item must be a DynamicMappableItem, not None");
    const uint16_t n = item->n_bytes();
    items_.push_back(std::move(item));
    has_items_ = true;
    total_bytes_ += n;
}

void FSOEDynamicMap::set_data_to_frame(FSOEFrame &frame, uint16_t valid_data_bytes) {
    if (at_end() || valid_data_bytes > frame.safe_data_size_bytes()) {
        frame.set_safe_data_bytes({});
        return;
    }
    // valid_data_bytes <= the frame's safe-data size <= MAX_DATA_BYTES.
    std::array<uint8_t, MAX_DATA_BYTES> out;
    uint16_t count = 0;
    const DynamicMappableItem *item = items_[current_processed_item_].get();
    for (uint16_t i = 0; i < valid_data_bytes; ++i) {
        if (at_end()) break;
        item = items_[current_processed_item_].get();
        if (current_processed_item_byte_ >= item->n_bytes()) {
            advance();
            if (at_end()) break;
            item = items_[current_processed_item_].get();
        }
        out[count++] = static_cast<uint8_t>(item->_raw_value >> (8 * current_processed_item_byte_));
        ++current_processed_item_byte_;
        ++bytes_processed_;
    }
    if (current_processed_item_byte_ >= item->n_bytes()) advance();
    frame.set_safe_data_bytes({out.data(), count});
}

void FSOEDynamicMap::get_data_from_frame(const FSOEFrame &frame, uint16_t valid_data_bytes) {
    if (valid_data_bytes > frame.safe_data_size_bytes()) return;
    const auto received = frame.get_safe_data_bytes();
    if (at_end()) return;
    DynamicMappableItem *item = items_[current_processed_item_].get();
    for (uint16_t i = 0; i < valid_data_bytes; ++i) {
        if (current_processed_item_byte_ >= item->n_bytes()) {
            advance();
            if (at_end()) break;
            item = items_[current_processed_item_].get();
            item->_raw_value = 0;
        }
        const unsigned shift = 8u * static_cast<unsigned>(current_processed_item_byte_);
        item->_raw_value = (item->_raw_value & ~(0xFFu << shift)) | (static_cast<uint32_t>(received[i]) << shift);
        ++current_processed_item_byte_;
        ++bytes_processed_;
    }
    if (current_processed_item_byte_ >= item->n_bytes()) advance();
}

bool FSOEDynamicMap::is_safedata_correct(const FSOEDynamicMap &expected_map) const noexcept {
    const ItemList &expected = expected_map.items_;
    const size_t done = static_cast<size_t>(total_items() - pending_items());  // items_processed
    const bool partial = current_processed_item_byte_ != 0;
    // An echo that cannot be compared in full cannot be confirmed: when either
    // map holds fewer items than this map has transferred (only possible when
    // the caller passes unlike maps or edits a list from outside), the answer
    // is false rather than a read past the end of a list.
    const size_t needed = done + (partial ? 1 : 0);
    if (needed > items_.size() || needed > expected.size()) return false;
    for (size_t i = 0; i < done; ++i)
        if (!values_equal(items_[i]->get(), expected[i]->get())) return false;
    if (partial) {
        const uint32_t mask =
            current_processed_item_byte_ >= 4 ? 0xFFFFFFFFu : (uint32_t{1} << (8 * current_processed_item_byte_)) - 1u;
        if ((items_[done]->_raw_value & mask) != (expected[done]->_raw_value & mask)) return false;
    }
    return true;
}

}  // namespace kestrel
