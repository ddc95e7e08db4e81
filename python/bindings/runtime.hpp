// Whether the interpreter may still be called. Threads of the library (the
// watchdog, the trace sink) check this before taking the GIL: once the
// interpreter begins to shut down they stay away from Python for good.
#pragma once

#include <nanobind/nanobind.h>

namespace kestrel::py {

bool python_alive() noexcept;

// Registered with atexit at import; also usable by subsystems that own threads
// to run their own shutdown first (see add_shutdown_hook).
void add_shutdown_hook(void (*hook)());

// Runs `fn` with the GIL held, taking it only if this thread lacks it.
// Returns false (without running it) when the interpreter can no longer be
// entered.
template <typename Fn>
bool with_gil(Fn &&fn) {
    if (PyGILState_Check()) {
        fn();
        return true;
    }
    if (!python_alive()) return false;
    nanobind::gil_scoped_acquire gil;
    fn();
    return true;
}

}  // namespace kestrel::py
