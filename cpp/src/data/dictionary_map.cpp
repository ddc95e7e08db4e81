#include "kestrel/data/dictionary_map.hpp"

#include <algorithm>
#include <cstring>

#include "kestrel/common/error.hpp"
#include "kestrel/frame/frame.hpp"

namespace kestrel {

namespace {

uint8_t to_width(long long value) { return checked_unsigned<uint8_t>(value, "uint8_t", 0xFFu); }

// Value bits an item entry carries: its width, but never more than the widest
// data type. A narrowed entry keeps only its own width (the surplus bits of a
// value are masked away in both directions and never reach a neighbour); bits
// of an entry widened past 32 are zero when packed and ignored when unpacked.
uint8_t value_width(uint8_t bits) noexcept { return std::min<uint8_t>(bits, 32); }

std::string pad_right(std::string text, size_t width) {
    // Width in characters, not bytes: names may hold any UTF-8 text.
    size_t chars = 0;
    for (unsigned char c : text)
        if ((c & 0xC0u) != 0x80u) ++chars;
    if (chars < width) text.append(width - chars, ' ');
    return text;
}

}  // namespace

// --- DictionaryMappedItem -------------------------------------------------------

DictionaryMappedItem::DictionaryMappedItem(DictionaryItemPtr item, long long bits, long long position_bits)
    : item_(std::move(item)), bits_(to_width(bits)), position_bits_(to_width(position_bits)) {}

DictionaryMappedItem::~DictionaryMappedItem() = default;

std::shared_ptr<DictionaryMappedItem> DictionaryMappedItem::copy() const {
    return std::make_shared<DictionaryMappedItem>(item_, bits_, position_bits_);
}

std::shared_ptr<DictionaryMappedItem> DictionaryMappedItem::copy_as_padding() const {
    return std::make_shared<DictionaryMappedItem>(nullptr, bits_, position_bits_);
}

void DictionaryMappedItem::_reown_item(DictionaryItemPtr same) {
    if (same.get() != item_.get()) raise(ErrorKind::Value, "_reown_item needs the entry's own item");
    item_ = std::move(same);
}

void DictionaryMappedItem::_set_bits(long long bits) {
    bits_ = to_width(bits);
    if (owner_) owner_->entry_changed();
}

void DictionaryMappedItem::_set_position_bits(long long position_bits) {
    position_bits_ = to_width(position_bits);
    if (owner_) owner_->entry_changed();
}

// --- DictionaryMap: structure and queries ---------------------------------------

DictionaryMap::DictionaryMap(std::shared_ptr<Dictionary> dictionary, ItemKindMask item_types_accepted)
    : dictionary_(std::move(dictionary)), accepted_(item_types_accepted) {
    if (!dictionary_) raise(ErrorKind::Type, "a dictionary map needs a dictionary");
}

DictionaryMap::~DictionaryMap() {
    for (const auto &entry : entries_) entry->owner_ = nullptr;
}

void DictionaryMap::_reown_dictionary(std::shared_ptr<Dictionary> same) {
    if (same.get() != dictionary_.get()) raise(ErrorKind::Value, "_reown_dictionary needs the map's own dictionary");
    dictionary_ = std::move(same);
}

std::shared_ptr<DictionaryMap> DictionaryMap::copy() const {
    auto result = std::make_shared<DictionaryMap>(dictionary_, accepted_);
    result->entries_.reserve(entries_.size());
    for (const auto &entry : entries_) {
        result->entries_.push_back(entry->copy());
        result->adopt(result->entries_.back());
    }
    result->locked_ = locked_;
    result->rebuild_plan();
    return result;
}

std::optional<size_t> DictionaryMap::index_of(const DictionaryMappedItem &entry) const noexcept {
    if (entry.owner_ != this) return std::nullopt;
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].get() == &entry) return i;
    return std::nullopt;
}

int DictionaryMap::safety_bits() const noexcept {
    if (entries_.empty()) return 0;
    return entries_.back()->position_bits_ + entries_.back()->bits_;
}

std::vector<DictionaryItemPtr> DictionaryMap::mapped_dictionary_items() const {
    std::vector<DictionaryItemPtr> result;
    for (const auto &entry : entries_)
        if (entry->item_) result.push_back(entry->item_);
    return result;
}

std::vector<DictionaryItemPtr> DictionaryMap::unmapped_dictionary_items() const {
    std::vector<DictionaryItemPtr> result;
    for (const auto &item : dictionary_->items()) {
        if (!accepts(*item)) continue;
        const bool mapped =
            std::any_of(entries_.begin(), entries_.end(), [&](const auto &entry) { return entry->item_ == item; });
        if (!mapped) result.push_back(item);
    }
    return result;
}

// --- checks and helpers -----------------------------------------------------------

void DictionaryMap::check_not_locked() const {
    if (locked_) raise(ErrorKind::MasterMappingLocked, "Mapping is locked, cannot be modified");
}

void DictionaryMap::check_not_already_mapped(const DictionaryItem &item) const {
    for (const auto &entry : entries_)
        if (entry->item_.get() == &item)
            raise(ErrorKind::AlreadyMapped, "Item " + item.name() + " is already mapped in the dictionary map");
}

size_t DictionaryMap::check_item_belongs(const DictionaryMappedItem &entry) const {
    const auto index = index_of(entry);
    if (!index) raise(ErrorKind::Value, "The item does not belong to this map");
    return *index;
}

size_t DictionaryMap::index_in_list(const DictionaryMappedItem &entry) const {
    const auto index = index_of(entry);
    if (!index) raise(ErrorKind::Value, "list.index(x): x not in list");
    return *index;
}

// Widths and positions are 8-bit, so a map cannot reach past bit 255. Every
// operation that lengthens the map checks the new length first and refuses
// before changing anything.
void DictionaryMap::check_length(int new_length) const {
    if (new_length > kMaxMapBits)
        raise(ErrorKind::Overflow,
              "A dictionary map cannot be longer than 255 bits (" + std::to_string(new_length) + " bits requested)");
}

DictionaryMappedItemPtr DictionaryMap::create_mapped_item(long long position_bits, const DictionaryItemPtr &dict_item,
                                                          std::optional<long long> bits) const {
    check_not_locked();
    if (!bits) {
        if (!dict_item) raise(ErrorKind::Value, "Cannot add padding without indicating bits");
        bits = data_type_bits(dict_item->data_type());
    }
    if (dict_item && !accepts(*dict_item)) raise(ErrorKind::Permission);
    return std::make_shared<DictionaryMappedItem>(dict_item, *bits, position_bits);
}

void DictionaryMap::adopt(const DictionaryMappedItemPtr &entry) { entry->owner_ = this; }

void DictionaryMap::release(const DictionaryMappedItemPtr &entry) noexcept { entry->owner_ = nullptr; }

void DictionaryMap::recalculate_position_bits() {
    int position = 0;
    for (const auto &entry : entries_) {
        if (position > kMaxMapBits) {
            rebuild_plan();
            raise_too_large("uint8_t");
        }
        entry->position_bits_ = static_cast<uint8_t>(position);
        position += entry->bits_;
    }
    rebuild_plan();
}

void DictionaryMap::rebuild_plan() {
    plan_.clear();
    packed_valid_ = false;
    unpacked_valid_ = false;
    end_bits_ = 0;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const auto &entry = *entries_[i];
        const int end = entry.position_bits_ + entry.bits_;
        end_bits_ = std::max(end_bits_, end);
        // Entries beyond the safe data are never exchanged (the exchange
        // refuses such a map), so the plan holds only steps inside it.
        if (!entry.item_ || end > kMaxExchangeBits) continue;
        const uint8_t width = value_width(entry.bits_);
        // A 0-bit entry carries no bits (it reads as 0) and may sit at bit
        // 128, past the last half: it is placed at bit 0 instead.
        const uint8_t start = width == 0 ? 0 : entry.position_bits_;
        plan_.push_back(Step{entry.item_.get(), static_cast<uint32_t>(i),
                             width == 32 ? 0xFFFFFFFFu : (uint32_t{1} << width) - 1u, static_cast<uint8_t>(start / 64),
                             static_cast<uint8_t>(start % 64), width});
    }
}

// --- editing --------------------------------------------------------------------

DictionaryMappedItemPtr DictionaryMap::add(const DictionaryItemPtr &dict_item, std::optional<long long> bits,
                                           std::optional<uint16_t> align_to_bits) {
    if (dict_item) check_not_already_mapped(*dict_item);
    const int start = safety_bits();
    int gap = 0;
    if (align_to_bits) gap = static_cast<int>(align_bits(static_cast<uint16_t>(start), *align_to_bits)) - start;
    if (!locked_) {
        // Refused before the alignment padding goes in: a missing or too
        // large width, and a map that would grow past 255 bits. An item that
        // is then refused anyway (kind not accepted, 8-bit rule) leaves the
        // padding behind and reports its own refusal, so only the padding
        // has to fit then.
        if (!dict_item && !bits) raise(ErrorKind::Value, "Cannot add padding without indicating bits");
        if (dict_item && !accepts(*dict_item)) {
            check_length(start + gap);
        } else {
            const int width = bits ? to_width(*bits) : data_type_bits(dict_item->data_type());
            const bool misaligned = dict_item && data_type_bits(dict_item->data_type()) > 8 && (start + gap) % 8 != 0;
            check_length(start + gap + (misaligned ? 0 : width));
        }
    }
    if (gap > 0) add_padding(static_cast<uint16_t>(gap));
    auto entry = create_mapped_item(safety_bits(), dict_item, bits);
    if (dict_item && data_type_bits(dict_item->data_type()) > 8 && entry->position_bits_ % 8 != 0)
        raise(ErrorKind::Index, "Variables with more than 8 bits must be aligned in 8-bit safe-data slots");
    entries_.push_back(entry);
    adopt(entry);
    rebuild_plan();
    return entry;
}

DictionaryMappedItemPtr DictionaryMap::add_by_key(int32_t key, std::optional<long long> bits) {
    return add(dictionary_->item_by_key(key), bits);
}

DictionaryMappedItemPtr DictionaryMap::add_padding(uint16_t bits) { return add(nullptr, bits); }

DictionaryMappedItemPtr DictionaryMap::insert_at(long long index, const DictionaryItemPtr &dict_item,
                                                 std::optional<long long> bits) {
    if (dict_item) check_not_already_mapped(*dict_item);
    auto entry = create_mapped_item(0, dict_item, bits);
    check_length(safety_bits() + entry->bits_);
    // List insertion: negative counts from the end, past the end appends.
    const auto size = static_cast<long long>(entries_.size());
    if (index < 0) index = std::max(0LL, index + size);
    index = std::min(index, size);
    entries_.insert(entries_.begin() + index, entry);
    adopt(entry);
    recalculate_position_bits();
    return entry;
}

DictionaryMappedItemPtr DictionaryMap::insert(long long index, const DictionaryItemPtr &dict_item,
                                              std::optional<long long> bits) {
    return insert_at(index, dict_item, bits);
}

DictionaryMappedItemPtr DictionaryMap::insert_before(const DictionaryMappedItem &before,
                                                     const DictionaryItemPtr &dict_item,
                                                     std::optional<long long> bits) {
    return insert_at(static_cast<long long>(index_in_list(before)), dict_item, bits);
}

DictionaryMappedItemPtr DictionaryMap::insert_after(const DictionaryMappedItem &after,
                                                    const DictionaryItemPtr &dict_item, std::optional<long long> bits) {
    return insert_at(static_cast<long long>(index_in_list(after)) + 1, dict_item, bits);
}

DictionaryMappedItemPtr DictionaryMap::insert_in_best_position(const DictionaryItemPtr &dict_item,
                                                               uint16_t align_to_bits) {
    if (!dict_item) raise(ErrorKind::Type, "insert_in_best_position needs a dictionary item, not a padding");
    merge_adjacent_paddings();
    const int item_bits = data_type_bits(dict_item->data_type());

    // First fit: the first padding that holds the item after its alignment gap.
    DictionaryMappedItemPtr chosen;
    int space_bits = 0;
    int before_padding_bits = 0;
    for (const auto &entry : entries_) {
        if (entry->item_) continue;
        space_bits = entry->bits_;
        if (space_bits < item_bits) continue;
        const int next_aligned = static_cast<int>(align_bits(entry->position_bits_, align_to_bits));
        before_padding_bits = next_aligned - entry->position_bits_;
        if (space_bits < item_bits + before_padding_bits) continue;
        chosen = entry;
        break;
    }

    if (chosen) {
        check_not_already_mapped(*dict_item);
        auto entry = create_mapped_item(0, dict_item, std::nullopt);  // refuses a kind not accepted
        // The item and the rest of the gap replace the chosen padding's bits,
        // so the map keeps its length: everything is spliced in before the
        // positions are recalculated once, and nothing can fail half-way.
        const int padding_bits_after_item = space_bits - item_bits - before_padding_bits;
        const auto padding_after =
            padding_bits_after_item > 0 ? create_mapped_item(0, nullptr, padding_bits_after_item) : nullptr;
        const auto at = entries_.begin() + static_cast<long>(*index_of(*chosen));
        chosen->bits_ = static_cast<uint8_t>(before_padding_bits);
        auto next = entries_.insert(at + 1, entry) + 1;
        adopt(entry);
        if (padding_after) {
            entries_.insert(next, padding_after);
            adopt(padding_after);
        }
        if (chosen->bits_ == 0)
            remove(*chosen);  // recalculates
        else
            recalculate_position_bits();
        return entry;
    }

    if (!entries_.empty() && !entries_.back()->item_) {
        release(entries_.back());
        entries_.pop_back();
        rebuild_plan();
    }
    return add(dict_item, std::nullopt, align_to_bits);
}

void DictionaryMap::set_bits(const DictionaryMappedItem &entry, long long bits) {
    check_not_locked();
    const size_t index = check_item_belongs(entry);
    const uint8_t width = to_width(bits);
    check_length(safety_bits() - entries_[index]->bits_ + width);
    entries_[index]->bits_ = width;
    recalculate_position_bits();
}

bool DictionaryMap::move_item_up(const DictionaryMappedItem &entry) {
    check_not_locked();
    const size_t index = check_item_belongs(entry);
    if (index == 0) return false;
    std::swap(entries_[index], entries_[index - 1]);
    recalculate_position_bits();
    return true;
}

bool DictionaryMap::move_item_down(const DictionaryMappedItem &entry) {
    check_not_locked();
    const size_t index = check_item_belongs(entry);
    if (index + 1 >= entries_.size()) return false;
    std::swap(entries_[index], entries_[index + 1]);
    recalculate_position_bits();
    return true;
}

void DictionaryMap::remove(const DictionaryMappedItem &entry) {
    const auto index = index_of(entry);
    if (!index) raise(ErrorKind::Value, "list.remove(x): x not in list");
    release(entries_[*index]);
    entries_.erase(entries_.begin() + static_cast<long>(*index));
    recalculate_position_bits();
}

void DictionaryMap::remove(const DictionaryItem &item) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if ((*it)->item_.get() == &item) {
            release(*it);
            entries_.erase(it);
            recalculate_position_bits();
            return;
        }
    }
}

void DictionaryMap::transform_to_padding(const DictionaryMappedItem &entry) {
    const size_t index = index_in_list(entry);
    auto padding = entry.copy_as_padding();
    release(entries_[index]);
    entries_[index] = padding;
    adopt(padding);
    recalculate_position_bits();
}

void DictionaryMap::transform_to_padding(const DictionaryItem &item) {
    for (auto &entry : entries_) {
        if (entry->item_.get() == &item) {
            transform_to_padding(*entry);
            return;
        }
    }
}

void DictionaryMap::merge_adjacent_paddings() {
    check_not_locked();
    for (size_t i = 0; i < entries_.size(); ++i) {
        auto &entry = entries_[i];
        if (entry->item_) continue;
        while (i + 1 < entries_.size() && !entries_[i + 1]->item_) {
            const int merged = entry->bits_ + entries_[i + 1]->bits_;
            if (merged > kMaxMapBits) {
                rebuild_plan();  // merges done so far stay: they cover the same bits
                raise_too_large("uint8_t");
            }
            entry->bits_ = static_cast<uint8_t>(merged);
            release(entries_[i + 1]);
            entries_.erase(entries_.begin() + static_cast<long>(i) + 1);
        }
    }
    rebuild_plan();
}

void DictionaryMap::complete_with_padding() {
    check_not_locked();
    const int bits = safety_bits();
    const uint16_t align_to = bits <= 8 ? 8 : 16;
    if (entries_.empty()) {
        add_padding(align_to);
        return;
    }
    const int extra_padding_needed = static_cast<int>(align_bits(static_cast<uint16_t>(bits), align_to)) - bits;
    if (extra_padding_needed == 0) return;
    check_length(bits + extra_padding_needed);
    if (!entries_.back()->item_) {
        entries_.back()->bits_ = static_cast<uint8_t>(entries_.back()->bits_ + extra_padding_needed);
        rebuild_plan();
    } else {
        add_padding(static_cast<uint16_t>(extra_padding_needed));
    }
}

void DictionaryMap::trim_map() {
    check_not_locked();
    if (entries_.empty()) {
        complete_with_padding();
        return;
    }
    merge_adjacent_paddings();
    // Refused before the trailing padding goes if the completed map would not
    // fit 255 bits, so a failed trim leaves the map as it was.
    int kept = safety_bits();
    if (!entries_.back()->item_) kept -= entries_.back()->bits_;
    if (kept > 0) check_length(static_cast<int>(align_bits(static_cast<uint16_t>(kept), kept <= 8 ? 8 : 16)));
    if (!entries_.back()->item_) {
        release(entries_.back());
        entries_.pop_back();
        rebuild_plan();
    }
    complete_with_padding();
}

void DictionaryMap::clear() {
    check_not_locked();
    for (const auto &entry : entries_) release(entry);
    entries_.clear();
    rebuild_plan();
}

// --- data exchange ----------------------------------------------------------------
//
// Map bit p is bit p % 16 of data word p / 16. The 8 words are handled as two
// 64-bit halves; each entry's half, shift and mask are precomputed by
// rebuild_plan(), so a frame costs one read or write per mapped item.

void DictionaryMap::check_exchangeable() const {
    if (end_bits_ > kMaxExchangeBits)
        raise(ErrorKind::Value, "A dictionary map of " + std::to_string(end_bits_) +
                                    " bits cannot be exchanged: a frame carries at most 128 bits of safe data");
}

void DictionaryMap::pack(std::array<uint16_t, 8> &words) const {
    check_exchangeable();
    if (packed_valid_) {
        bool unchanged = true;
        for (const Step &step : plan_) unchanged &= step.item->output_version() == step.packed_version;
        if (unchanged) {
            words = packed_words_;
            return;
        }
        packed_valid_ = false;
    }
    uint64_t half[2] = {0, 0};
    for (const Step &step : plan_) {
        if (!cache_enabled_) {
            step.packed_raw = step.item->_read();
        } else if (step.item->output_version() != step.packed_version) {
            uint64_t version;
            const uint32_t raw = step.item->_read(version);  // may raise: nothing kept then
            step.packed_raw = raw;
            step.packed_version = version;
        }
        const uint64_t value = step.packed_raw & step.mask;
        half[step.lane] |= value << step.shift;
        if (step.shift + step.width > 64) half[1] |= value >> (64 - step.shift);
    }
    for (unsigned i = 0; i < 4; ++i) {
        words[i] = static_cast<uint16_t>(half[0] >> (16 * i));
        words[i + 4] = static_cast<uint16_t>(half[1] >> (16 * i));
    }
    packed_words_ = words;
    packed_valid_ = cache_enabled_;
}

void DictionaryMap::unpack(const std::array<uint16_t, 8> &words) {
    check_exchangeable();
    if (unpacked_valid_ && words == unpacked_words_) {
        bool unchanged = true;
        for (const Step &step : plan_) unchanged &= step.item->input_version() == step.unpacked_version;
        if (unchanged) return;
    }
    // Valid again only after an unpack that ran no subscriber and met every
    // input holding the frame's value.
    unpacked_valid_ = false;
    bool all_seen = true;
    uint64_t half[2] = {0, 0};
    for (unsigned i = 0; i < 4; ++i) {
        half[0] |= uint64_t{words[i]} << (16 * i);
        half[1] |= uint64_t{words[i + 4]} << (16 * i);
    }
    // By index and re-read each time: a subscriber run by a change may edit
    // the map, which rebuilds the plan under this loop.
    for (size_t i = 0; i < plan_.size(); ++i) {
        const Step step = plan_[i];
        uint64_t value = half[step.lane] >> step.shift;
        if (step.shift + step.width > 64) value |= half[1] << (64 - step.shift);
        const auto raw = static_cast<uint32_t>(value) & step.mask;
        if (!cache_enabled_) {
            if (step.item->input_unchanged(raw)) continue;
            const DictionaryItemPtr item = entries_[step.entry_index]->item_;
            item->_write(raw);
            continue;
        }
        if (raw == step.unpacked_raw && step.item->input_version() == step.unpacked_version) continue;
        uint64_t version;
        if (step.item->input_unchanged(raw, version)) {
            plan_[i].unpacked_raw = raw;  // no subscriber ran: the plan is the same
            plan_[i].unpacked_version = version;
            continue;
        }
        all_seen = false;
        const bool stored = step.item->_store_from_frame(raw);  // runs no host code
        if (stored && !step.item->has_subscribers()) continue;
        // Hold the item: a subscriber may remove the only entry that owns it.
        const DictionaryItemPtr item = entries_[step.entry_index]->item_;
        if (stored)
            item->_notify_input_changed();
        else
            item->_write(raw);
    }
    if (all_seen && cache_enabled_) {
        unpacked_words_ = words;
        unpacked_valid_ = true;
    }
}

void DictionaryMap::_set_data_to_frame(FSOEFrame &frame) const {
    check_exchangeable();
    frame.safe_data.clear();
    std::array<uint16_t, 8> words;
    pack(words);
    std::memcpy(frame._c_fsoe_frame.au16Data, words.data(), sizeof(words));
}

void DictionaryMap::_get_data_from_frame(const FSOEFrame &frame) {
    std::array<uint16_t, 8> words;
    std::memcpy(words.data(), frame._c_fsoe_frame.au16Data, sizeof(words));
    unpack(words);
}

std::string DictionaryMap::get_text_representation(long long item_space) const {
    if (item_space < 0) raise(ErrorKind::Value, "Sign not allowed in string format specifier");
    const auto width = static_cast<size_t>(item_space);
    auto line = [&](std::string item, std::string position, std::string size) {
        return pad_right(std::move(item), width) + " | " + pad_right(std::move(position), 20) + " | " +
               pad_right(std::move(size), 20);
    };
    auto pair_text = [](std::pair<int, int> p) { return std::to_string(p.first) + ".." + std::to_string(p.second); };
    std::string text = line("Item", "Position bytes..bits", "Size bytes..bits");
    for (const auto &entry : entries_) {
        text += '\n';
        text += line(entry->item_ ? entry->item_->name() : "Padding", pair_text(entry->position_byte_bits()),
                     pair_text(entry->size_bytes_bits()));
    }
    return text;
}

}  // namespace kestrel
