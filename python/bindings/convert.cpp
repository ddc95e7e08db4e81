// Argument and value conversions shared by every binder.
#include <cmath>

#include "common.hpp"

namespace kestrel::py {

int32_t to_i32(nb::handle h) {
    if (!is_int(h))
        throw_python(ErrorKind::Type, std::string("an integer is required, got ") + Py_TYPE(h.ptr())->tp_name);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (overflow > 0 || v > std::numeric_limits<int32_t>::max())
        raise(ErrorKind::Overflow, "value too large to convert to int32_t");
    if (overflow < 0 || v < std::numeric_limits<int32_t>::min())
        raise(ErrorKind::Overflow, "value too small to convert to int32_t");
    return static_cast<int32_t>(v);
}

long long to_i64(nb::handle h, const char *type_name) {
    if (!is_int(h))
        throw_python(ErrorKind::Type, std::string("an integer is required, got ") + Py_TYPE(h.ptr())->tp_name);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (overflow > 0) raise_too_large(type_name);
    if (overflow < 0) raise(ErrorKind::Overflow, std::string("value too small to convert to ") + type_name);
    return v;
}

long long int_argument(nb::handle h, const char *what) { return to_i64(h, what); }

Value to_value(nb::handle h) {
    PyObject *o = h.ptr();
    if (PyBool_Check(o)) return o == Py_True;
    if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
    if (PyLong_Check(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow != 0) raise(ErrorKind::Value);
        return static_cast<int64_t>(v);
    }
    throw_python(ErrorKind::Type, std::string("value must be a float, an int or a bool, not ") + Py_TYPE(o)->tp_name);
}

nb::object from_value(const Value &v) {
    if (const auto *b = std::get_if<bool>(&v)) return nb::bool_(*b);
    if (const auto *i = std::get_if<int64_t>(&v)) return nb::int_(*i);
    return nb::float_(std::get<double>(v));
}

nb::bytes to_bytes(nb::handle h, const char *arg) {
    if (!PyBytes_Check(h.ptr()))
        throw_python(ErrorKind::Type, std::string(arg) + " must be bytes, not " + Py_TYPE(h.ptr())->tp_name);
    return nb::borrow<nb::bytes>(h);
}

}  // namespace kestrel::py
