#include "common.hpp"

namespace kestrel::py {

void bind_setup(nb::module_ &) {}

}  // namespace kestrel::py
