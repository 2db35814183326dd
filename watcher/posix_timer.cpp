#include "watcher/posix_timer.h"

#include <syslog.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"

PosixTimer::~PosixTimer() {
    if (created_)
        timer_delete(timer_);
}

bool PosixTimer::create(int notify, int signal) {
    sigevent event{};
    event.sigev_notify = notify;
    event.sigev_signo = signal;
    if (timer_create(CLOCK_REALTIME, &event, &timer_) != 0) {
        log_message(LOG_ERR, "timer_create() failed: %s", strerror(errno));
        return false;
    }
    created_ = true;
    return true;
}

bool PosixTimer::arm(const timespec& after) {
    itimerspec span{};
    span.it_value = after;
    if (timer_settime(timer_, 0, &span, nullptr) != 0) {
        log_message(LOG_ERR, "timer_settime() failed: %s", strerror(errno));
        return false;
    }
    return true;
}

timespec PosixTimer::remaining() const {
    itimerspec span{};
    if (timer_gettime(timer_, &span) != 0)
        log_message(LOG_ERR, "timer_gettime() failed: %s", strerror(errno));
    return span.it_value;
}
