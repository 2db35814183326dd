#include "alpaca/devices/device_threads.h"

#include "alpaca/types.h"
#include "common/threads.h"

namespace AlpacaServer {

void ThreadCount::enter() {
    std::lock_guard<std::mutex> hold(mutex_);
    ++running_;
}

void ThreadCount::leave() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (--running_ == 0)
        none_left_.notify_all();
}

void ThreadCount::wait_all() {
    std::unique_lock<std::mutex> hold(mutex_);
    none_left_.wait(hold, [this] { return running_ == 0; });
}

int WheelMove::start(int32_t to, std::function<bool()> move) {
    // At rest -> moving in one step: a second move finds −1 and is refused.
    int32_t from = position_.load();
    if (from < 0 || !position_.compare_exchange_strong(from, -1))
        return kInvalidValue;
    moves_.enter();
    const bool started = start_detached("filter move", [this, from, to, move = std::move(move)] {
        position_.store(move() ? to : from);
        moves_.leave();
    });
    if (!started) {
        moves_.leave();
        position_.store(from);
        return kInvalidOperation;
    }
    return 0;
}

}  // namespace AlpacaServer
