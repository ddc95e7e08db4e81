#include "kestrel/common/error.hpp"

namespace kestrel {

void raise_too_large(const char *type_name) {
    raise(ErrorKind::Overflow, std::string("value too large to convert to ") + type_name);
}

void raise_negative(const char *type_name) {
    raise(ErrorKind::Overflow, std::string("can't convert negative value to ") + type_name);
}

}  // namespace kestrel
