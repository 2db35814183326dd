// The lock an image transfer holds on its camera.
#pragma once

#include <atomic>

// A binary lock without an owner: any thread may release it, because the
// thread that ends an image transfer (the background reader) is not always
// the one that began it, which std::mutex forbids. Commands only try it and
// give up at once; the readout functions wait for it. Waiting blocks in
// atomic wait rather than spinning, since transfers last seconds.
class FrameLock {
public:
    FrameLock() = default;
    FrameLock(const FrameLock&) = delete;
    FrameLock& operator=(const FrameLock&) = delete;

    // True when the lock was free and is now held by the caller.
    bool try_lock() noexcept { return !flag_.test_and_set(std::memory_order_acquire); }

    void lock() noexcept {
        while (flag_.test_and_set(std::memory_order_acquire))
            flag_.wait(true, std::memory_order_relaxed);
    }

    // Releases the lock, whoever took it.
    void unlock() noexcept {
        flag_.clear(std::memory_order_release);
        flag_.notify_one();
    }

    // A snapshot, for status reports and tests; it may change at once.
    bool is_locked() const noexcept { return flag_.test(std::memory_order_relaxed); }

private:
    std::atomic_flag flag_;  // clear from construction on (C++20)
};
