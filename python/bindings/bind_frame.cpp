// Frame objects: FSOECommand, U16Array, FSOEFrameControl, FSOEFrame.
#include <memory>

#include "common.hpp"
#include "kestrel/frame/frame.hpp"

namespace kestrel::py {

namespace {

nb::bytes frame_bytes(const FSOEFrame &f) {
    std::array<uint8_t, FSOE_FRAME_BUFFER_BYTES> out;
    const size_t n = f.frame_to_array(out);
    return nb::bytes(reinterpret_cast<const char *>(out.data()), n);
}

void frame_from_bytes(FSOEFrame &f, nb::handle data) {
    nb::bytes b = to_bytes(data);
    f.frame_from_array({reinterpret_cast<const uint8_t *>(b.c_str()), b.size()});
}

// A frame length. Beyond 64 bits the word count is out of the unsigned 16-bit
// range as well, so the errors are those of the count.
long long length_argument(nb::handle h) {
    if (!is_int(h))
        throw_python(ErrorKind::Type, std::string("an integer is required, got ") + Py_TYPE(h.ptr())->tp_name);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (overflow > 0) raise_too_large("uint16_t");
    if (overflow < 0) raise_negative("uint16_t");
    return v;
}

// A safe-data size: every value above the limit, however large, gets the size
// message; a negative one cannot be an unsigned 16-bit size.
long long size_argument(nb::handle h) {
    if (!is_int(h))
        throw_python(ErrorKind::Type, std::string("an integer is required, got ") + Py_TYPE(h.ptr())->tp_name);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (overflow > 0) return std::numeric_limits<long long>::max();
    if (overflow < 0) raise_negative("uint16_t");
    return v;
}

// Deleting a word is unsupported; the class is both a TypeError (Python's
// convention for containers without deletion) and a NotImplementedError, so
// callers catching either see it.
PyObject *g_no_deletion = nullptr;

[[noreturn]] void refuse_pickle(nb::handle self) {
    throw_python(ErrorKind::Type, std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name + "' object");
}

template <typename Class>
void forbid_pickling(Class &cls) {
    cls.def("__reduce__", [](nb::handle self) { refuse_pickle(self); })
        .def("__reduce_ex__", [](nb::handle self, nb::handle) { refuse_pickle(self); })
        .def("__getstate__", [](nb::handle self) { refuse_pickle(self); });
}

}  // namespace

void bind_frame(nb::module_ &m) {
    m.attr("BYTES_PER_WORD") = BYTES_PER_WORD;
    m.attr("MAX_DATA_WORDS") = MAX_DATA_WORDS;
    m.attr("MAX_DATA_BYTES") = MAX_DATA_BYTES;
    m.attr("MAX_CRC_WORDS") = MAX_CRC_WORDS;

    nb::enum_<FSOECommand>(m, "FSOECommand", "FSoE frame commands")
        .value("PROCESS_DATA", FSOECommand::PROCESS_DATA)
        .value("RESET", FSOECommand::RESET)
        .value("SESSION", FSOECommand::SESSION)
        .value("CONNECTION", FSOECommand::CONNECTION)
        .value("PARAMETER", FSOECommand::PARAMETER)
        .value("FAILSAFE_DATA", FSOECommand::FAILSAFE_DATA)
        .def_static(
            "has_value",
            [](nb::handle value) {
                if (!is_int(value))
                    throw_python(ErrorKind::Type,
                                 std::string("an integer is required, got ") + Py_TYPE(value.ptr())->tp_name);
                int overflow = 0;
                const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
                return overflow == 0 && command_has_value(v);
            },
            nb::arg("value"), "Check whether a command has this value");

    if (g_no_deletion == nullptr) {
        nb::object bases = nb::make_tuple(nb::handle(PyExc_TypeError), nb::handle(PyExc_NotImplementedError));
        g_no_deletion = PyErr_NewException("kestrel.kestrel._ItemDeletionError", bases.ptr(), nullptr);
        if (g_no_deletion == nullptr) throw nb::python_error();
        m.attr("_ItemDeletionError") = nb::handle(g_no_deletion);
    }

    auto u16 = nb::class_<U16Array>(m, "U16Array", "Bounded view of 16-bit words")
                   .def(nb::init<>())
                   .def("__getitem__", [](const U16Array &a, nb::handle idx) { return a.get(to_u16(idx)); })
                   .def("__setitem__",
                        [](U16Array &a, nb::handle idx, nb::handle value) { a.set(to_u16(idx), to_u16(value)); })
                   .def("__delitem__",
                        [](nb::handle self, nb::handle) {
                            PyErr_Format(g_no_deletion, "'%s' object doesn't support item deletion",
                                         Py_TYPE(self.ptr())->tp_name);
                            throw nb::python_error();
                        })
                   .def("__len__", &U16Array::length)
                   .def("clear", &U16Array::clear, "Set all words to 0")
                   .def_prop_ro("u32Length", &U16Array::length);
    forbid_pickling(u16);

    auto control = nb::class_<FSOEFrameControl>(m, "FSOEFrameControl", "View of the control words of a frame")
                       .def_prop_rw("command", &FSOEFrameControl::command,
                                    [](FSOEFrameControl &c, nb::handle v) {
                                        c.set_command(to_enum<FSOECommand>(v, "command", "an FSOECommand"));
                                    })
                       .def("command_is_valid", &FSOEFrameControl::command_is_valid)
                       .def_prop_rw("connection_id", &FSOEFrameControl::connection_id,
                                    [](FSOEFrameControl &c, nb::handle v) { c.set_connection_id(to_u16(v)); })
                       .def_prop_rw("sequence_number", &FSOEFrameControl::sequence_number,
                                    [](FSOEFrameControl &c, nb::handle v) { c.set_sequence_number(to_u16(v)); })
                       .def_prop_rw("crc0", &FSOEFrameControl::crc0,
                                    [](FSOEFrameControl &c, nb::handle v) { c.set_crc0(to_u16(v)); })
                       .def("increment_sequence_number", &FSOEFrameControl::increment_sequence_number);
    forbid_pickling(control);

    auto frame =
        nb::class_<FSOEFrame>(m, "FSOEFrame", "FSoE frame")
            .def(
                "__init__", [](FSOEFrame *f, nb::handle length) { new (f) FSOEFrame(length_argument(length)); },
                nb::arg("length") = 0)
            .def("_frame_from_array", &frame_from_bytes, nb::arg("data"), "Convert bytes to this FSOE Frame structure")
            .def("frame_to_array", &frame_bytes, "Convert frame to bytes")
            .def_prop_ro(
                "control", [](FSOEFrame &f) -> FSOEFrameControl & { return f.control; },
                nb::rv_policy::reference_internal)
            .def_prop_ro(
                "safe_data", [](FSOEFrame &f) -> U16Array & { return f.safe_data; }, nb::rv_policy::reference_internal)
            .def_prop_ro(
                "crcs", [](FSOEFrame &f) -> U16Array & { return f.crcs; }, nb::rv_policy::reference_internal)
            .def_prop_rw("safe_data_size_bytes", &FSOEFrame::safe_data_size_bytes,
                         [](FSOEFrame &f, nb::handle v) { f.set_safe_data_size_bytes(size_argument(v)); })
            .def(
                "set_safe_data_bytes",
                [](FSOEFrame &f, nb::handle data) {
                    nb::bytes b = to_bytes(data);
                    f.set_safe_data_bytes({reinterpret_cast<const uint8_t *>(b.c_str()), b.size()});
                },
                nb::arg("data"), "Set safe data from bytes")
            .def(
                "get_safe_data_bytes",
                [](const FSOEFrame &f) {
                    const auto out = f.get_safe_data_bytes();
                    return nb::bytes(reinterpret_cast<const char *>(out.data()), out.size());
                },
                "Get safe data as bytes")
            .def("generate_crcs", &FSOEFrame::generate_crcs, "Does not take into account crc0 matching generation.")
            .def("check_crcs", &FSOEFrame::check_crcs, "Does not take into account crc0 matching generation.")
            .def("calc_crc0", &FSOEFrame::calc_crc0)
            .def(
                "generate_crcs_cyclic", [](FSOEFrame &f, nb::handle last) { f.generate_crcs_cyclic(to_u16(last)); },
                nb::arg("last_sent_crc_0"))
            .def(
                "check_crcs_cyclic", [](FSOEFrame &f, nb::handle last) { return f.check_crcs_cyclic(to_u16(last)); },
                nb::arg("last_sent_crc_0"));
    forbid_pickling(frame);

    // A class method, so that a subclass gets a frame of its own class.
    frame.attr("frame_from_array") =
        nb::module_::import_("builtins")
            .attr("classmethod")(nb::cpp_function(
                [](nb::handle cls, nb::handle data) -> nb::object {
                    nb::bytes b = to_bytes(data);
                    // Too long for any frame: the decoder's ValueError, before a
                    // frame of that length is made (its word count would overflow).
                    if (b.size() > MAX_FRAME_BYTES) {
                        FSOEFrame probe(MAX_FRAME_BYTES);
                        frame_from_bytes(probe, b);
                    }
                    if (cls.is(nb::type<FSOEFrame>())) {
                        auto f = std::make_unique<FSOEFrame>(static_cast<long long>(b.size()));
                        frame_from_bytes(*f, b);
                        return nb::cast(f.release(), nb::rv_policy::take_ownership);
                    }
                    nb::object f = cls(nb::int_(b.size()));
                    f.attr("_frame_from_array")(b);
                    return f;
                },
                nb::scope(frame), nb::name("frame_from_array"), nb::arg("cls"), nb::arg("data"),
                nb::sig("def frame_from_array(cls, data: object) -> FSOEFrame"), "Convert bytes to a new FSOE Frame"));
}

}  // namespace kestrel::py
