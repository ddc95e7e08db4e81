// The dictionary map: the bit layout of one side's safe process data, its
// editing model, and the exchange of mapped values with a frame's safe data.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/data/dictionary.hpp"

namespace kestrel {

class DictionaryMap;
class FSOEFrame;

// Widest map whose widths and positions fit 8 bits, and widest map a frame's
// safe data (8 words of 16 bits) can carry.
inline constexpr int kMaxMapBits = 255;
inline constexpr int kMaxExchangeBits = 128;

// One entry: a dictionary item, or a padding (no item), at a bit position.
class DictionaryMappedItem {
public:
    // Widths and positions outside 0 ... 255 raise OverflowError.
    DictionaryMappedItem(DictionaryItemPtr item, long long bits, long long position_bits);
    ~DictionaryMappedItem();
    DictionaryMappedItem(const DictionaryMappedItem &) = delete;
    DictionaryMappedItem &operator=(const DictionaryMappedItem &) = delete;

    const DictionaryItemPtr &item() const noexcept { return item_; }
    bool is_padding() const noexcept { return !item_; }
    bool in_map() const noexcept { return owner_ != nullptr; }
    uint8_t bits() const noexcept { return bits_; }
    uint8_t position_bits() const noexcept { return position_bits_; }

    std::shared_ptr<DictionaryMappedItem> copy() const;
    std::shared_ptr<DictionaryMappedItem> copy_as_padding() const;
    std::pair<int, int> position_byte_bits() const noexcept { return {position_bits_ / 8, position_bits_ % 8}; }
    std::pair<int, int> size_bytes_bits() const noexcept { return {bits_ / 8, bits_ % 8}; }

    // Only the map changes these; the owning map's exchange plan follows.
    void _set_bits(long long bits);
    void _set_position_bits(long long position_bits);

    // Replaces the owning pointer by another one to the same item (a host
    // whose collector counts one reference per owner gives each owner its
    // own); ValueError for any other item.
    void _reown_item(DictionaryItemPtr same);

    // Integer form: 0 for a padding, else the item's.
    uint32_t _read() const { return item_ ? item_->_read() : 0; }
    void _write(int64_t value) {
        if (item_) item_->_write(value);
    }

private:
    friend class DictionaryMap;
    DictionaryItemPtr item_;
    uint8_t bits_;
    uint8_t position_bits_;
    DictionaryMap *owner_ = nullptr;  // the map holding this entry, if any
};

using DictionaryMappedItemPtr = std::shared_ptr<DictionaryMappedItem>;

class DictionaryMap {
public:
    DictionaryMap(std::shared_ptr<Dictionary> dictionary, ItemKindMask item_types_accepted);
    ~DictionaryMap();
    DictionaryMap(const DictionaryMap &) = delete;
    DictionaryMap &operator=(const DictionaryMap &) = delete;

    // Same dictionary and accepted kinds, a copy of every entry, same lock.
    std::shared_ptr<DictionaryMap> copy() const;

    const std::shared_ptr<Dictionary> &dictionary() const noexcept { return dictionary_; }
    // As DictionaryMappedItem::_reown_item, for the dictionary.
    void _reown_dictionary(std::shared_ptr<Dictionary> same);
    ItemKindMask item_types_accepted() const noexcept { return accepted_; }
    bool accepts(const DictionaryItem &item) const noexcept { return (accepted_ & kind_bit(item.kind())) != 0; }
    const std::vector<DictionaryMappedItemPtr> &entries() const noexcept { return entries_; }  // _items
    size_t size() const noexcept { return entries_.size(); }
    bool contains(const DictionaryMappedItem &entry) const noexcept { return entry.owner_ == this; }
    std::optional<size_t> index_of(const DictionaryMappedItem &entry) const noexcept;
    bool locked() const noexcept { return locked_; }
    int safety_bits() const noexcept;
    uint16_t safety_bytes() const { return div_ceil(safety_bits(), 8); }

    std::vector<DictionaryItemPtr> mapped_dictionary_items() const;
    std::vector<DictionaryItemPtr> unmapped_dictionary_items() const;

    // Editing. A null item is a padding; absent `bits` means the data type's
    // width. Every operation refuses to make the map longer than 255 bits
    // (OverflowError, map unchanged).
    DictionaryMappedItemPtr add(const DictionaryItemPtr &dict_item, std::optional<long long> bits = {},
                                std::optional<uint16_t> align_to_bits = {});
    DictionaryMappedItemPtr add_by_key(int32_t key, std::optional<long long> bits = {});
    DictionaryMappedItemPtr add_padding(uint16_t bits);
    DictionaryMappedItemPtr insert(long long index, const DictionaryItemPtr &dict_item,
                                   std::optional<long long> bits = {});
    DictionaryMappedItemPtr insert_before(const DictionaryMappedItem &before, const DictionaryItemPtr &dict_item,
                                          std::optional<long long> bits = {});
    DictionaryMappedItemPtr insert_after(const DictionaryMappedItem &after, const DictionaryItemPtr &dict_item,
                                         std::optional<long long> bits = {});
    DictionaryMappedItemPtr insert_in_best_position(const DictionaryItemPtr &dict_item, uint16_t align_to_bits = 1);
    void set_bits(const DictionaryMappedItem &entry, long long bits);
    bool move_item_up(const DictionaryMappedItem &entry);
    bool move_item_down(const DictionaryMappedItem &entry);
    void remove(const DictionaryMappedItem &entry);
    void remove(const DictionaryItem &item);  // no-op when not mapped
    void transform_to_padding(const DictionaryMappedItem &entry);
    void transform_to_padding(const DictionaryItem &item);  // no-op when not mapped
    void merge_adjacent_paddings();
    void complete_with_padding();
    void trim_map();
    void clear();
    void _lock(bool active = true) noexcept { locked_ = active; }

    // Data exchange with the 8 safe-data words. A map that reaches past bit
    // 128 cannot be exchanged: ValueError, nothing changed.
    // Off: every exchange reads and writes each item as the plain bit loop
    // does, keeping nothing (the reference the cached exchange is tested against).
    void _set_exchange_cache(bool enabled) noexcept {
        cache_enabled_ = enabled;
        packed_valid_ = unpacked_valid_ = false;
    }
    void pack(std::array<uint16_t, 8> &words) const;
    void unpack(const std::array<uint16_t, 8> &words);
    void _set_data_to_frame(FSOEFrame &frame) const;
    void _get_data_from_frame(const FSOEFrame &frame);

    std::string get_text_representation(long long item_space = 40) const;

    // Called by an entry whose width or position changed.
    void entry_changed() { rebuild_plan(); }

private:
    struct Step {
        DictionaryItem *item;
        uint32_t entry_index;
        uint32_t mask;  // the value bits the entry carries
        uint8_t lane;   // 64-bit half of the safe data holding the first bit
        uint8_t shift;  // first bit inside that half
        uint8_t width;
        // The raw forms as last exchanged and the values' versions then
        // (output side packed, input side unpacked): while a version stays,
        // the value needs no reading or writing. ~0 is no value's version.
        mutable uint64_t packed_version = ~uint64_t{0};
        mutable uint64_t unpacked_version = ~uint64_t{0};
        mutable uint32_t packed_raw = 0;
        mutable uint32_t unpacked_raw = 0;
    };

    void check_not_locked() const;
    void check_not_already_mapped(const DictionaryItem &item) const;
    size_t check_item_belongs(const DictionaryMappedItem &entry) const;
    size_t index_in_list(const DictionaryMappedItem &entry) const;  // ValueError without own message
    DictionaryMappedItemPtr create_mapped_item(long long position_bits, const DictionaryItemPtr &dict_item,
                                               std::optional<long long> bits) const;
    void check_length(int new_length) const;
    void recalculate_position_bits();
    void adopt(const DictionaryMappedItemPtr &entry);
    void release(const DictionaryMappedItemPtr &entry) noexcept;
    DictionaryMappedItemPtr insert_at(long long index, const DictionaryItemPtr &dict_item,
                                      std::optional<long long> bits);
    void rebuild_plan();
    void check_exchangeable() const;

    std::shared_ptr<Dictionary> dictionary_;
    ItemKindMask accepted_;
    std::vector<DictionaryMappedItemPtr> entries_;
    bool locked_ = false;
    // Precomputed on every edit so the exchange does no layout work per frame.
    std::vector<Step> plan_;
    int end_bits_ = 0;  // furthest bit any entry reaches
    // The words last packed and last unpacked: while no value changed, a
    // frame's exchange is a version check per item and a copy.
    mutable std::array<uint16_t, 8> packed_words_{};
    mutable bool packed_valid_ = false;
    std::array<uint16_t, 8> unpacked_words_{};
    bool unpacked_valid_ = false;
    bool cache_enabled_ = true;
};

}  // namespace kestrel
