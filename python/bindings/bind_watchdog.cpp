// The watchdog thread for Python hosts: WatchdogCommand and Watchdog.
//
// The Python object owns a core Watchdog and the callable. The core calls the
// callable through call_python(), which takes the GIL; blocking operations
// release the GIL while they wait, so the callback can run meanwhile. Error
// records go to the root logger of Python's logging. At interpreter exit (an
// atexit hook, before finalisation) every running watchdog is stopped, so a
// host that forgot stop() still exits promptly and no thread enters Python
// after finalisation.
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

namespace kestrel::py {

namespace {

// Set by the exit hook, with the GIL held: no callback enters Python after it.
std::atomic<bool> g_closing{false};

// Longest wait at exit for callbacks that are running.
constexpr auto kExitBudget = std::chrono::milliseconds(500);
// Longest further wait at exit for host threads to come back from a call.
constexpr auto kReturnBudget = std::chrono::milliseconds(200);

bool python_usable() noexcept { return !g_closing.load(std::memory_order_acquire) && python_alive(); }

// Host threads inside a watchdog call with the GIL released.
std::atomic<int> g_released{0};

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
decltype(auto) without_gil(F &&wait) {
    if (g_closing.load(std::memory_order_acquire)) return wait();
    struct Released {
        PyThreadState *state;
        Released() {
            g_released.fetch_add(1, std::memory_order_acq_rel);
            state = PyEval_SaveThread();
        }
        ~Released() {
            while (interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::hours(1));
            PyEval_RestoreThread(state);
            g_released.fetch_sub(1, std::memory_order_acq_rel);
        }
        Released(const Released &) = delete;
        Released &operator=(const Released &) = delete;
    } released;
    return wait();
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
        // Host threads that waited for a watchdog are released now: let them
        // take the GIL back while that is still safe.
        const auto end = std::chrono::steady_clock::now() + kReturnBudget;
        while (g_released.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // A callback that did not return keeps its frame, and with it the objects
    // it refers to, alive past finalisation: that is no leak of ours to report.
    if (stuck != 0) nb::set_leak_warnings(false);
}

struct PyWatchdog {
    nb::object callback;  // owned here; the core holds it borrowed
    std::unique_ptr<Watchdog> core;

    PyWatchdog(double timeout_s, nb::object cb) : callback(std::move(cb)) {
        core = std::make_unique<Watchdog>(timeout_s, [fn = callback.ptr()] { call_python(fn); });
    }
    ~PyWatchdog() { release(); }

    Watchdog &get() {
        if (!core) raise(ErrorKind::Runtime, "FSoE Watchdog thread is not running");
        return *core;
    }

    // Ends the thread before the callable can go. The wait for a running
    // callback needs the GIL free.
    void release() {
        if (!core) return;
        if (python_alive() && PyGILState_Check()) {
            without_gil([&] { core.reset(); });
        } else {
            core.reset();
        }
    }
};

// Garbage collection: the callable often refers back to the watchdog's owner.
int watchdog_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    Py_VISIT(nb::inst_ptr<PyWatchdog>(self)->callback.ptr());
    return 0;
}

int watchdog_clear(PyObject *self) {
    // An instance whose __init__ never ran or failed holds no watchdog: its
    // memory may still carry the references of a constructor that threw.
    if (!nb::inst_ready(self)) return 0;
    PyWatchdog *w = nb::inst_ptr<PyWatchdog>(self);
    w->release();
    w->callback = nb::none();
    return 0;
}

// The collector finalizes every object of a garbage cycle before it clears
// any: the thread is stopped here, while everything the callback can reach is
// still whole. Stopped only in watchdog_clear, the thread could call the
// callback after the collector had taken apart its closure or its owner.
void watchdog_finalize(PyObject *self) {
    if (!nb::inst_ready(self)) return;
    PyObject *error = PyErr_GetRaisedException();
    nb::inst_ptr<PyWatchdog>(self)->release();
    PyErr_SetRaisedException(error);
}

PyType_Slot watchdog_slots[] = {{Py_tp_traverse, (void *)watchdog_traverse},
                                {Py_tp_clear, (void *)watchdog_clear},
                                {Py_tp_finalize, (void *)watchdog_finalize},
                                {0, nullptr}};

std::optional<Watchdog::Duration> join_timeout(std::optional<double> seconds) {
    if (!seconds) return std::nullopt;
    const double s = *seconds > 0 ? std::min(*seconds, 1e9) : 0.0;  // like threading: negative waits not at all
    return std::chrono::duration_cast<Watchdog::Duration>(std::chrono::duration<double>(s));
}

}  // namespace

void bind_watchdog(nb::module_ &m) {
    set_watchdog_log_sink(&python_log_sink);
    add_shutdown_hook(&stop_watchdogs_at_exit);

    nb::enum_<WatchdogCommand>(m, "WatchdogCommand", "Internal commands of the watchdog thread")
        .value("ACTIVATE", WatchdogCommand::ACTIVATE)
        .value("DEACTIVATE", WatchdogCommand::DEACTIVATE)
        .value("RESET", WatchdogCommand::RESET)
        .value("STOP", WatchdogCommand::STOP);

    nb::class_<PyWatchdog>(m, "Watchdog", nb::type_slots(watchdog_slots),
                           "Implements a mechanism to detect if a PDU cycle is not completed within a time frame")
        .def(nb::init<double, nb::object>(), nb::arg("timeout_s"), nb::arg("callback"))
        .def(
            "start", [](PyWatchdog &w) { w.get().start(); }, "Start the watchdog thread")
        .def(
            "is_alive", [](PyWatchdog &w) { return w.core && w.core->is_alive(); },
            "Whether the watchdog thread accepts commands")
        .def(
            "join",
            [](PyWatchdog &w, std::optional<double> timeout) {
                Watchdog &core = w.get();
                const auto wait = join_timeout(timeout);
                without_gil([&] { core.join(wait); });
            },
            nb::arg("timeout") = nb::none(), "Wait until the watchdog thread ends")
        // Blocking commands release the GIL while they wait: the callback may
        // be running and need it. On an already active watchdog activate()
        // cannot wait, so it keeps the GIL (the per-cycle path).
        .def(
            "activate",
            [](PyWatchdog &w) {
                Watchdog &core = w.get();
                if (core.active()) return;
                without_gil([&] { core.activate(); });
            },
            "Activate the watchdog. After it, a timeout occurs unless reset() is called within the timeout")
        .def(
            "deactivate",
            [](PyWatchdog &w) {
                Watchdog &core = w.get();
                if (!core.active()) return;
                without_gil([&] { core.deactivate(); });
            },
            "Deactivate the watchdog. Resets are no longer required")
        .def(
            "stop",
            [](PyWatchdog &w) {
                Watchdog &core = w.get();
                without_gil([&] { core.stop(); });
            },
            "Stop the watchdog module")
        .def(
            "reset", [](PyWatchdog &w) { w.get().reset(); }, "Reset the watchdog to prevent a timeout")
        .def(
            "activate_and_reset",
            [](PyWatchdog &w) {
                Watchdog &core = w.get();
                if (!core.active()) without_gil([&] { core.activate(); });
                core.reset();
            },
            "Activate the watchdog if needed and reset it")
        .def_prop_ro(
            "active", [](PyWatchdog &w) { return w.core && w.core->active(); }, "Indicates if the watchdog is active");
}

}  // namespace kestrel::py
