// The watchdog thread for Python hosts: WatchdogCommand and Watchdog.
//
// `Watchdog` is a subclass of threading.Thread made at import: its run() is
// the core's thread body, entered with the GIL released, so the host sees a
// thread it knows (its name, threading.current_thread() inside the callback,
// threading.enumerate()). The instance keeps the core in a small bound object
// (`_WatchdogCore`), which owns the callable; the core calls it through
// call_python(), which takes the GIL. Blocking operations release the GIL
// while they wait, so the callback can run meanwhile. Error records go to the
// root logger of Python's logging.
//
// The thread is a daemon: at interpreter exit (an atexit hook, before
// finalisation) every running watchdog is stopped, so a host that forgot
// stop() still exits promptly and no thread enters Python after
// finalisation. A non-daemon thread would be joined before that hook runs.
// Like any running thread, a running watchdog stays reachable (threading
// lists it) until it is stopped, together with what its callback refers to.
#include <nanobind/stl/optional.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "common.hpp"
#include "kestrel/handler/watchdog.hpp"
#include "runtime.hpp"
#include "watchdog_binding.hpp"

namespace kestrel::py {

namespace {

// Set by the exit hook, with the GIL held: no callback enters Python after it.
std::atomic<bool> g_closing{false};

// Longest wait at exit for callbacks that are running.
constexpr auto kExitBudget = std::chrono::milliseconds(500);
// Longest further wait at exit for host threads to come back from a call.
constexpr auto kReturnBudget = std::chrono::milliseconds(200);

constexpr const char *kNotRunning = "FSoE Watchdog thread is not running";

bool python_usable() noexcept { return !g_closing.load(std::memory_order_acquire) && python_alive(); }

// Host threads inside a watchdog call with the GIL released.
std::atomic<int> g_hosts_waiting_without_gil{0};
// Watchdog threads inside the core's body (the GIL released).
std::atomic<int> g_threads_in_core_loop{0};

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Runs `wait`, a core call that may wait for the watchdog thread, with the GIL
// released so that a running callback can finish meanwhile.
//
// CPython ends by force a thread that takes the GIL back while the interpreter
// finalises; the unwinding cannot pass these C++ frames and would abort the
// process (a daemon thread of the host calling the watchdog at exit). Hence:
// after the exit hook nothing waits for long (every watchdog is stopped and
// no callback enters Python), so the GIL stays held; the hook lets threads
// still inside come back first; one that comes back even later waits for the
// process to end instead of taking the GIL.
template <typename F>
decltype(auto) released_gil(std::atomic<int> &inside, F &&wait) {
    struct Released {
        std::atomic<int> &inside;
        PyThreadState *state;
        explicit Released(std::atomic<int> &counter) : inside(counter) {
            inside.fetch_add(1, std::memory_order_acq_rel);
            state = PyEval_SaveThread();
        }
        ~Released() {
            while (interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::hours(1));
            PyEval_RestoreThread(state);
            inside.fetch_sub(1, std::memory_order_acq_rel);
        }
        Released(const Released &) = delete;
        Released &operator=(const Released &) = delete;
    } released(inside);
    return wait();
}

template <typename F>
decltype(auto) without_gil(F &&wait) {
    if (g_closing.load(std::memory_order_acquire)) return wait();
    return released_gil(g_hosts_waiting_without_gil, std::forward<F>(wait));
}

void call_python(PyObject *fn) {
    if (!python_usable()) return;
    PyGILState_STATE gil = PyGILState_Ensure();
    if (g_closing.load(std::memory_order_acquire)) {  // the exit hook ran while we waited
        PyGILState_Release(gil);
        return;
    }
    Py_INCREF(fn);  // the owner may drop it while it runs
    PyObject *result = PyObject_CallNoArgs(fn);
    Py_DECREF(fn);
    if (result == nullptr) {
        nb::python_error error;  // fetched with the GIL; released safely anywhere
        PyGILState_Release(gil);
        throw error;
    }
    Py_DECREF(result);
    PyGILState_Release(gil);
}

// The Python exception for a failure caught on the watchdog thread.
nb::object python_exception(const std::exception_ptr &error) {
    try {
        std::rethrow_exception(error);
    } catch (const nb::python_error &e) {
        return nb::borrow(e.value());
    } catch (const Error &e) {
        try {
            throw_python(e.kind(), e.what());
        } catch (const nb::python_error &p) {
            return nb::borrow(p.value());
        }
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    nb::python_error p;
    return nb::borrow(p.value());
}

void python_log_sink(std::string_view message, std::exception_ptr error) {
    if (!python_usable()) {  // the interpreter is exiting: stay away from it
        std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
        return;
    }
    PyGILState_STATE gil = PyGILState_Ensure();
    try {
        // The module-level function, as a host's own code would log: it goes to
        // the root logger (and sets up a stderr handler when there is none).
        nb::object logger = nb::module_::import_("logging");
        nb::str text(message.data(), message.size());
        if (error) {
            logger.attr("error")(text, nb::arg("exc_info") = python_exception(error));
        } else {
            logger.attr("error")(text);
        }
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("kestrel watchdog logging");
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        throw;  // the interpreter ends this thread
#endif
    } catch (...) {
    }
    PyGILState_Release(gil);
}

void stop_watchdogs_at_exit() {
    g_closing.store(true, std::memory_order_release);
    std::size_t stuck;
    {
        nb::gil_scoped_release release;  // running callbacks need the GIL to finish
        stuck = stop_all_watchdogs(kExitBudget);
        // Host threads that waited for a watchdog are released now, and the
        // stopped watchdogs' threads leave the core: let them take the GIL back
        // while that is still safe (the stuck ones will not).
        const auto end = std::chrono::steady_clock::now() + kReturnBudget;
        while ((g_hosts_waiting_without_gil.load(std::memory_order_acquire) != 0 ||
                g_threads_in_core_loop.load(std::memory_order_acquire) > static_cast<int>(stuck)) &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // A callback that did not return keeps its frame, and with it the objects
    // it refers to, alive past finalisation: that is no leak of ours to report.
    if (stuck != 0) nb::set_leak_warnings(false);
}

// Ends the thread and waits for it, the GIL given up meanwhile when held.
void close_watchdog(Watchdog &core) {
    if (python_alive() && PyGILState_Check()) {
        without_gil([&] { core.close(); });
    } else {
        core.close();
    }
}

// The bound object a Watchdog instance keeps its core in.
struct PyWatchdogCore {
    nb::object callback;  // owned here (none for a C++ callback); the core holds it borrowed
    std::shared_ptr<Watchdog> core;

    PyWatchdogCore(double timeout_s, nb::object cb) : callback(std::move(cb)) {
        core = std::make_shared<Watchdog>(timeout_s, [fn = callback.ptr()] { call_python(fn); });
    }
    explicit PyWatchdogCore(std::shared_ptr<Watchdog> c) : callback(nb::none()), core(std::move(c)) {}
    ~PyWatchdogCore() { release(); }

    Watchdog &get() {
        if (!core) raise(ErrorKind::Runtime, kNotRunning);
        return *core;
    }

    // Ends the thread before the callable can go.
    void release() {
        if (!core) return;
        close_watchdog(*core);
        core.reset();
    }
};

// Garbage collection: the callable often refers back to the watchdog's owner.
int watchdog_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    Py_VISIT(nb::inst_ptr<PyWatchdogCore>(self)->callback.ptr());
    return 0;
}

int watchdog_clear(PyObject *self) {
    // An instance whose __init__ never ran or failed holds no watchdog: its
    // memory may still carry the references of a constructor that threw.
    if (!nb::inst_ready(self)) return 0;
    PyWatchdogCore *w = nb::inst_ptr<PyWatchdogCore>(self);
    w->release();
    w->callback = nb::none();
    return 0;
}

// The collector finalizes every object of a garbage cycle before it clears
// any: the thread is stopped here, while everything the callback can reach is
// still whole. (A running watchdog is never garbage, its thread refers to it;
// this is for one that was started by no thread yet.)
void watchdog_finalize(PyObject *self) {
    if (!nb::inst_ready(self)) return;
    PyObject *error = PyErr_GetRaisedException();
    nb::inst_ptr<PyWatchdogCore>(self)->release();
    PyErr_SetRaisedException(error);
}

PyType_Slot watchdog_slots[] = {{Py_tp_traverse, (void *)watchdog_traverse},
                                {Py_tp_clear, (void *)watchdog_clear},
                                {Py_tp_finalize, (void *)watchdog_finalize},
                                {0, nullptr}};

// Where a Watchdog instance keeps its core (a private attribute).
PyObject *core_key() {
    static PyObject *key = PyUnicode_InternFromString("_Watchdog__core");
    return key;
}

PyWatchdogCore *find_core(nb::handle self) {
    PyObject *found = PyObject_GetAttr(self.ptr(), core_key());
    if (found == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    nb::object holder = nb::steal(found);
    if (!nb::isinstance<PyWatchdogCore>(holder)) return nullptr;
    return nb::inst_ptr<PyWatchdogCore>(holder);  // kept alive by the instance
}

// The core, or RuntimeError as for a watchdog whose thread is gone.
Watchdog &core_of(nb::handle self) {
    PyWatchdogCore *c = find_core(self);
    if (c == nullptr) raise(ErrorKind::Runtime, kNotRunning);
    return c->get();
}

nb::handle g_watchdog_class;  // owned by the module

// Makes `self` a thread around `holder`: a daemon with the given name.
void init_thread(nb::handle self, nb::handle holder, nb::handle name) {
    nb::object thread_class = nb::module_::import_("threading").attr("Thread");
    nb::object thread_name = name.is_none() ? nb::object(nb::str("FSoE watchdog")) : nb::borrow(name);
    thread_class.attr("__init__")(self, nb::arg("name") = thread_name, nb::arg("daemon") = true);
    if (PyObject_SetAttr(self.ptr(), core_key(), holder.ptr()) != 0) throw nb::python_error();
}

// A method of the class made at import (whose bases already name some of them).
template <typename F, typename... Extra>
void def_method(nb::handle cls, F &&f, const char *name, const Extra &...extra) {
    cls.attr(name) = nb::cpp_function(std::forward<F>(f), nb::name(name), nb::is_method(), extra...);
}

void start_thread(nb::handle self) {
    Watchdog &core = core_of(self);
    core.start_external();
    nb::module_ threading = nb::module_::import_("threading");
    try {
        threading.attr("Thread").attr("start")(self);
    } catch (nb::python_error &e) {
        // Python starts no thread once it shuts down (a host's exit hook): the
        // body then runs on a thread of ours, without the thread's identity.
        if (e.matches(PyExc_RuntimeError) &&
            nb::cast<bool>(nb::getattr(threading, "_SHUTTING_DOWN", nb::bool_(false)))) {
            core.run_on_new_thread();
            return;
        }
        core.cancel_start();
        throw;
    } catch (...) {
        core.cancel_start();
        throw;
    }
}

}  // namespace

void bind_watchdog(nb::module_ &m) {
    // A C++ host embedding Python keeps the sink it installed before the import.
    set_watchdog_log_sink_if_default(&python_log_sink);
    add_shutdown_hook(&stop_watchdogs_at_exit);

    nb::enum_<WatchdogCommand>(m, "WatchdogCommand", "Internal commands of the watchdog thread")
        .value("ACTIVATE", WatchdogCommand::ACTIVATE)
        .value("DEACTIVATE", WatchdogCommand::DEACTIVATE)
        .value("RESET", WatchdogCommand::RESET)
        .value("STOP", WatchdogCommand::STOP);

    nb::class_<PyWatchdogCore>(m, "_WatchdogCore", nb::type_slots(watchdog_slots),
                               "The core of a Watchdog (its thread body, commands and timing)")
        .def(nb::init<double, nb::object>(), nb::arg("timeout_s"), nb::arg("callback"));

    nb::object threading = nb::module_::import_("threading");
    nb::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = nb::str("Watchdog");
    ns["__doc__"] = nb::str(
        "Implements a mechanism to detect if a PDU cycle is not completed within a time frame.\n\n"
        "A threading.Thread (a daemon named 'FSoE watchdog' unless given a name) that calls "
        "callback() on its own thread whenever timeout_s seconds pass without reset() while active.");
    nb::object cls =
        nb::borrow<nb::object>((PyObject *)&PyType_Type)("Watchdog", nb::make_tuple(threading.attr("Thread")), ns);
    m.attr("Watchdog") = cls;
    g_watchdog_class = cls;

    def_method(
        cls,
        [](nb::handle self, double timeout_s, nb::object callback, nb::handle name) {
            nb::object holder =
                nb::cast(new PyWatchdogCore(timeout_s, std::move(callback)), nb::rv_policy::take_ownership);
            init_thread(self, holder, name);
        },
        "__init__", nb::arg("timeout_s"), nb::arg("callback"), nb::kw_only(), nb::arg("name").none() = nb::none());
    def_method(
        cls, [](nb::handle self) { start_thread(self); }, "start", "Start the watchdog thread");
    def_method(
        cls,
        [](nb::handle self) {
            // Only the watchdog's own thread runs the body (not a host calling run()).
            nb::object ident = nb::getattr(self, "ident", nb::none());
            if (ident.is_none() || nb::cast<unsigned long>(ident) != PyThread_get_thread_ident())
                raise(ErrorKind::Runtime, "the watchdog's body runs on its own thread: call start()");
            PyWatchdogCore *holder = find_core(self);
            if (holder == nullptr || !holder->core) raise(ErrorKind::Runtime, kNotRunning);
            std::shared_ptr<Watchdog> core = holder->core;  // the body outlives a dropped holder
            released_gil(g_threads_in_core_loop, [&] { core->run(); });
        },
        "run", "Watchdog process");
    def_method(
        cls,
        [](nb::handle self) {
            PyWatchdogCore *c = find_core(self);
            return c != nullptr && c->core && c->core->is_alive();
        },
        "is_alive", "Whether the watchdog thread accepts commands");
    // Blocking commands release the GIL while they wait: the callback may be
    // running and need it. When the last command already asked for the same
    // state they cannot wait, so they keep the GIL (the per-cycle path).
    def_method(
        cls,
        [](nb::handle self) {
            Watchdog &core = core_of(self);
            if (core.requested_active()) return;
            without_gil([&] { core.activate(); });
        },
        "activate", "Activate the watchdog. After it, a timeout occurs unless reset() is called within the timeout");
    def_method(
        cls,
        [](nb::handle self) {
            Watchdog &core = core_of(self);
            if (!core.requested_active()) return;
            without_gil([&] { core.deactivate(); });
        },
        "deactivate", "Deactivate the watchdog. Resets are no longer required");
    def_method(
        cls,
        [](nb::handle self) {
            Watchdog &core = core_of(self);
            without_gil([&] { core.stop(); });
        },
        "stop", "Stop the watchdog module");
    def_method(
        cls, [](nb::handle self) { core_of(self).reset(); }, "reset", "Reset the watchdog to prevent a timeout");
    def_method(
        cls,
        [](nb::handle self) {
            Watchdog &core = core_of(self);
            if (!core.requested_active()) without_gil([&] { core.activate(); });
            core.reset();
        },
        "activate_and_reset", "Activate the watchdog if needed and reset it");
    nb::object property = nb::borrow<nb::object>((PyObject *)&PyProperty_Type);
    cls.attr("active") = property(nb::cpp_function(
                                      [](nb::handle self) {
                                          PyWatchdogCore *c = find_core(self);
                                          return c != nullptr && c->core && c->core->active();
                                      },
                                      nb::arg("self"), nb::sig("def active(self) -> bool")),
                                  nb::none(), nb::none(), nb::str("Indicates if the watchdog is active"));
}

void run_without_gil(const std::function<void()> &wait) {
    if (!PyGILState_Check()) return wait();
    without_gil(wait);
}

std::shared_ptr<Watchdog> make_python_watchdog(double timeout_s, Watchdog::Callback callback, const std::string &name,
                                               nb::object &python_object_out) {
    auto core = std::make_shared<Watchdog>(timeout_s, std::move(callback));
    nb::object holder = nb::cast(new PyWatchdogCore(core), nb::rv_policy::take_ownership);
    nb::handle cls = g_watchdog_class;
    nb::object self = nb::steal(PyBaseObject_Type.tp_new((PyTypeObject *)cls.ptr(), nb::tuple().ptr(), nullptr));
    if (!self.is_valid()) throw nb::python_error();
    init_thread(self, holder, nb::str(name.c_str()));
    start_thread(self);
    python_object_out = self;
    // The owner's handle: when its last copy goes, the thread ends (with the
    // GIL given up while it waits), even though the Python object may live on.
    struct Handle {
        std::shared_ptr<Watchdog> core;
        ~Handle() { close_watchdog(*core); }
    };
    std::shared_ptr<Handle> handle(new Handle{core});
    return std::shared_ptr<Watchdog>(handle, core.get());
}

}  // namespace kestrel::py
