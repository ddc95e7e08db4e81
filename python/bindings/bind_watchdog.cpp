#include "common.hpp"

namespace kestrel::py {

void bind_watchdog(nb::module_ &) {}

}  // namespace kestrel::py
