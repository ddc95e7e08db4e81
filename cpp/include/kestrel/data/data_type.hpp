// Data types of safety values and their raw integer form on the wire.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <variant>

#include "kestrel/common/arith.hpp"

namespace kestrel {

// A value as the application sees it (DICTIONARY_VALUE_TYPES): bool, int or float.
using Value = std::variant<bool, int64_t, double>;

enum class DataType : uint8_t { BOOL = 1, FLOAT, UINT8, INT8, UINT16, INT16, UINT32, INT32 };

inline constexpr std::array<DataType, 8> kAllDataTypes = {DataType::BOOL,   DataType::FLOAT,  DataType::UINT8,
                                                          DataType::INT8,   DataType::UINT16, DataType::INT16,
                                                          DataType::UINT32, DataType::INT32};

std::string_view data_type_name(DataType type) noexcept;

constexpr uint16_t data_type_bits(DataType type) noexcept {
    switch (type) {
        case DataType::BOOL:
            return 1;
        case DataType::UINT8:
        case DataType::INT8:
            return 8;
        case DataType::UINT16:
        case DataType::INT16:
            return 16;
        default:
            return 32;
    }
}

constexpr uint16_t data_type_bytes(DataType type) noexcept { return (data_type_bits(type) + 7) / 8; }

constexpr bool data_type_is_integer(DataType type) noexcept {
    return type != DataType::BOOL && type != DataType::FLOAT;
}

constexpr bool data_type_is_signed(DataType type) noexcept {
    return type == DataType::INT8 || type == DataType::INT16 || type == DataType::INT32;
}

// Range of an integer type; NotImplementedError for BOOL and FLOAT.
int64_t data_type_min_value(DataType type);
int64_t data_type_max_value(DataType type);

Value data_type_initial_value(DataType type) noexcept;

// Raw unsigned form of `value`. Errors: ValueError for an integer type out of
// range (no message) or a BOOL that is neither true nor false ("Invalid value
// for BOOL type"); TypeError for a bool or float given to an integer type;
// OverflowError for a FLOAT beyond single precision.
uint32_t serialize_value(DataType type, const Value &value);

// The same form as `bytes` bytes, least significant first; returns the count.
uint16_t serialize_bytes(DataType type, const Value &value, std::array<uint8_t, 4> &out);

// Inverse of serialize_value. Unsigned types return `raw` unchanged; FLOAT
// raises OverflowError for a raw value outside 0 ... 2^32 - 1.
Value unserialize_value(DataType type, int64_t raw);

// Equality of two values as Python's == has it: bools count as 0 and 1, an
// int equals a float only when the float is exactly that integer, and a NaN
// equals nothing.
bool values_equal(const Value &a, const Value &b) noexcept;

// The same, except that two NaNs count as the same value: a change rule uses
// it so that a NaN received frame after frame is not a change every time.
bool values_same(const Value &a, const Value &b) noexcept;

// Smallest multiple of `boundary` that is at least `number`.
int64_t align_bits(uint16_t number, uint16_t boundary);

}  // namespace kestrel
