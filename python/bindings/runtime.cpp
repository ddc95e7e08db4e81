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

void shutdown() {
    std::vector<void (*)()> hooks;
    {
        std::lock_guard lock(g_hooks_mutex);
        hooks.swap(g_hooks);
    }
    // Hooks run with the GIL held, before the interpreter finalises.
    for (auto hook : hooks) hook();
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
