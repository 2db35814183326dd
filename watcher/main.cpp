// lineward: stops the web server five minutes after start and gives the
// factory settings back to whoever holds the reset button at power-up.
#include <pthread.h>
#include <signal.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "common/config.h"
#include "common/log.h"
#include "platform/platform.h"
#include "sim/virtual_platform.h"
#include "watcher/options.h"
#include "watcher/pace.h"
#include "watcher/reset_button.h"
#include "watcher/web_timer.h"

namespace {

// A thread with the default attributes; an empty one (logged) when the
// system can't make it.
std::thread start(const char* name, void (*work)()) {
    try {
        std::thread thread(work);
        // Named from here, so the name is there before the next thread starts.
        pthread_setname_np(thread.native_handle(), name);
        return thread;
    } catch (const std::system_error& error) {
        log_message(LOG_ERR, "pthread_create() failed: %s", strerror(error.code().value()));
        return {};
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    const WatcherOptions options = parse_watcher_options(argc, argv);
    if (!options.ok) {
        fprintf(stderr, "%s: %s\n%s", argv[0], options.error.c_str(), watcher_usage(argv[0]).c_str());
        return 2;
    }

    log_sinks = LOG_SINK_SYSLOG;
    const char* slash = strrchr(argv[0], '/');
    set_log_ident(slash ? slash + 1 : argv[0]);
    init_config();  // threshold 4; no file is read. A failed allocation is logged and changes nothing.

    // SIGALRM closes the reset window; only the reset thread takes it, so
    // every thread started from here on (the virtual box's too) has it
    // blocked.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);

    if (options.simulate) {
        sim::SimulateOptions simulate;
        if (!sim::options_from_command_line(options, argv[0], simulate))
            return 2;
        std::string error;
        std::unique_ptr<platform::Platform> box = sim::start_virtual_box(simulate, error);
        if (!box) {
            fprintf(stderr, "%s: cannot start the virtual box: %s\n", argv[0], error.c_str());
            log_message(LOG_ERR, "Cannot start the virtual box: %s", error.c_str());
            return 1;
        }
        platform::install(std::move(box));
        set_watch_time_scale(options.time_scale);
    } else {
        platform::install(platform::make_linux_platform());
    }

    log_trace("Starting threads...");
    std::thread reset = start("lineward-reset", run_reset_button);
    std::thread web = start("lineward-httpd", run_web_server_timer);
    log_trace("Waiting for threads...");
    if (reset.joinable())
        reset.join();
    log_trace("reset thread finished");
    if (web.joinable())
        web.join();
    log_trace("httpd timer thread finished");
    free_config();
    log_trace("End of program.");
    return 0;
}
