#include "common.hpp"

namespace kestrel::py {

void bind_slave(nb::module_ &) {}

}  // namespace kestrel::py
