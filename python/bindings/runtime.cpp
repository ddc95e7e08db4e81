#include "runtime.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "common.hpp"

namespace kestrel::py {

namespace {
std::atomic<bool> g_alive{false};
std::mutex g_hooks_mutex;
std::vector<void (*)()> g_hooks;

// Whether daemon threads of the host still run (helper threads that merely
// entered Python, such as the watchdog's, do not count).
bool host_daemon_threads_alive() {
    try {
        nb::object threading = nb::module_::import_("threading");
        nb::object dummy = nb::getattr(threading, "_DummyThread", nb::none());
        for (nb::handle t : threading.attr("enumerate")()) {
            if (!dummy.is_none() && nb::isinstance(t, dummy)) continue;
            if (nb::cast<bool>(t.attr("daemon"))) return true;
        }
    } catch (const std::exception &) {
        // Unknown: keep the warnings.
    }
    return false;
}

void shutdown() {
    std::vector<void (*)()> hooks;
    {
        std::lock_guard lock(g_hooks_mutex);
        hooks.swap(g_hooks);
    }
    // Hooks run with the GIL held, before the interpreter finalises.
    for (auto hook : hooks) hook();
    // The objects a daemon thread still refers to are never freed: that is no
    // leak of ours to report.
    if (host_daemon_threads_alive()) nb::set_leak_warnings(false);
    g_alive.store(false, std::memory_order_release);
}
}  // namespace

bool python_alive() noexcept { return g_alive.load(std::memory_order_acquire) && Py_IsInitialized(); }

void add_shutdown_hook(void (*hook)()) {
    std::lock_guard lock(g_hooks_mutex);
    g_hooks.push_back(hook);
}

void bind_runtime(nb::module_ &m) {
    g_alive.store(true, std::memory_order_release);
    nb::object atexit = nb::module_::import_("atexit");
    atexit.attr("register")(nb::cpp_function([]() { shutdown(); }));
    (void)m;
}

}  // namespace kestrel::py
