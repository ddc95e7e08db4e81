// The coverage counters of the whole binary (core and harness are linked
// statically: one section), for forget_coverage(). In a unit of its own and
// uninstrumented: the instrumentation declares the section bounds itself, and
// a second declaration in an instrumented unit breaks the counters'
// registration with libFuzzer.
#include <algorithm>
#include <cstdint>

extern "C" {
extern uint8_t __start___sancov_cntrs[] __attribute__((weak, visibility("hidden")));
extern uint8_t __stop___sancov_cntrs[] __attribute__((weak, visibility("hidden")));
}

namespace kestrel::fuzz {

__attribute__((no_sanitize("coverage"))) void forget_coverage() noexcept {
    if (__start___sancov_cntrs && __stop___sancov_cntrs)
        std::fill(__start___sancov_cntrs, __stop___sancov_cntrs, uint8_t{0});
}

}  // namespace kestrel::fuzz
