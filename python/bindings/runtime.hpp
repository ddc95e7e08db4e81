// Whether the interpreter may still be called. Threads of the library (the
// watchdog, the trace sink) check this before taking the GIL: once the
// interpreter begins to shut down they stay away from Python for good.
#pragma once

namespace kestrel::py {

bool python_alive() noexcept;

// Registered with atexit at import; also usable by subsystems that own threads
// to run their own shutdown first (see add_shutdown_hook).
void add_shutdown_hook(void (*hook)());

}  // namespace kestrel::py
