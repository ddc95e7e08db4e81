#include "kestrel/data/data_type.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "kestrel/common/error.hpp"

namespace kestrel {

std::string_view data_type_name(DataType type) noexcept {
    switch (type) {
        case DataType::BOOL:
            return "BOOL";
        case DataType::FLOAT:
            return "FLOAT";
        case DataType::UINT8:
            return "UINT8";
        case DataType::INT8:
            return "INT8";
        case DataType::UINT16:
            return "UINT16";
        case DataType::INT16:
            return "INT16";
        case DataType::UINT32:
            return "UINT32";
        case DataType::INT32:
            return "INT32";
    }
    return "?";
}

int64_t data_type_max_value(DataType type) {
    if (!data_type_is_integer(type)) raise(ErrorKind::NotImplemented);
    const int bits = data_type_bits(type);
    return data_type_is_signed(type) ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << bits) - 1;
}

int64_t data_type_min_value(DataType type) {
    if (!data_type_is_integer(type)) raise(ErrorKind::NotImplemented);
    return data_type_is_signed(type) ? -data_type_max_value(type) - 1 : 0;
}

Value data_type_initial_value(DataType type) noexcept {
    switch (type) {
        case DataType::BOOL:
            return false;
        case DataType::FLOAT:
            return 0.0;
        default:
            return int64_t{0};
    }
}

namespace {

uint32_t serialize_float(const Value &value) {
    const double d = std::visit([](auto v) { return static_cast<double>(v); }, value);
    const float f = static_cast<float>(d);
    if (std::isinf(f) && !std::isinf(d)) raise(ErrorKind::Overflow, "float too large to pack with f format");
    return std::bit_cast<uint32_t>(f);
}

uint32_t serialize_bool(const Value &value) {
    const double d = std::visit([](auto v) { return static_cast<double>(v); }, value);
    if (d == 1.0) return 1;
    if (d == 0.0) return 0;
    raise(ErrorKind::Value, "Invalid value for BOOL type");
}

uint32_t serialize_integer(DataType type, const Value &value) {
    const int64_t lo = data_type_min_value(type);
    const int64_t hi = data_type_max_value(type);
    if (const auto *i = std::get_if<int64_t>(&value)) {
        if (*i < lo || *i > hi) raise(ErrorKind::Value);
        const int64_t v = *i < 0 ? *i + (int64_t{1} << data_type_bits(type)) : *i;
        return static_cast<uint32_t>(v);
    }
    // A bool or float is range-checked like a number first, then refused.
    const double d = std::visit([](auto v) { return static_cast<double>(v); }, value);
    if (d < static_cast<double>(lo) || d > static_cast<double>(hi)) raise(ErrorKind::Value);
    raise(ErrorKind::Type, std::string(data_type_name(type)) + " value must be an integer, not " +
                               (std::holds_alternative<bool>(value) ? "bool" : "float"));
}

}  // namespace

uint32_t serialize_value(DataType type, const Value &value) {
    switch (type) {
        case DataType::FLOAT:
            return serialize_float(value);
        case DataType::BOOL:
            return serialize_bool(value);
        default:
            return serialize_integer(type, value);
    }
}

uint16_t serialize_bytes(DataType type, const Value &value, std::array<uint8_t, 4> &out) {
    const uint32_t raw = serialize_value(type, value);
    const uint16_t count = data_type_bytes(type);
    for (uint16_t i = 0; i < 4; ++i) out[i] = i < count ? static_cast<uint8_t>(raw >> (8 * i)) : 0;
    return count;
}

Value unserialize_value(DataType type, int64_t raw) {
    switch (type) {
        case DataType::BOOL:
            return raw != 0;
        case DataType::FLOAT:
            if (raw < 0) raise(ErrorKind::Overflow, "can't convert negative int to unsigned");
            if (raw > 0xFFFFFFFFll) raise(ErrorKind::Overflow, "int too big to convert");
            return static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(raw)));
        default:
            break;
    }
    if (!data_type_is_signed(type)) return raw;
    const int bits = data_type_bits(type);
    // Python semantics: test bit (bits - 1) of the (two's complement) integer.
    if ((raw >> (bits - 1)) & 1) return raw - (int64_t{1} << bits);
    return raw;
}

namespace {

bool int_equals_double(int64_t i, double d) noexcept {
    if (!std::isfinite(d) || std::trunc(d) != d) return false;
    // 2^63 is the first double above every int64.
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
    return static_cast<int64_t>(d) == i;
}

int64_t as_int(const Value &v) noexcept {
    if (const auto *b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    return std::get<int64_t>(v);
}

}  // namespace

bool values_equal(const Value &a, const Value &b) noexcept {
    const auto *da = std::get_if<double>(&a);
    const auto *db = std::get_if<double>(&b);
    if (da && db) return *da == *db;
    if (da) return int_equals_double(as_int(b), *da);
    if (db) return int_equals_double(as_int(a), *db);
    return as_int(a) == as_int(b);
}

bool values_same(const Value &a, const Value &b) noexcept {
    const auto *da = std::get_if<double>(&a);
    const auto *db = std::get_if<double>(&b);
    if (da && db && std::isnan(*da) && std::isnan(*db)) return true;
    return values_equal(a, b);
}

int64_t align_bits(uint16_t number, uint16_t boundary) {
    return static_cast<int64_t>(boundary) * div_ceil(number, boundary);
}

}  // namespace kestrel
