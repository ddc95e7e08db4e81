#include "kestrel/common/arith.hpp"

#include <limits>

#include "kestrel/common/error.hpp"

namespace kestrel {

uint16_t div_ceil(int64_t a, int64_t b) {
    if (b == 0) raise(ErrorKind::ZeroDivision, "integer division or modulo by zero");
    // Equals -(a // -b). Negating an operand or the quotient would overflow for
    // INT64_MIN (a hardware trap for INT64_MIN / -1), so round the truncated
    // quotient up instead; only a / -1 can leave the 64-bit range.
    if (b == -1) {
        if (a == std::numeric_limits<int64_t>::min()) raise_too_large("uint16_t");
        return to_u16(-a);
    }
    int64_t q = a / b;
    const int64_t r = a % b;
    if (r != 0 && ((r > 0) == (b > 0))) ++q;
    return to_u16(q);
}

}  // namespace kestrel
