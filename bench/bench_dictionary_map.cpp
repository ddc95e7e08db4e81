// Packing and unpacking a full 128-bit map of 16 entries (mixed widths, most
// not byte-aligned) into and out of a frame's safe data.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "kestrel/data/dictionary_map.hpp"
#include "kestrel/frame/frame.hpp"

namespace {
std::atomic<long> g_allocations{0};
}

void *operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace kestrel;

struct Fixture {
    std::vector<std::shared_ptr<DictionaryItemInputOutput>> items;
    std::shared_ptr<DictionaryMap> map;

    Fixture() {
        // widths 1,8,16,1,8,32,1,16,16,8,1,8,8,1,1,2 (the last a narrowed UINT8): 128 bits
        const std::pair<DataType, int> layout[] = {
            {DataType::BOOL, 1},   {DataType::UINT8, 8},   {DataType::UINT16, 16}, {DataType::BOOL, 1},
            {DataType::INT8, 8},   {DataType::UINT32, 32}, {DataType::BOOL, 1},    {DataType::UINT16, 16},
            {DataType::INT16, 16}, {DataType::UINT8, 8},   {DataType::BOOL, 1},    {DataType::UINT8, 8},
            {DataType::INT8, 8},   {DataType::BOOL, 1},    {DataType::BOOL, 1},    {DataType::UINT8, 2}};
        std::vector<DictionaryItemPtr> all;
        int key = 1;
        for (auto [type, bits] : layout) {
            items.push_back(std::make_shared<DictionaryItemInputOutput>(key, std::to_string(key), type,
                                                                        data_type_initial_value(type)));
            all.push_back(items.back());
            ++key;
        }
        map = std::make_shared<DictionaryMap>(std::make_shared<Dictionary>(all), kind_bit(ItemKind::InputOutput));
        for (size_t i = 0; i < items.size(); ++i) map->insert(1000, items[i], layout[i].second);
        for (size_t i = 0; i < items.size(); ++i) {
            const DataType t = items[i]->data_type();
            items[i]->set(t == DataType::BOOL ? Value{i % 2 == 0} : Value{int64_t(i + 1)});
        }
        map->_lock();
    }
};

void BM_PackUnpackFrame(benchmark::State &state) {
    Fixture f;
    FSOEFrame frame(0);
    f.map->_set_data_to_frame(frame);
    f.map->_get_data_from_frame(frame);  // inputs now hold the packed values
    const long before = g_allocations.load();
    for (auto _ : state) {
        f.map->_set_data_to_frame(frame);
        f.map->_get_data_from_frame(frame);
        benchmark::DoNotOptimize(frame._c_fsoe_frame.au16Data);
    }
    state.counters["allocs/iter"] =
        benchmark::Counter(double(g_allocations.load() - before) / double(state.iterations()));
}
BENCHMARK(BM_PackUnpackFrame);

// Every input changes on every frame (no subscribers): the slow path of the
// change rule for all 16 entries.
void BM_UnpackEveryInputChanging(benchmark::State &state) {
    Fixture f;
    FSOEFrame a(0), b(0);
    f.map->_set_data_to_frame(a);
    for (auto &item : f.items)
        item->set(item->data_type() == DataType::BOOL ? Value{!std::get<bool>(item->value_output())}
                                                      : Value{int64_t{0}});
    f.map->_set_data_to_frame(b);
    const long before = g_allocations.load();
    bool flip = false;
    for (auto _ : state) {
        f.map->_get_data_from_frame(flip ? a : b);
        flip = !flip;
    }
    state.counters["allocs/iter"] =
        benchmark::Counter(double(g_allocations.load() - before) / double(state.iterations()));
}
BENCHMARK(BM_UnpackEveryInputChanging);

}  // namespace
