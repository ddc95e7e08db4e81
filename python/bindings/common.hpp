// Shared pieces of the binding: the subsystem binders, the exception classes,
// and the argument conversions with the exact errors the host sees.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <limits>
#include <string>

#include "kestrel/common/error.hpp"
#include "kestrel/data/data_type.hpp"

namespace nb = nanobind;

namespace kestrel::py {

// One binder per subsystem; module.cpp calls them in this order.
void bind_runtime(nb::module_ &m);
void bind_errors(nb::module_ &m);
void bind_data_type(nb::module_ &m);
void bind_frame(nb::module_ &m);
void bind_trace(nb::module_ &m);
void bind_dictionary(nb::module_ &m);
void bind_dictionary_map(nb::module_ &m);
void bind_setup(nb::module_ &m);
void bind_watchdog(nb::module_ &m);
void bind_connection(nb::module_ &m);
void bind_handler(nb::module_ &m);
void bind_slave(nb::module_ &m);
void bind_bench(nb::module_ &m);
void bind_ecat(nb::module_ &m);

// The library's own exception classes (owned by the module).
PyObject *exc_master();
PyObject *exc_master_running();
PyObject *exc_mapping_locked();
PyObject *exc_already_mapped();

// Raises the Python exception that `kind` names, with `message`.
[[noreturn]] void throw_python(ErrorKind kind, const std::string &message);

// True for a Python int that is not a bool.
inline bool is_int(nb::handle h) { return PyLong_Check(h.ptr()) && !PyBool_Check(h.ptr()); }

// Integer arguments typed as C integers: TypeError for anything but an int
// (bool and float included), OverflowError "value too large to convert to
// <type>" / "can't convert negative value to <type>" outside the range.
long long int_argument(nb::handle h, const char *what = "an integer");

template <typename T>
T to_unsigned(nb::handle h, const char *type_name) {
    if (!is_int(h))
        throw_python(ErrorKind::Type, std::string("an integer is required, got ") + Py_TYPE(h.ptr())->tp_name);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (overflow > 0) raise_too_large(type_name);
    if (overflow < 0 || v < 0) raise_negative(type_name);
    if (static_cast<unsigned long long>(v) > std::numeric_limits<T>::max()) raise_too_large(type_name);
    return static_cast<T>(v);
}

inline uint8_t to_u8(nb::handle h) { return to_unsigned<uint8_t>(h, "uint8_t"); }
inline uint16_t to_u16(nb::handle h) { return to_unsigned<uint16_t>(h, "uint16_t"); }
inline uint32_t to_u32(nb::handle h) { return to_unsigned<uint32_t>(h, "uint32_t"); }
int32_t to_i32(nb::handle h);

// An int argument of any size that must fit in 64 bits for the core; bigger
// values raise OverflowError with the given type name.
long long to_i64(nb::handle h, const char *type_name = "int64_t");

// Values (DICTIONARY_VALUE_TYPES): bool, int or float. An int too large for
// 64 bits is outside every data type's range: ValueError without a message.
Value to_value(nb::handle h);
nb::object from_value(const Value &v);

// An argument that must be a member of the bound enumeration E (a plain
// integer is refused: the enumerations never equal integers).
// `what` completes the message: "<arg> must be <what>, not <type>".
template <typename E>
E to_enum(nb::handle h, const char *arg, const char *what) {
    if (!nb::isinstance<E>(h))
        throw_python(ErrorKind::Type, std::string(arg) + " must be " + what + ", not " + Py_TYPE(h.ptr())->tp_name);
    return nb::cast<E>(h);
}

inline DataType to_data_type(nb::handle h, const char *what = "a DataType") {
    return to_enum<DataType>(h, "data_type", what);
}

// Bytes arguments must be bytes: TypeError otherwise.
nb::bytes to_bytes(nb::handle h, const char *arg = "data");

}  // namespace kestrel::py
