// telvad: cameras, filter wheels and serial ports of this box on the network.
#include <cstdio>

#include "common/config.h"
#include "common/log.h"
#include "daemon/main_loop.h"
#include "daemon/options.h"
#include "daemon/pid_lock.h"
#include "daemon/version.h"
#include "platform/platform.h"

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
    if (options.simulate) {
        fprintf(stderr, "%s: --simulate: this build has no virtual box yet\n", argv[0]);
        return 2;
    }
    if (options.foreground)
        log_sinks = LOG_SINK_SYSLOG | LOG_SINK_STDERR;

    if (int result = init_config(); result != 0)
        return 1;
    if (options.config_path)
        daemon_config->config_path = options.config_path;
    read_config();

    platform::install(platform::make_linux_platform());

    if (int result = set_pid_lock(options.foreground); result != 0)
        return result;
    return run_main_loop(options.foreground);
}
