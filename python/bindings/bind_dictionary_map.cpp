#include "common.hpp"

namespace kestrel::py {

void bind_dictionary_map(nb::module_ &) {}

}  // namespace kestrel::py
