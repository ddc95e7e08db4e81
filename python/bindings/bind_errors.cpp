// Exception classes and the translation of core errors into them.
#include "common.hpp"

namespace kestrel::py {

namespace {
PyObject *g_master = nullptr;
PyObject *g_running = nullptr;
PyObject *g_locked = nullptr;
PyObject *g_mapped = nullptr;

PyObject *python_class(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Value:
            return PyExc_ValueError;
        case ErrorKind::Type:
            return PyExc_TypeError;
        case ErrorKind::Overflow:
            return PyExc_OverflowError;
        case ErrorKind::Index:
            return PyExc_IndexError;
        case ErrorKind::Key:
            return PyExc_KeyError;
        case ErrorKind::Permission:
            return PyExc_PermissionError;
        case ErrorKind::Runtime:
            return PyExc_RuntimeError;
        case ErrorKind::NotImplemented:
            return PyExc_NotImplementedError;
        case ErrorKind::ZeroDivision:
            return PyExc_ZeroDivisionError;
        case ErrorKind::MasterException:
            return g_master;
        case ErrorKind::MasterRunning:
            return g_running;
        case ErrorKind::MasterMappingLocked:
            return g_locked;
        case ErrorKind::AlreadyMapped:
            return g_mapped;
    }
    return PyExc_RuntimeError;
}

PyObject *make_class(nb::module_ &m, const char *name, const char *doc, PyObject *base) {
    const std::string qualified = std::string("kestrel.kestrel.") + name;
    PyObject *cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (cls == nullptr) throw nb::python_error();
    m.attr(name) = nb::handle(cls);  // the module keeps a reference
    return cls;
}
}  // namespace

PyObject *exc_master() { return g_master; }
PyObject *exc_master_running() { return g_running; }
PyObject *exc_mapping_locked() { return g_locked; }
PyObject *exc_already_mapped() { return g_mapped; }

void throw_python(ErrorKind kind, const std::string &message) {
    // Empty messages give an exception without arguments, as `raise ValueError`.
    if (message.empty()) {
        PyErr_SetNone(python_class(kind));
    } else if (kind == ErrorKind::Key) {
        // KeyError keeps its argument as given; str() shows it quoted.
        PyErr_SetObject(python_class(kind), nb::str(message.c_str(), message.size()).ptr());
    } else {
        PyErr_SetString(python_class(kind), message.c_str());
    }
    throw nb::python_error();
}

void bind_errors(nb::module_ &m) {
    g_master = make_class(m, "FSOEMasterException", "Exception for FSoE Master", PyExc_Exception);
    g_running = make_class(m, "FSOEMasterRunningException", "Exception for raised when the master is already running",
                           g_master);
    g_locked = make_class(m, "FSOEMasterMappingLockedException",
                          "Exception raised when trying to map an item on a locked dictionary map", g_master);
    g_mapped = make_class(m, "FSoEAlreadyMappedException",
                          "Exception raised when trying to map an item that is already mapped", g_master);

    nb::register_exception_translator([](const std::exception_ptr &p, void *) {
        try {
            std::rethrow_exception(p);
        } catch (const Error &e) {
            const std::string message = e.what();
            if (message.empty()) {
                PyErr_SetNone(python_class(e.kind()));
            } else if (e.kind() == ErrorKind::Key) {
                PyErr_SetObject(PyExc_KeyError, nb::str(message.c_str(), message.size()).ptr());
            } else {
                PyErr_SetString(python_class(e.kind()), message.c_str());
            }
        }
    });
}

}  // namespace kestrel::py
