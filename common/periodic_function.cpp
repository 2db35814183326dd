#include "common/periodic_function.h"

#include <syslog.h>

#include <cstring>
#include <system_error>

#include "common/log.h"

namespace dp {

using Clock = std::chrono::steady_clock;

Clock::time_point periodic_function::next_due(Clock::time_point due, std::chrono::nanoseconds interval,
                                              std::chrono::nanoseconds elapsed) {
    // The run time counts in whole milliseconds.
    const auto e = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed);
    if (interval.count() <= 0)
        return due;
    if (e < interval)
        return due + (interval - e);
    if (e % interval == std::chrono::nanoseconds::zero())
        return due + interval;
    return due + e % interval;
}

bool periodic_function::start_repeating() { return start(true); }
bool periodic_function::start_once() { return start(false); }

bool periodic_function::start(bool repeating) {
    stop();
    try {
        thread_ = std::thread([this, repeating] { run(repeating); });
    } catch (const std::system_error& error) {
        log_message(LOG_ERR, "pthread_create() failed: %s", strerror(error.code().value()));
        return false;
    }
    return true;
}

void periodic_function::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
}

bool periodic_function::wait_until(std::unique_lock<std::mutex>& lock, Clock::time_point due) {
    return wake_.wait_until(lock, due, [this] { return stop_; });
}

void periodic_function::call() noexcept {
    if (!callback_)
        return;
    try {
        callback_();
    } catch (...) {
    }
}

void periodic_function::run(bool repeating) {
    Clock::time_point due = Clock::now() + interval_;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (wait_until(lock, due))
                return;
        }
        const Clock::time_point began = Clock::now();
        call();
        if (!repeating)
            return;
        due = next_due(due, interval_, Clock::now() - began);
    }
}

}  // namespace dp
