// Replaces the global operator new/delete of the test binary (kept in its own
// file so no caller inlines the pair).
#include "alloc_counter.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> g_enabled{false};
std::atomic<int> g_count{0};
}  // namespace

namespace kestrel::test {
void count_allocations(bool enabled) noexcept {
    if (enabled) g_count = 0;
    g_enabled = enabled;
}
int allocations() noexcept { return g_count.load(); }
}  // namespace kestrel::test

void *operator new(std::size_t size) {
    if (g_enabled.load(std::memory_order_relaxed)) g_count.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return operator new(size); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
