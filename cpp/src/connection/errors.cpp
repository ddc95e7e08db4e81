#include "kestrel/connection/errors.hpp"

namespace kestrel {

std::optional<std::string> fsoe_error_name(long long code) {
    if (code >= 0 && code < kBaseErrorCount) return std::string(base_error_name(static_cast<BaseError>(code)));
    if (code >= kFirstSafeParaCode && code <= kLastSafeParaCode) return "INVALID_SAFEPARA_" + std::to_string(code);
    return std::nullopt;
}

}  // namespace kestrel
