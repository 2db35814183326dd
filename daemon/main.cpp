// telvad: cameras, filter wheels and serial ports of this box on the network.
#include <malloc.h>
#include <syslog.h>

#include <cstdio>
#include <memory>
#include <string>

#include "common/config.h"
#include "common/log.h"
#include "common/pid_lock.h"
#include "daemon/main_loop.h"
#include "daemon/options.h"
#include "daemon/version.h"
#include "driver/firmware_source.h"
#include "platform/platform.h"
#include "sim/virtual_platform.h"
#include "thread/session_timers.h"

int main(int argc, char* argv[]) {
    const Options options = parse_options(argc, argv);
    switch (options.action) {
    case Options::Action::help:
        fputs(usage_text(argv[0]).c_str(), stdout);
        return 0;
    case Options::Action::version:
        printf("telvad %d (built %s %s)\n", TELVAD_VERSION, TELVAD_BUILD_DATE, TELVAD_BUILD_TIME);
        return 0;
    case Options::Action::usage_error:
        fprintf(stderr, "%s: %s\n%s", argv[0], options.error.c_str(), usage_text(argv[0]).c_str());
        return 2;
    case Options::Action::run:
        break;
    }
    // Image buffers, readout buffers and Alpaca frames are mapped of their
    // own and go back to the system when freed. Left to itself, the
    // allocator raises this threshold to the largest block freed so far, and
    // frames below 32 MB then stay in the arenas of the many short-lived
    // session and reader threads.
    // An allocator that keeps its own policy (a sanitizer's) refuses it;
    // that costs memory, not service, so it is no error.
    if (mallopt(M_MMAP_THRESHOLD, 256 * 1024) != 1)
        log_message(LOG_DEBUG, "mallopt(M_MMAP_THRESHOLD) refused: freed frames stay with the allocator's own policy");
    sim::SimulateOptions simulate;
    // The scenario is read before set_pid_lock changes to "/", while a
    // relative path still means what the user meant.
    if (options.simulate && !sim::options_from_command_line(options, argv[0], simulate))
        return 2;
    if (options.foreground)
        log_sinks = LOG_SINK_SYSLOG | LOG_SINK_STDERR;

    if (int result = init_config(); result != 0)
        return 1;
    if (options.config_path)
        daemon_config->config_path = options.config_path;
    read_config();

    if (!options.simulate) {
        platform::install(platform::make_linux_platform());
        install_firmware_source(firmware_files(FIRMWARE_DIRECTORY));
    }

    if (int result = set_pid_lock(options.foreground); result != 0)
        return result;
    if (options.simulate) {
        // The virtual box runs a thread of its own, which must be born in
        // the process that serves, after set_pid_lock's fork.
        std::string error;
        std::unique_ptr<platform::Platform> virtual_box = sim::start_virtual_box(simulate, error);
        if (!virtual_box) {
            log_message(LOG_ERR, "Cannot start the virtual box: %s", error.c_str());
            common_cleanup();
            return 1;
        }
        platform::install(std::move(virtual_box));
        // Its cameras take the built-in stand-ins, which real ones never get.
        install_firmware_source(builtin_firmware());
        set_session_time_scale(options.time_scale);
    }
    return run_main_loop(options.foreground);
}
