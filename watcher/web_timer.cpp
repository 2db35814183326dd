#include "watcher/web_timer.h"

#include <fcntl.h>
#include <signal.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/run_program.h"
#include "common/unique_fd.h"
#include "watcher/pace.h"
#include "watcher/posix_timer.h"

void run_web_server_timer() {
    // Never notifies: the remaining time is only read back.
    PosixTimer timer;
    if (!timer.create(SIGEV_NONE) || !timer.arm(watch_span(WEB_SERVER_SECONDS)))
        return;

    const UniqueFd file(open(COUNTDOWN_PATH, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file) {
        log_message(LOG_ERR, "open(%s) failed: %s", COUNTDOWN_PATH, strerror(errno));
        return;
    }
    char text[16];
    int length = snprintf(text, sizeof text, "%d", WEB_SERVER_SECONDS);
    if (write(file.get(), text, static_cast<size_t>(length)) != length) {
        log_message(LOG_ERR, "write(%s) failed: %s", COUNTDOWN_PATH, strerror(errno));
        return;
    }

    bool rewrite_failed = false;  // logged once: the countdown goes on regardless
    for (;;) {
        const long left = whole_watch_seconds(timer.remaining());
        if (left <= 0)
            break;
        length = snprintf(text, sizeof text, "%ld", left);
        const bool rewritten = ftruncate(file.get(), 0) == 0 &&
                               pwrite(file.get(), text, static_cast<size_t>(length), 0) == length;
        if (!rewritten && !rewrite_failed) {
            log_message(LOG_ERR, "Rewriting %s failed: %s", COUNTDOWN_PATH, strerror(errno));
            rewrite_failed = true;
        }
        watch_sleep(1.0);
    }
    run_program({{"/usr/bin/systemctl", "stop", "lighttpd"}});
}
