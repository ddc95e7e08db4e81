// FSoE error codes: the reset reasons that travel in the first safe-data byte
// of a Reset frame, with their names. One table for master and slave.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// The codes the master itself uses (0 to 11).
enum class BaseError : uint8_t {
    RESET = 0,
    INVALID_CMD = 1,
    UNKNOWN_CMD = 2,
    INVALID_CONNID = 3,
    INVALID_CRC = 4,
    WD_EXPIRED = 5,
    INVALID_ADDRESS = 6,
    INVALID_DATA = 7,
    INVALID_COMMPARALEN = 8,
    INVALID_COMPARA = 9,
    INVALID_USERPARALEN = 10,
    INVALID_USERPARA = 11,
};

inline constexpr int kBaseErrorCount = 12;
// Codes a slave may report for its own parameter checks.
inline constexpr int kFirstSafeParaCode = 128;
inline constexpr int kLastSafeParaCode = 255;
// Every named code: the base codes, then 128 to 255.
inline constexpr int kFSOEErrorCount = kBaseErrorCount + (kLastSafeParaCode - kFirstSafeParaCode + 1);

constexpr std::string_view base_error_name(BaseError error) noexcept {
    constexpr std::string_view names[kBaseErrorCount] = {
        "RESET",           "INVALID_CMD",         "UNKNOWN_CMD",
        "INVALID_CONNID",  "INVALID_CRC",         "WD_EXPIRED",
        "INVALID_ADDRESS", "INVALID_DATA",        "INVALID_COMMPARALEN",
        "INVALID_COMPARA", "INVALID_USERPARALEN", "INVALID_USERPARA",
    };
    return names[static_cast<uint8_t>(error)];
}

// Whether a code has a name (0 to 11, 128 to 255).
constexpr bool fsoe_error_is_named(long long code) noexcept {
    return (code >= 0 && code < kBaseErrorCount) || (code >= kFirstSafeParaCode && code <= kLastSafeParaCode);
}

// The name of a code ("INVALID_CRC", "INVALID_SAFEPARA_200"); no value for a
// code without a name.
std::optional<std::string> fsoe_error_name(long long code);

// A readable explanation of a code (0 to 255) for an operator: what it means
// and what usually causes it.
std::string fsoe_error_description(uint8_t code);

}  // namespace kestrel
