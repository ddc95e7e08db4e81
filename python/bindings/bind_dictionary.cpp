#include "common.hpp"

namespace kestrel::py {

void bind_dictionary(nb::module_ &) {}

}  // namespace kestrel::py
