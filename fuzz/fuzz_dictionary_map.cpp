// Dictionary maps: any sequence of edits (refused ones included) keeps the
// map within 255 bits and its entries in order; exchanging with the frame
// either works or is refused, and unpacking what was packed is stable.
#include "fuzz_common.hpp"
#include "kestrel/common/error.hpp"
#include "kestrel/data/dictionary_map.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kestrel;
    fuzz::Provider in(data, size);
    // Made once (a dictionary costs more than most inputs); every input starts
    // from the same values, so a finding replays on its own.
    static const std::vector<DictionaryItemPtr> items = [] {
        std::vector<DictionaryItemPtr> made;
        for (int i = 0; i < 12; ++i)
            made.push_back(std::make_shared<DictionaryItemInputOutput>(
                i, "io" + std::to_string(i), kAllDataTypes[static_cast<size_t>(i) % kAllDataTypes.size()], int64_t{0}));
        return made;
    }();
    static const auto dictionary = std::make_shared<Dictionary>(items);
    for (const auto &item : items) {
        item->set(Value{int64_t{0}});
        item->_set_fail_safe();
    }
    DictionaryMap map(dictionary, kind_bit(ItemKind::InputOutput));
    while (in.remaining_bytes() > 0) {
        const auto &item = items[in.ConsumeIntegralInRange<size_t>(0, items.size() - 1)];
        try {
            switch (in.ConsumeIntegralInRange<int>(0, 9)) {
                case 0:
                    map.add(item, in.ConsumeBool() ? std::optional<long long>(in.ConsumeIntegralInRange<int>(-2, 40))
                                                   : std::nullopt);
                    break;
                case 1:
                    map.add_padding(in.ConsumeIntegralInRange<uint16_t>(0, 300));
                    break;
                case 2:
                    map.insert(in.ConsumeIntegralInRange<long long>(-3, 20), item);
                    break;
                case 3:
                    map.insert_in_best_position(item, in.ConsumeIntegralInRange<uint16_t>(0, 40));
                    break;
                case 4:
                    map.remove(*item);
                    break;
                case 5:
                    if (map.size())
                        map.move_item_up(*map.entries()[in.ConsumeIntegralInRange<size_t>(0, map.size() - 1)]);
                    break;
                case 6:
                    if (map.size())
                        map.set_bits(*map.entries()[in.ConsumeIntegralInRange<size_t>(0, map.size() - 1)],
                                     in.ConsumeIntegralInRange<int>(-2, 40));
                    break;
                case 7:
                    map.complete_with_padding();
                    break;
                case 8:
                    map.merge_adjacent_paddings();
                    break;
                default: {
                    item->set(Value{static_cast<int64_t>(in.ConsumeIntegral<int32_t>())});
                    std::array<uint16_t, 8> words{};
                    for (auto &w : words) w = in.ConsumeIntegral<uint16_t>();
                    map.unpack(words);
                    std::array<uint16_t, 8> packed{};
                    map.pack(packed);
                    FSOEFrame frame(35);
                    map._set_data_to_frame(frame);
                    map._get_data_from_frame(frame);
                }
            }
        } catch (const Error &) {
        }
        fuzz::check(map.safety_bits() <= 255, "map within 255 bits");
        int position = 0;
        for (const auto &entry : map.entries()) {
            fuzz::check(entry->position_bits() >= position, "entries in order");
            position = entry->position_bits();
        }
    }
    return 0;
}
