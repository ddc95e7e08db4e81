// DataType, the integer helpers and DICTIONARY_VALUE_TYPES.
#include <nanobind/stl/string.h>

#include "common.hpp"

namespace kestrel::py {

namespace {

nb::object unserialize(DataType type, nb::handle value) {
    if (!is_int(value))
        throw_python(ErrorKind::Type, std::string("an integer is required, got ") + Py_TYPE(value.ptr())->tp_name);
    int overflow = 0;
    const long long raw = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow == 0) return from_value(unserialize_value(type, raw));
    // Beyond 64 bits: the same rules on Python's unbounded integers.
    switch (type) {
        case DataType::BOOL:
            return nb::bool_(true);
        case DataType::FLOAT:
            raise(ErrorKind::Overflow,
                  overflow > 0 ? "int too big to convert" : "can't convert negative int to unsigned");
        default:
            break;
    }
    if (!data_type_is_signed(type)) return nb::borrow(value);
    const int bits = data_type_bits(type);
    nb::object v = nb::borrow(value);
    nb::object bit = (v >> nb::int_(bits - 1)) & nb::int_(1);
    if (nb::cast<int>(bit) != 0) return v - (nb::int_(1) << nb::int_(bits));
    return v;
}

// A value for `type`. Integers beyond 64 bits follow the type's own rule:
// a float conversion for FLOAT (so 2**70 packs and 10**40 overflows the
// packing), the BOOL message for BOOL, out of range for the integer types.
// Other objects: FLOAT takes whatever converts to a float (as the packing
// does), BOOL whatever compares equal to 1 or 0 and refuses the rest with its
// message; the integer types refuse them with TypeError.
Value to_typed_value(DataType type, nb::handle h) {
    PyObject *o = h.ptr();
    if (is_int(h)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0) return static_cast<int64_t>(v);
        switch (type) {
            case DataType::FLOAT: {
                const double d = PyLong_AsDouble(o);
                if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
                return d;
            }
            case DataType::BOOL:
                raise(ErrorKind::Value, "Invalid value for BOOL type");
            default:
                raise(ErrorKind::Value);
        }
    }
    if (PyBool_Check(o) || PyFloat_Check(o)) return to_value(h);
    if (type == DataType::FLOAT) {
        const double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return d;
    }
    if (type == DataType::BOOL) {
        for (long candidate : {1L, 0L}) {
            nb::object number = nb::steal(PyLong_FromLong(candidate));
            const int equal = PyObject_RichCompareBool(o, number.ptr(), Py_EQ);
            if (equal < 0) throw nb::python_error();
            if (equal != 0) return candidate == 1;
        }
        raise(ErrorKind::Value, "Invalid value for BOOL type");
    }
    return to_value(h);
}

// -(a // -b) on Python integers of any size, for operands beyond 64 bits.
uint16_t div_ceil_object(nb::handle a, nb::handle b) {
    nb::object neg_b = nb::steal(PyNumber_Negative(b.ptr()));
    if (!neg_b.is_valid()) throw nb::python_error();
    nb::object floor = nb::steal(PyNumber_FloorDivide(a.ptr(), neg_b.ptr()));
    if (!floor.is_valid()) throw nb::python_error();
    nb::object result = nb::steal(PyNumber_Negative(floor.ptr()));
    if (!result.is_valid()) throw nb::python_error();
    return to_u16(result);
}

uint16_t div_ceil_argument(nb::handle a, nb::handle b) {
    for (nb::handle h : {a, b})
        if (!is_int(h))
            throw_python(ErrorKind::Type, std::string("an integer is required, got ") + Py_TYPE(h.ptr())->tp_name);
    int overflow_a = 0, overflow_b = 0;
    const long long va = PyLong_AsLongLongAndOverflow(a.ptr(), &overflow_a);
    const long long vb = PyLong_AsLongLongAndOverflow(b.ptr(), &overflow_b);
    if (overflow_a == 0 && overflow_b == 0) return div_ceil(va, vb);
    return div_ceil_object(a, b);
}

}  // namespace

void bind_data_type(nb::module_ &m) {
    nb::enum_<DataType> dt(m, "DataType", "Type of dictionary item");
    for (DataType t : kAllDataTypes) dt.value(std::string(data_type_name(t)).c_str(), t);

    dt.def_prop_ro(
          "bits", [](DataType t) { return data_type_bits(t); },
          "Get number of bits necessary to represent a value with the datatype")
        .def_prop_ro(
            "bytes", [](DataType t) { return data_type_bytes(t); },
            "Get number of bytes necessary to represent a value with the datatype")
        .def_prop_ro("is_integer", [](DataType t) { return data_type_is_integer(t); })
        .def_prop_ro("is_signed", [](DataType t) { return data_type_is_signed(t); })
        .def_prop_ro("min_value", [](DataType t) { return data_type_min_value(t); })
        .def_prop_ro("max_value", [](DataType t) { return data_type_max_value(t); })
        .def(
            "get_initial_value", [](DataType t) { return from_value(data_type_initial_value(t)); },
            "Get default initial value for the data type")
        .def(
            "serialize_value",
            [](DataType t, nb::handle value) { return serialize_value(t, to_typed_value(t, value)); },
            nb::arg("value").none(), "Convert value to integer representation")
        .def(
            "serialize_bytes",
            [](DataType t, nb::handle value) {
                std::array<uint8_t, 4> out;
                const uint16_t n = serialize_bytes(t, to_typed_value(t, value), out);
                return nb::bytes(reinterpret_cast<const char *>(out.data()), n);
            },
            nb::arg("value").none(), "Convert value to bytes representation")
        .def("unserialize_value", &unserialize, nb::arg("value"), "Convert integer representation to value");

    m.def("div_ceil", &div_ceil_argument, nb::arg("a"), nb::arg("b"), "Ceiling division of two integers");
    m.def(
        "align_bits",
        [](nb::handle number, nb::handle boundary) { return align_bits(to_u16(number), to_u16(boundary)); },
        nb::arg("number"), nb::arg("boundary"), "Align number of bits to a boundaries.");

    nb::module_ typing = nb::module_::import_("typing");
    m.attr("DICTIONARY_VALUE_TYPES") =
        typing.attr("Union")[nb::make_tuple(nb::handle((PyObject *)&PyFloat_Type), nb::handle((PyObject *)&PyLong_Type),
                                            nb::handle((PyObject *)&PyBool_Type))];
}

}  // namespace kestrel::py
