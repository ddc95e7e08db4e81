// Counts heap allocations (global operator new) while enabled, so tests can
// hold per-cycle code to its promise of allocating nothing.
#pragma once

namespace kestrel::test {

void count_allocations(bool enabled) noexcept;
int allocations() noexcept;  // since the last count_allocations(true)

}  // namespace kestrel::test
