#include "common/pid_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/config.h"
#include "common/log.h"
#include "common/signals.h"

namespace {

// The locked pid file; -1 until lock_reg succeeded in this process.
int lock_fd = -1;

// Logs "<call> failed: <error text>" and returns the negated errno.
int fail(const char* call) {
    const int error = errno;
    log_message(LOG_ERR, "%s failed: %s", call, strerror(error));
    return -error;
}

bool reopen_standard_streams() {
    return freopen("/dev/null", "r", stdin) && freopen("/dev/null", "w", stdout) &&
           freopen("/dev/null", "w", stderr);
}

int become_root() {
    if (getuid() != 0 && geteuid() != 0) {
        log_message(LOG_ERR, "Unable to set UID to root. Sudo?");
        return -1;
    }
    if (setuid(0) != 0)
        return fail("setuid()");
    log_message(LOG_INFO, "UID set to root");
    return 0;
}

int detach() {
    pid_t child = fork();
    if (child < 0)
        return fail("First fork()");
    if (child > 0)
        _exit(0);
    log_sinks = LOG_SINK_SYSLOG;
    if (setsid() < 0)
        return fail("setsid()");
    return 0;
}

int acquire(bool foreground) {
    if (!foreground || getuid() == 0 || geteuid() == 0) {
        if (int result = become_root(); result != 0)
            return result;
    }
    if (!foreground) {
        if (int result = detach(); result != 0)
            return result;
    }
    umask(077);
    if (chdir("/") != 0) {
        log_message(LOG_ERR, "chdir() failed: %s", strerror(errno));
        return -2;
    }
    int fd = lock_reg(config_lock());
    if (fd < 0) {
        log_message(LOG_ERR, "set_pid_lock() failed: %s", strerror(-fd));
        return fd;
    }
    lock_fd = fd;
    return 0;
}

}  // namespace

int lock_reg(const char* path) {
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail("open()");

    int result = 0;
    char pid[32];
    const int length = snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
    if (lockf(fd, F_TLOCK, 0) != 0)
        result = fail("lock_reg()");
    else if (ftruncate(fd, 0) != 0)
        result = fail("ftruncate()");
    else if (write(fd, pid, static_cast<size_t>(length)) != length)
        result = fail("write()");
    if (result != 0) {
        close(fd);
        return result;
    }
    return fd;
}

void common_cleanup() {
    if (daemon_config == nullptr)
        return;
    // Only the holder of the lock may remove the file: removing it after a
    // refused lock would hide the running daemon from the next start.
    if (lock_fd >= 0 && config_lock() && unlink(config_lock()) == 0)
        log_message(LOG_INFO, "Removed lock file: %s", config_lock());
    free_config();
}

int set_pid_lock(bool foreground) {
    int result = acquire(foreground);
    if (result != 0) {
        common_cleanup();
        return result;
    }
    if (!foreground && !reopen_standard_streams()) {
        log_message(LOG_ERR, "freopen() failed: %s", strerror(errno));
        exit(1);
    }
    result = install_signal_handlers();
    if (result != 0)
        common_cleanup();
    return result;
}
