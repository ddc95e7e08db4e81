// A recursive lock for a handler's events: taking and releasing it when no
// other thread wants it is one atomic read-modify-write each way and a
// thread-id comparison (a pthread recursive mutex costs several times that),
// which matters on a path run every bus cycle. A waiting thread sleeps on the
// lock word (a futex on Linux); a release wakes one waiter.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace kestrel {

class EventLock {
public:
    EventLock() = default;
    EventLock(const EventLock &) = delete;
    EventLock &operator=(const EventLock &) = delete;

    bool try_lock() noexcept {
        const std::thread::id me = std::this_thread::get_id();
        // Only this thread ever stores its own id here, so seeing it means
        // this thread holds the lock.
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return true;
        }
        uint32_t expected = kFree;
        if (!word_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire, std::memory_order_relaxed))
            return false;
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
        return true;
    }

    void lock() noexcept {
        if (try_lock()) return;
        // Marked contended while anyone waits, so that the release wakes one.
        while (word_.exchange(kContended, std::memory_order_acquire) != kFree) word_.wait(kContended);
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        depth_ = 1;
    }

    void unlock() noexcept {
        if (--depth_ > 0) return;
        owner_.store(std::thread::id{}, std::memory_order_relaxed);
        if (word_.exchange(kFree, std::memory_order_release) == kContended) word_.notify_one();
    }

private:
    static constexpr uint32_t kFree = 0, kLocked = 1, kContended = 2;
    std::atomic<uint32_t> word_{kFree};
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // written by the holder only
};

}  // namespace kestrel
