// The one error type of the core. Each error names the Python exception class
// it becomes at the binding and carries the exact message the host sees.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrel {

enum class ErrorKind {
    Value,
    Type,
    Overflow,
    Index,
    Key,
    Permission,
    Runtime,
    NotImplemented,
    ZeroDivision,
    MasterException,         // FSOEMasterException
    MasterRunning,           // FSOEMasterRunningException
    MasterMappingLocked,     // FSOEMasterMappingLockedException
    AlreadyMapped,           // FSoEAlreadyMappedException
};

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, const std::string &message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const noexcept { return kind_; }

private:
    ErrorKind kind_;
};

[[noreturn]] inline void raise(ErrorKind kind, const std::string &message = {}) { throw Error(kind, message); }

// Range checks with the messages integer conversions use throughout the API.
// `type_name` is the C type the value must fit ("uint16_t", "int32_t", ...).
[[noreturn]] void raise_too_large(const char *type_name);
[[noreturn]] void raise_negative(const char *type_name);

template <typename T>
T checked_unsigned(long long value, const char *type_name, unsigned long long max) {
    if (value < 0) raise_negative(type_name);
    if (static_cast<unsigned long long>(value) > max) raise_too_large(type_name);
    return static_cast<T>(value);
}

inline uint16_t to_u16(long long value) { return checked_unsigned<uint16_t>(value, "uint16_t", 0xFFFFu); }

}  // namespace kestrel
