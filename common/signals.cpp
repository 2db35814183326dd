#include "common/signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include "common/log.h"

std::atomic<bool> quit_requested{false};

namespace {

int wake_pipe[2] = {-1, -1};

void on_termination_signal(int signal_number) {
    if (signal_number == SIGHUP)
        log_trace("Got SIGHUP.");
    else
        log_trace("Got SIGINT, SIGQUIT or SIGTERM.");
    quit_requested = true;
    const int saved_errno = errno;
    if (wake_pipe[1] >= 0) {
        ssize_t ignored = write(wake_pipe[1], "q", 1);  // a full pipe already wakes the loop
        (void)ignored;
    }
    errno = saved_errno;
}

int set_action(int signal_number, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: select() must return EINTR
    if (sigaction(signal_number, &action, nullptr) != 0) {
        log_message(LOG_ERR, "sigaction() failed: %s", strerror(errno));
        return -errno;
    }
    return 0;
}

}  // namespace

int install_signal_handlers() {
    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        log_message(LOG_ERR, "pipe2() failed: %s", strerror(errno));
        return -errno;
    }
    for (int ignored : {SIGCHLD, SIGTSTP, SIGTTOU, SIGTTIN}) {
        if (int result = set_action(ignored, SIG_IGN); result != 0)
            return result;
    }
    for (int ending : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        if (int result = set_action(ending, on_termination_signal); result != 0)
            return result;
    }
    return 0;
}

int quit_wake_fd() { return wake_pipe[0]; }

void drain_quit_wake() {
    char bytes[64];
    while (read(wake_pipe[0], bytes, sizeof bytes) > 0) {
    }
}
