// Watchdog: cost of the per-cycle calls and expiry latency.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "kestrel/handler/watchdog.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// reset() on an active watchdog, from one thread (the per-cycle call).
void BM_Reset(benchmark::State &state) {
    kestrel::Watchdog wd(10.0, [] {});
    wd.start();
    wd.activate();
    for (auto _ : state) wd.reset();
    wd.stop();
}
BENCHMARK(BM_Reset);

// reset() from several threads on one watchdog (worst case: they share the
// timestamp's cache line).
void BM_ResetContended(benchmark::State &state) {
    static kestrel::Watchdog *wd = nullptr;
    if (state.thread_index() == 0) {
        wd = new kestrel::Watchdog(10.0, [] {});
        wd->start();
        wd->activate();
    }
    for (auto _ : state) wd->reset();
    if (state.thread_index() == 0) {
        delete wd;
        wd = nullptr;
    }
}
BENCHMARK(BM_ResetContended)->Threads(2);

// What a handler calls after every good reply.
void BM_ActivateAndResetWhenActive(benchmark::State &state) {
    kestrel::Watchdog wd(10.0, [] {});
    wd.start();
    wd.activate();
    for (auto _ : state) wd.activate_and_reset();
    wd.stop();
}
BENCHMARK(BM_ActivateAndResetWhenActive);

// Expiry latency: 10 ms timeout, no resets. Each round activates the watchdog
// (the last command) and the callback deactivates it again; the latency runs
// from just before activate() to the callback, so it includes the command's
// hand-over. Then the period of repeated expiries without any command.
void BM_ExpiryLatency10ms(benchmark::State &state) {
    constexpr int kRounds = 100;
    std::mutex m;
    std::condition_variable cv;
    int fired = 0;
    Clock::time_point fired_at;
    kestrel::Watchdog *self = nullptr;
    bool deactivate_in_callback = true;
    std::vector<Clock::time_point> periodic;
    kestrel::Watchdog wd(0.010, [&] {
        const auto now = Clock::now();
        if (deactivate_in_callback) self->deactivate();
        {
            std::lock_guard lock(m);
            fired_at = now;
            ++fired;
            if (!deactivate_in_callback) periodic.push_back(now);
        }
        cv.notify_all();
    });
    self = &wd;
    wd.start();
    std::vector<double> latency_ms, period_ms;
    for (auto _ : state) {
        latency_ms.clear();
        for (int i = 0; i < kRounds; ++i) {
            std::unique_lock lock(m);
            const int before = fired;
            lock.unlock();
            const auto t0 = Clock::now();
            wd.activate();
            lock.lock();
            cv.wait(lock, [&] { return fired > before; });
            latency_ms.push_back(std::chrono::duration<double, std::milli>(fired_at - t0).count());
        }
        {
            std::lock_guard lock(m);
            deactivate_in_callback = false;
            periodic.clear();
        }
        const auto t0 = Clock::now();
        wd.activate();
        {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return periodic.size() > kRounds; });
            deactivate_in_callback = true;
        }
        wd.deactivate();
        period_ms.clear();
        period_ms.push_back(std::chrono::duration<double, std::milli>(periodic[0] - t0).count());
        for (int i = 1; i <= kRounds; ++i)
            period_ms.push_back(std::chrono::duration<double, std::milli>(periodic[i] - periodic[i - 1]).count());
    }
    wd.stop();
    const auto stats = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return std::pair{v[v.size() / 2], v.back()};
    };
    const auto [median, worst] = stats(latency_ms);
    const auto [period_median, period_worst] = stats(period_ms);
    state.counters["median_ms"] = median;
    state.counters["worst_ms"] = worst;
    state.counters["period_median_ms"] = period_median;
    state.counters["period_worst_ms"] = period_worst;
}
BENCHMARK(BM_ExpiryLatency10ms)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
