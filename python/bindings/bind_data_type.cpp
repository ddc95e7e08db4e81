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
        case DataType::BOOL: return nb::bool_(true);
        case DataType::FLOAT:
            raise(ErrorKind::Overflow, overflow > 0 ? "int too big to convert" : "can't convert negative int to unsigned");
        default: break;
    }
    if (!data_type_is_signed(type)) return nb::borrow(value);
    const int bits = data_type_bits(type);
    nb::object v = nb::borrow(value);
    nb::object bit = (v >> nb::int_(bits - 1)) & nb::int_(1);
    if (nb::cast<int>(bit) != 0) return v - (nb::int_(1) << nb::int_(bits));
    return v;
}

}  // namespace

void bind_data_type(nb::module_ &m) {
    nb::enum_<DataType> dt(m, "DataType", "Type of dictionary item");
    for (DataType t : kAllDataTypes) dt.value(std::string(data_type_name(t)).c_str(), t);

    dt.def_prop_ro("bits", [](DataType t) { return data_type_bits(t); },
                   "Get number of bits necessary to represent a value with the datatype")
        .def_prop_ro("bytes", [](DataType t) { return data_type_bytes(t); },
                     "Get number of bytes necessary to represent a value with the datatype")
        .def_prop_ro("is_integer", [](DataType t) { return data_type_is_integer(t); })
        .def_prop_ro("is_signed", [](DataType t) { return data_type_is_signed(t); })
        .def_prop_ro("min_value", [](DataType t) { return data_type_min_value(t); })
        .def_prop_ro("max_value", [](DataType t) { return data_type_max_value(t); })
        .def("get_initial_value", [](DataType t) { return from_value(data_type_initial_value(t)); },
             "Get default initial value for the data type")
        .def("serialize_value", [](DataType t, nb::handle value) { return serialize_value(t, to_value(value)); },
             nb::arg("value"), "Convert value to integer representation")
        .def(
            "serialize_bytes",
            [](DataType t, nb::handle value) {
                std::array<uint8_t, 4> out;
                const uint16_t n = serialize_bytes(t, to_value(value), out);
                return nb::bytes(reinterpret_cast<const char *>(out.data()), n);
            },
            nb::arg("value"), "Convert value to bytes representation")
        .def("unserialize_value", &unserialize, nb::arg("value"), "Convert integer representation to value");

    m.def(
        "div_ceil", [](nb::handle a, nb::handle b) { return div_ceil(to_i64(a), to_i64(b)); }, nb::arg("a"),
        nb::arg("b"), "Ceiling division of two integers");
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
