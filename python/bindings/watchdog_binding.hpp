// The Python watchdog for other parts of the binding (the master handler).
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <memory>
#include <string>

#include "kestrel/handler/watchdog.hpp"

namespace kestrel::py {

// Makes a Python `Watchdog` (the threading.Thread subclass) named `name`
// around a new core watchdog whose callback is `callback`, starts its thread,
// stores the Python object in `python_object_out` and returns the core.
// Call with the GIL held.
//
// `callback` is a C++ callable: the watchdog thread calls it WITHOUT the GIL
// (it takes the GIL itself when it needs Python, and must stay away from
// Python once python_alive() is false). Commands on the Python object and on
// the returned core act on the same watchdog.
//
// Lifetimes: the returned pointer is the owner's handle. When its last copy
// goes, the thread is stopped and waited for (the GIL given up meanwhile; on
// the watchdog thread itself, inside the callback, it is only stopped), so
// nothing the callback refers to is used afterwards. Release it without the
// owner's own mutex held. The Python object may outlive it (kept by the owner,
// or by the host): it then reports a stopped watchdog. At interpreter exit
// every running watchdog is stopped before finalisation, whoever holds it.
std::shared_ptr<Watchdog> make_python_watchdog(double timeout_s, Watchdog::Callback callback, const std::string &name,
                                               nb::object &python_object_out);

// Runs `wait` (a call that may block) with the GIL given up when this thread
// holds it, under the same exit rules as the watchdog's own waits (no thread
// takes the GIL back while the interpreter finalises).
void run_without_gil(const std::function<void()> &wait);

}  // namespace kestrel::py
