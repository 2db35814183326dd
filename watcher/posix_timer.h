// A one-shot per-process timer on CLOCK_REALTIME, deleted with its holder.
// Failures are logged where they happen.
#pragma once

#include <signal.h>
#include <time.h>

class PosixTimer {
public:
    PosixTimer() = default;
    ~PosixTimer();
    PosixTimer(const PosixTimer&) = delete;
    PosixTimer& operator=(const PosixTimer&) = delete;

    // SIGEV_NONE (only read back) or SIGEV_SIGNAL with `signal`.
    bool create(int notify, int signal = 0);
    bool arm(const timespec& after);
    // The time left; zero once it has expired.
    timespec remaining() const;

private:
    timer_t timer_{};
    bool created_ = false;
};
