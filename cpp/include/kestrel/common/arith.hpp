// Integer arithmetic shared by every layer.
#pragma once

#include <cstdint>

namespace kestrel {

// Ceiling division as -(a // -b), converted to an unsigned 16-bit count
// (OverflowError outside 0 ... 65535, ZeroDivisionError for b = 0).
uint16_t div_ceil(int64_t a, int64_t b);

}  // namespace kestrel
