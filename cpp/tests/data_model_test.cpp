// Dictionary values and change rule, map layout, and packing/unpacking of
// mapped values with the safe-data words.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <functional>
#include <thread>

#include "kestrel/common/error.hpp"
#include "kestrel/data/dictionary_map.hpp"
#include "kestrel/frame/frame.hpp"

namespace kestrel {
namespace {

using Words = std::array<uint16_t, 8>;

constexpr ItemKindMask kBoth = kind_bit(ItemKind::InputOutput);

std::shared_ptr<DictionaryItemInputOutput> io(int32_t key, DataType type) {
    return std::make_shared<DictionaryItemInputOutput>(key, std::to_string(key), type, int64_t{0});
}

ErrorKind kind_of(const std::function<void()> &f) {
    try {
        f();
    } catch (const Error &e) {
        return e.kind();
    }
    ADD_FAILURE() << "no error";
    return ErrorKind::Runtime;
}

TEST(Values, NumericEquality) {
    EXPECT_TRUE(values_equal(true, int64_t{1}));
    EXPECT_TRUE(values_equal(int64_t{1}, 1.0));
    EXPECT_TRUE(values_equal(false, 0.0));
    EXPECT_FALSE(values_equal(int64_t{1}, 1.5));
    // int against float is exact, not through a lossy conversion
    EXPECT_FALSE(values_equal(int64_t{(1LL << 53) + 1}, 9007199254740992.0));
    EXPECT_FALSE(values_equal(int64_t{0}, std::nan("")));
    EXPECT_FALSE(values_equal(std::nan(""), std::nan("")));
    EXPECT_TRUE(values_same(std::nan(""), std::nan("")));  // no change reported for a repeated NaN
    EXPECT_TRUE(values_same(int64_t{2}, 2.0));
}

TEST(Values, ReaderNeverSeesHalfAValue) {
    DictionaryItemOutput out(1, "o", DataType::FLOAT);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) out.set(i % 2 ? Value{int64_t{-1}} : Value{0.5});
    });
    for (int i = 0; i < 200000; ++i) {
        const Value v = out.get();
        const bool ok = (std::holds_alternative<int64_t>(v) && std::get<int64_t>(v) == -1) ||
                        (std::holds_alternative<double>(v) && std::get<double>(v) == 0.5) ||
                        (std::holds_alternative<double>(v) && std::get<double>(v) == 0.0);
        ASSERT_TRUE(ok);
    }
    stop = true;
    writer.join();
}

TEST(Subscribers, SubscriberMayUnsubscribeItselfWhileNotified) {
    DictionaryItemInput in(1, "in", DataType::UINT8, int64_t{0});
    int first = 0, second = 0;
    ChangeCallback self;
    self = make_change_callback([&] {
        ++first;
        in.unsubscribe_changed(*self);
    });
    in.subscribe_changed(self);
    in.subscribe_changed(make_change_callback([&] { ++second; }));
    in._write(5);
    in._write(6);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
}

TEST(Subscribers, TaggedCallbacksAreOneSubscriber) {
    DictionaryItemInput in(1, "in", DataType::UINT8, int64_t{0});
    int calls = 0;
    in.subscribe_changed(make_change_callback([&] { ++calls; }, &calls));
    in.subscribe_changed(make_change_callback([&] { ++calls; }, &calls));
    in._write(1);
    EXPECT_EQ(calls, 1);
}

TEST(Subscribers, InputUnchangedIsExactForFloats) {
    // 0.1 has no exact single-precision form: receiving float(0.1) is a change.
    DictionaryItemInput in(1, "in", DataType::FLOAT, 0.1);
    const uint32_t raw = serialize_value(DataType::FLOAT, 0.1);
    EXPECT_FALSE(in.input_unchanged(raw));
    in._write(raw);
    EXPECT_TRUE(in.input_unchanged(raw));
    // an output never reports an unchanged input: writing it must fail
    DictionaryItemOutput out(2, "o", DataType::UINT8);
    EXPECT_FALSE(out.input_unchanged(0));
}

class Exchange : public ::testing::Test {
protected:
    std::vector<std::shared_ptr<DictionaryItemInputOutput>> items;
    std::shared_ptr<DictionaryMap> map;

    void make(const std::vector<std::pair<DataType, std::optional<long long>>> &layout) {
        std::vector<DictionaryItemPtr> all;
        for (size_t i = 0; i < layout.size(); ++i) {
            items.push_back(io(int32_t(i + 1), layout[i].first));
            all.push_back(items.back());
        }
        map = std::make_shared<DictionaryMap>(std::make_shared<Dictionary>(all), kBoth);
        for (size_t i = 0; i < layout.size(); ++i) map->insert(1000, items[i], layout[i].second);
    }
};

TEST_F(Exchange, WorkedExample) {
    make({{DataType::BOOL, {}}, {DataType::UINT16, {}}});
    map->insert(1, nullptr, 7);
    map->add_padding(8);
    items[0]->set(true);
    items[1]->set(int64_t{0x1234});
    Words w{};
    map->pack(w);
    EXPECT_EQ(w, (Words{0x3401, 0x0012, 0, 0, 0, 0, 0, 0}));
    map->unpack(w);
    EXPECT_EQ(std::get<bool>(items[0]->value_input()), true);
    EXPECT_EQ(std::get<int64_t>(items[1]->value_input()), 0x1234);
}

TEST_F(Exchange, Uint8AcrossAWordBoundary) {
    make({{DataType::UINT8, {}}});
    map->insert(0, nullptr, 12);
    items[0]->set(int64_t{0xAB});
    Words w{};
    map->pack(w);
    EXPECT_EQ(w[0], 0xB000);
    EXPECT_EQ(w[1], 0x000A);
}

TEST_F(Exchange, RoundTripOfEveryWidthAtEveryOffset) {
    // A 32-bit item swept over every start bit 0..91, with fillers before it:
    // unpacking gives back exactly what was packed and nothing else moves.
    for (int offset = 0; offset <= 91; ++offset) {
        items.clear();
        make({{DataType::UINT32, {}}, {DataType::UINT8, 5}});
        map->insert(0, nullptr, offset);
        items[0]->set(int64_t{0xDEADBEEF});
        items[1]->set(int64_t{0x15});
        Words w{};
        map->pack(w);
        auto other = map->copy();
        items[0]->set(int64_t{0});
        map->unpack(w);
        ASSERT_EQ(std::get<int64_t>(items[0]->value_input()), 0xDEADBEEF) << offset;
        ASSERT_EQ(std::get<int64_t>(items[1]->value_input()), 0x15) << offset;
        // only the mapped bits are set
        int ones = 0;
        for (uint16_t word : w) ones += std::popcount(word);
        ASSERT_EQ(ones, std::popcount(0xDEADBEEFu) + std::popcount(0x15u)) << offset;
    }
}

TEST_F(Exchange, NarrowedEntryNeverReachesItsNeighbour) {
    make({{DataType::UINT8, 4}, {DataType::UINT8, {}}});
    items[0]->set(int64_t{0xFF});
    items[1]->set(int64_t{0});
    Words w{};
    map->pack(w);
    EXPECT_EQ(w[0], 0x000F);  // surplus bits masked away
    w[0] = 0x0FF7;            // neighbour bits set in the frame
    map->unpack(w);
    EXPECT_EQ(std::get<int64_t>(items[0]->value_input()), 0x7);  // only the entry's width
    EXPECT_EQ(std::get<int64_t>(items[1]->value_input()), 0xFF);
}

TEST_F(Exchange, WidenedEntryCarriesItsWholeWidthUpTo32Bits) {
    make({{DataType::BOOL, 8}});
    Words w{0x0002};
    map->unpack(w);  // any non-zero bit of the entry reads as true
    EXPECT_EQ(std::get<bool>(items[0]->value_input()), true);
}

TEST_F(Exchange, MapBeyond128BitsIsRefusedUntouched) {
    make({{DataType::UINT32, {}}});
    map->add_padding(97);  // 129 bits
    Words w{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(kind_of([&] { map->pack(w); }), ErrorKind::Value);
    EXPECT_EQ(kind_of([&] { map->unpack(w); }), ErrorKind::Value);
    EXPECT_EQ(w, (Words{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(std::get<int64_t>(items[0]->value_input()), 0);
    FSOEFrame frame(0);
    frame.safe_data.set(0, 0x55);
    EXPECT_EQ(kind_of([&] { map->_set_data_to_frame(frame); }), ErrorKind::Value);
    EXPECT_EQ(frame.safe_data.get(0), 0x55);
}

TEST_F(Exchange, PlanFollowsEntryChangedOutsideTheEditingOperations) {
    make({{DataType::UINT8, {}}});
    items[0]->set(int64_t{0xFF});
    map->entries()[0]->_set_position_bits(4);
    Words w{};
    map->pack(w);
    EXPECT_EQ(w[0], 0x0FF0);
}

TEST_F(Exchange, SubscriberMayEditTheMapWhileUnpacking) {
    make({{DataType::UINT8, {}}, {DataType::UINT8, {}}, {DataType::UINT8, {}}});
    auto *m = map.get();
    items[0]->subscribe_input_changed(make_change_callback([m] { m->clear(); }));
    Words w{0x0201, 0x0003};
    m->unpack(w);  // must neither crash nor touch removed entries
    EXPECT_EQ(m->size(), 0u);
    EXPECT_EQ(std::get<int64_t>(items[0]->value_input()), 1);
}

TEST_F(Exchange, ZeroWidthItemAtTheEndOfTheSafeData) {
    // It ends at bit 128 like a full map does, and starts there too: it must
    // not be read or written past the 8 words (sanitizer builds catch that).
    make({{DataType::UINT8, 0}});
    map->insert(0, nullptr, 128);
    items[0]->_write(9);
    Words w{};
    w.fill(0xFFFF);
    map->pack(w);
    EXPECT_EQ(w, Words{});
    w.fill(0xFFFF);
    map->unpack(w);
    EXPECT_EQ(std::get<int64_t>(items[0]->value_input()), 0);
}

TEST(MapLength, NeverLongerThan255Bits) {
    auto out = std::make_shared<DictionaryItemOutput>(1, "o", DataType::UINT32);
    DictionaryMap map(std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{out}), kind_bit(ItemKind::Output));
    for (int i = 0; i < 5; ++i) map.add_padding(50);  // 250 bits
    const auto refused = [&](const std::function<void()> &f) {
        EXPECT_EQ(kind_of(f), ErrorKind::Overflow);
        EXPECT_EQ(map.safety_bits(), 250);
        EXPECT_EQ(map.size(), 5u);
    };
    refused([&] { map.add_padding(6); });
    refused([&] { map.add(out, std::nullopt, 8); });              // aligned at 256: too long
    EXPECT_EQ(kind_of([&] { map.add(out); }), ErrorKind::Index);  // refused by the 8-bit rule first
    refused([&] { map.add(nullptr, 2, 8); });                     // would need a 6-bit alignment gap first
    refused([&] { map.insert(0, nullptr, 6); });
    refused([&] { map.set_bits(*map.entries()[0], 56); });
    refused([&] { map.complete_with_padding(); });  // 256 bits
    map.add_padding(5);
    EXPECT_EQ(map.safety_bits(), 255);
}

TEST(Ownership, ReowningTakesOnlyTheSameObject) {
    const auto item = io(1, DataType::UINT8);
    const auto dictionary = std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{item});
    DictionaryMap map(dictionary, kBoth);
    const auto entry = map.add(item);
    // Another owning pointer to the same object: accepted, the exchange unchanged.
    entry->_reown_item(DictionaryItemPtr(item.get(), [keep = item](DictionaryItem *) {}));
    map._reown_dictionary(std::shared_ptr<Dictionary>(dictionary.get(), [keep = dictionary](Dictionary *) {}));
    EXPECT_EQ(entry->item().get(), item.get());
    EXPECT_EQ(map.dictionary().get(), dictionary.get());
    item->set(int64_t{0x5A});
    Words words{};
    map.pack(words);
    EXPECT_EQ(words[0], 0x5A);
    // Any other object is refused and nothing changes.
    EXPECT_EQ(kind_of([&] { entry->_reown_item(io(1, DataType::UINT8)); }), ErrorKind::Value);
    EXPECT_EQ(kind_of([&] { entry->_reown_item(nullptr); }), ErrorKind::Value);
    EXPECT_EQ(kind_of([&] { map._reown_dictionary(std::make_shared<Dictionary>(std::vector<DictionaryItemPtr>{})); }),
              ErrorKind::Value);
    EXPECT_EQ(entry->item().get(), item.get());
    EXPECT_EQ(map.dictionary().get(), dictionary.get());
}

}  // namespace
}  // namespace kestrel
