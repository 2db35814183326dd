// Threads an Alpaca device starts for work that outlasts a request: counted,
// so that the device's destructor waits for them; and a filter wheel's move,
// the one such work both kinds of wheel device do alike.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace AlpacaServer {

// Counts threads a device starts and lets its destructor wait for them.
class ThreadCount {
public:
    void enter();
    void leave();
    void wait_all();

private:
    std::mutex mutex_;
    std::condition_variable none_left_;
    int running_ = 0;
};

// The position a wheel device reports: the slot at rest, −1 while a move
// runs on a thread of its own. A failed move leaves the wheel where it was.
class WheelMove {
public:
    ~WheelMove() { moves_.wait_all(); }

    int32_t position() const { return position_.load(); }

    // Moves to `to` by calling `move` (true when the wheel got there) on a
    // thread. Returns 0, the Alpaca error InvalidValue while another move
    // runs, or InvalidOperation when no thread can be started.
    int start(int32_t to, std::function<bool()> move);

private:
    std::atomic<int32_t> position_{0};
    ThreadCount moves_;
};

}  // namespace AlpacaServer
