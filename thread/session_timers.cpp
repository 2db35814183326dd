#include "thread/session_timers.h"

#include <signal.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <future>
#include <system_error>

#include "common/log.h"

namespace {

// The signal that carries expiries to a timer's thread. Only that thread
// ever receives it (it is directed at the thread), and it keeps it blocked,
// so the signal never reaches a handler.
int timer_signal() { return SIGRTMIN + 3; }

std::atomic<double> time_scale{1.0};

timespec to_timespec(double seconds) {
    if (!(seconds > 0))
        return {0, 0};
    constexpr double LONGEST_S = 1e9;  // some 31 years
    seconds = std::min(seconds, LONGEST_S);
    const double whole = std::floor(seconds);
    timespec value = {static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
    if (value.tv_sec == 0 && value.tv_nsec == 0)
        value.tv_nsec = 1;  // an all-zero first expiry would disarm the timer
    return value;
}

}  // namespace

SessionTimer::SessionTimer(const char* name, std::function<void()> work) : work_(std::move(work)) {
    std::promise<pid_t> started;
    std::future<pid_t> tid = started.get_future();
    try {
        thread_ = std::thread([this, &started] {
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, timer_signal());
            pthread_sigmask(SIG_BLOCK, &only, nullptr);
            started.set_value(static_cast<pid_t>(syscall(SYS_gettid)));
            serve();
        });
    } catch (const std::system_error& error) {
        log_message(LOG_ERR, "%s timer_create() failed: %s", name, error.what());
        return;
    }
    tid_ = tid.get();

    sigevent notify = {};
    notify.sigev_notify = SIGEV_THREAD_ID;
    notify.sigev_signo = timer_signal();
    notify._sigev_un._tid = tid_;
    if (timer_create(CLOCK_MONOTONIC, &notify, &id_) != 0) {
        log_message(LOG_ERR, "%s timer_create() failed: %s", name, strerror(errno));
        return;
    }
    created_ = true;
}

SessionTimer::~SessionTimer() {
    // No expiry after the delete; then the thread is woken, finishes the work
    // it may be running, and ends.
    if (created_ && timer_delete(id_) != 0)
        log_message(LOG_ERR, "timer_delete() failed: %s", strerror(errno));
    if (thread_.joinable()) {
        stopping_ = true;
        syscall(SYS_tgkill, getpid(), tid_.load(), timer_signal());
        thread_.join();
    }
}

void SessionTimer::serve() {
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, timer_signal());
    for (;;) {
        siginfo_t info;
        if (sigwaitinfo(&only, &info) < 0)
            continue;  // EINTR
        if (stopping_)
            return;
        work_();
    }
}

int arm_timer(SessionTimer& timer, double first_s, double period_s, const char* what) {
    itimerspec when = {to_timespec(period_s), to_timespec(first_s)};
    if (!timer.created_ || timer_settime(timer.id_, 0, &when, nullptr) != 0) {
        const int error = timer.created_ ? errno : EINVAL;
        log_message(LOG_ERR, "%s: timer_settime() failed: %s", what, strerror(error));
        return -error;
    }
    return 0;
}

int start_timer(SessionTimer& timer, double first_s, double period_s) {
    return arm_timer(timer, first_s, period_s, "start_timer()");
}

int stop_timer(SessionTimer& timer) {
    itimerspec never = {};
    if (!timer.created_ || timer_settime(timer.id_, 0, &never, nullptr) != 0) {
        const int error = timer.created_ ? errno : EINVAL;
        log_message(LOG_ERR, "stop_timer(): timer_settime() failed: %s", strerror(error));
        return -error;
    }
    return 0;
}

void set_session_time_scale(double factor) {
    if (factor > 0 && std::isfinite(factor))
        time_scale = factor;
}

double session_time_scale() { return time_scale; }
