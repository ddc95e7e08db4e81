// Set-up data carried a few bytes per frame: typed items held in their raw
// 32-bit form, and the map that cuts their byte stream across frames and
// puts it back together on the receiving side.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kestrel/data/data_type.hpp"

namespace kestrel {

class FSOEFrame;
class FSOEDynamicMap;

// One value of a dynamic map. `_raw_value` is the data type's integer form;
// its least significant byte is byte 0 of the item on the wire.
class DynamicMappableItem {
public:
    // ValueError/TypeError/OverflowError from the serialization of the value;
    // NotImplementedError "Cannot handle more than 4 bytes" for a wider type.
    DynamicMappableItem(const Value &initial_value, DataType data_type);
    virtual ~DynamicMappableItem() = default;
    DynamicMappableItem(const DynamicMappableItem &) = delete;
    DynamicMappableItem &operator=(const DynamicMappableItem &) = delete;

    // Stores the value's integer form; on any error the old value stays.
    virtual void set(const Value &value);
    Value get() const { return unserialize_value(data_type_, _raw_value); }

    uint32_t raw_value() const noexcept { return _raw_value; }
    DataType data_type() const noexcept { return data_type_; }
    uint16_t n_bytes() const noexcept { return n_bytes_; }

protected:
    void store(const Value &value);

private:
    friend class FSOEDynamicMap;  // the receiving map stores bytes as they arrive

    DataType data_type_;
    uint16_t n_bytes_;
    uint32_t _raw_value = 0;
};

// An ordered list of items and the progress of their transfer. The transfer
// operations allocate nothing and never read or write past a frame or a list.
class FSOEDynamicMap {
public:
    using ItemPtr = std::shared_ptr<DynamicMappableItem>;
    using ItemList = std::vector<ItemPtr>;

    FSOEDynamicMap() = default;
    FSOEDynamicMap(const FSOEDynamicMap &) = delete;
    FSOEDynamicMap &operator=(const FSOEDynamicMap &) = delete;

    // The item list. It may be edited from outside (counters do not follow);
    // entries must never be null. `_has_items()` is false after the list was
    // set to no value; the map then behaves as if it held an empty list.
    ItemList &_items() noexcept { return items_; }
    const ItemList &_items() const noexcept { return items_; }
    bool _has_items() const noexcept { return has_items_; }
    // Replaces the entries (no value: no list). TypeError for a null entry.
    void _set_items(std::optional<ItemList> items);

    int32_t total_bytes() const noexcept { return total_bytes_; }
    int32_t bytes_processed() const noexcept { return bytes_processed_; }
    int32_t items_processed() const noexcept { return items_processed_; }
    int32_t current_processed_item() const noexcept { return current_processed_item_; }
    int32_t current_processed_item_byte() const noexcept { return current_processed_item_byte_; }

    // Empties the list in place (a list that was set to no value becomes an
    // empty list again) and zeroes every counter.
    void clear() noexcept;
    // Appends an item; TypeError for a null item. After the list was set to no
    // value this starts a new list.
    void add(ItemPtr item);

    bool pending() const noexcept { return bytes_processed_ < total_bytes_; }
    int32_t total_items() const noexcept { return static_cast<int32_t>(items_.size()); }
    int32_t pending_items() const noexcept { return total_items() - items_processed_; }

    // Puts the next `valid_data_bytes` bytes of the stream into the frame's
    // safe data, the rest of it zero. When everything was sent, or
    // `valid_data_bytes` exceeds the frame's safe data, the safe data is all
    // zero and no counter moves.
    void set_data_to_frame(FSOEFrame &frame, uint16_t valid_data_bytes);
    // Takes the first `valid_data_bytes` safe-data bytes of the frame into the
    // items. An item reached in the middle of a frame is zeroed before its
    // first byte is stored; the item a call starts with keeps its other bytes.
    void get_data_from_frame(const FSOEFrame &frame, uint16_t valid_data_bytes);
    // Whether what was sent or received so far on this map matches
    // `expected_map`: completed items by typed value, a partly transferred one
    // by the bytes transferred.
    bool is_safedata_correct(const FSOEDynamicMap &expected_map) const noexcept;

private:
    void advance() noexcept {
        current_processed_item_byte_ = 0;
        ++items_processed_;
        ++current_processed_item_;
    }
    bool at_end() const noexcept {
        return current_processed_item_ < 0 || static_cast<size_t>(current_processed_item_) >= items_.size();
    }

    ItemList items_;
    bool has_items_ = true;
    int32_t total_bytes_ = 0;
    int32_t bytes_processed_ = 0;
    int32_t items_processed_ = 0;
    int32_t current_processed_item_ = 0;
    int32_t current_processed_item_byte_ = 0;
};

}  // namespace kestrel
