// A callback run on a thread of its own, repeatedly at an interval or once
// after it: the Alpaca camera's exposure timer and pollers.
//
// Repeating: the first call comes one interval after the start; each next
// one an interval after the previous one was due, less the time that
// call took (whole milliseconds; a call longer than the interval is
// followed by the next at once or at the remainder, never a pile-up).
// Exceptions the callback throws are swallowed. stop() wakes the thread,
// joins it and leaves the object ready to start again; a call under way is
// finished first. The destructor stops.
//
// start_repeating() and start_once() on an object whose thread still runs
// stop it first. stop() must not be called from the callback itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace dp {

class periodic_function {
public:
    using Callback = std::function<void()>;

    periodic_function(std::chrono::nanoseconds interval, Callback callback)
        : interval_(interval), callback_(std::move(callback)) {}
    ~periodic_function() { stop(); }
    periodic_function(const periodic_function&) = delete;
    periodic_function& operator=(const periodic_function&) = delete;

    // False, with "pthread_create() failed" logged, when no thread can be had.
    bool start_repeating();
    bool start_once();
    void stop();

    std::chrono::nanoseconds interval() const { return interval_; }

    // When the call after one that was due at `due`, started at `due` and
    // took `elapsed`, is due.
    static std::chrono::steady_clock::time_point next_due(std::chrono::steady_clock::time_point due,
                                                          std::chrono::nanoseconds interval,
                                                          std::chrono::nanoseconds elapsed);

private:
    bool start(bool repeating);
    void run(bool repeating);
    // Waits under `lock` until `due` or a stop; true when stopped.
    bool wait_until(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point due);
    void call() noexcept;

    std::mutex mutex_;
    std::thread thread_;
    bool stop_ = false;
    std::condition_variable wake_;
    const std::chrono::nanoseconds interval_;
    const Callback callback_;
};

}  // namespace dp
