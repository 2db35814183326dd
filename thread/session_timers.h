// The periodic and one-shot timers of a camera session.
//
// Each SessionTimer is a POSIX per-process timer on the monotonic clock
// whose expiries are delivered to a thread of its own (the timer's signal,
// directed at that thread), which runs the timer's work. Expiries that come
// while the work still runs are merged into the next run. Destroying the
// timer deletes it and waits for work that runs, so the work may use
// whatever outlives the SessionTimer.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class SessionTimer {
public:
    // Creates the timer and its thread; check created(). `name` appears in
    // the log lines of a failure ("%s timer_create() failed: %s").
    SessionTimer(const char* name, std::function<void()> work);
    ~SessionTimer();
    SessionTimer(const SessionTimer&) = delete;
    SessionTimer& operator=(const SessionTimer&) = delete;

    bool created() const { return created_; }

private:
    friend int start_timer(SessionTimer& timer, double first_s, double period_s);
    friend int stop_timer(SessionTimer& timer);
    friend int arm_timer(SessionTimer& timer, double first_s, double period_s, const char* what);

    void serve();  // the timer's thread

    std::function<void()> work_;
    timer_t id_{};
    bool created_ = false;
    std::atomic<pid_t> tid_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Arms `timer`: first expiry after `first_s` seconds, then every `period_s`
// (0: once). A first expiry of 0 disarms it. 0, or -errno after "start_timer(): timer_settime() failed: %s".
int start_timer(SessionTimer& timer, double first_s, double period_s);

// Disarms `timer`. 0, or -errno after "stop_timer(): timer_settime() failed: %s".
int stop_timer(SessionTimer& timer);

// As start_timer, logging a failure as "<what>: timer_settime() failed: %s".
int arm_timer(SessionTimer& timer, double first_s, double period_s, const char* what);

// The periodic timers of the sessions (ramp, clean, cooler power) run their
// periods times this factor. 1 unless the virtual box asks for faster
// sessions (--sim-time-scale); set once, before any session starts.
void set_session_time_scale(double factor);
double session_time_scale();

// A session period in seconds, scaled.
inline double session_period(double seconds) { return seconds * session_time_scale(); }
