// The diagnostic trace: KESTREL_LOGGING and the three trace functions.
//
// Inside Python the trace goes to sys.stdout, so redirections of stdout see it.
// The switch lives in the core (one atomic flag read on the CRC path); the
// module's class is swapped for a ModuleType subclass whose __setattr__ keeps
// the flag in step when a host assigns kestrel.kestrel.KESTREL_LOGGING.
#include <nanobind/stl/string.h>

#include <vector>

#include "common.hpp"
#include "kestrel/common/trace.hpp"
#include "kestrel/frame/frame.hpp"
#include "runtime.hpp"

namespace kestrel::py {

namespace {

void python_stdout_sink(std::string_view text) {
    if (!python_alive()) return;
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject *out = PySys_GetObject("stdout");  // borrowed
    if (out != nullptr && out != Py_None) {
        PyObject *line = PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size());
        PyObject *method = PyUnicode_InternFromString("write");
        PyObject *result = (line && method) ? PyObject_CallMethodOneArg(out, method, line) : nullptr;
        Py_XDECREF(line);
        Py_XDECREF(method);
        if (result == nullptr) {
            PyErr_WriteUnraisable(out);
        } else {
            Py_DECREF(result);
        }
    }
    PyGILState_Release(gil);
}

const FSOEFrame &frame_argument(nb::handle frame) {
    if (nb::isinstance<FSOEFrame>(frame) && nb::inst_ready(frame)) return nb::cast<const FSOEFrame &>(frame);
    throw_python(ErrorKind::Type, std::string("frame must be an FSOEFrame, not ") + Py_TYPE(frame.ptr())->tp_name);
}

}  // namespace

void bind_trace(nb::module_ &m) {
    // A C++ host embedding Python keeps the sink it installed before the import.
    trace::set_sink_if_default(&python_stdout_sink);
    m.attr("KESTREL_LOGGING") = nb::bool_(trace::enabled_in_environment());
    trace::set_enabled(trace::enabled_in_environment());

    nb::object module_type = nb::module_::import_("types").attr("ModuleType");
    nb::object setattr = nb::cpp_function(
        [module_type](nb::handle self, nb::handle name, nb::handle value) {
            if (PyObject_GenericSetAttr(self.ptr(), name.ptr(), value.ptr()) != 0) throw nb::python_error();
            if (PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), "KESTREL_LOGGING") == 0) {
                const int on = PyObject_IsTrue(value.ptr());
                if (on < 0) throw nb::python_error();
                trace::set_enabled(on != 0);
            }
        },
        nb::is_method(), nb::name("__setattr__"));
    nb::object delattr = nb::cpp_function(
        [](nb::handle self, nb::handle name) {
            if (PyObject_GenericSetAttr(self.ptr(), name.ptr(), nullptr) != 0) throw nb::python_error();
            if (PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), "KESTREL_LOGGING") == 0)
                trace::set_enabled(false);
        },
        nb::is_method(), nb::name("__delattr__"));
    nb::dict namespace_;
    namespace_["__setattr__"] = setattr;
    namespace_["__delattr__"] = delattr;
    namespace_["__module__"] = "kestrel.kestrel";
    nb::object module_class =
        nb::handle((PyObject *)&PyType_Type)("KestrelModule", nb::make_tuple(module_type), namespace_);
    m.attr("__class__") = module_class;

    m.def(
        "_log_transition",
        [](nb::handle name) {
            if (!trace::enabled()) return;
            trace::log_transition(nb::cast<std::string>(nb::str(name)));
        },
        nb::arg("name").none(), "Trace a state transition");
    // Switched off, the functions do nothing at all, not even check their
    // arguments; switched on, a frame must be an FSOEFrame (TypeError).
    m.def(
        "_log_generate_crc",
        [](nb::handle frame) {
            if (trace::enabled()) trace::log_generate_crc(frame_argument(frame).trace_fields());
        },
        nb::arg("frame").none(), "Trace a CRC generation");
    m.def(
        "_log_check_crc",
        [](nb::handle calc_crc, nb::handle frame, nb::handle result) {
            if (!trace::enabled()) return;
            const FSOEFrame &f = frame_argument(frame);
            std::vector<uint16_t> crcs;
            for (nb::handle c : calc_crc) crcs.push_back(to_u16(c));
            const int ok = PyObject_IsTrue(result.ptr());
            if (ok < 0) throw nb::python_error();
            trace::log_check_crc(crcs, f.trace_fields(), ok != 0);
        },
        nb::arg("calc_crc").none(), nb::arg("frame").none(), nb::arg("result").none(), "Trace a CRC check");
}

}  // namespace kestrel::py
