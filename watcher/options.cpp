#include "watcher/options.h"

#include <getopt.h>


namespace {

const option LONG_OPTIONS[] = {
    SIMULATE_LONG_OPTIONS,
    {nullptr, 0, nullptr, 0},
};

WatcherOptions refuse(WatcherOptions options, std::string error) {
    options.ok = false;
    options.error = std::move(error);
    return options;
}

}  // namespace

WatcherOptions parse_watcher_options(int argc, char* const argv[]) {
    WatcherOptions options;
    optind = 0;
    opterr = 0;
    int c;
    // "+": stop at the first word that is no option; no short options at all.
    while ((c = getopt_long(argc, argv, "+:", LONG_OPTIONS, nullptr)) != -1) {
        std::string error;
        if (take_simulate_option(c, argc, argv, options, error)) {
            if (!error.empty())
                return refuse(options, error);
            continue;
        }
        switch (c) {
        case ':': return refuse(options, std::string("option requires an argument: ") + argv[optind - 1]);
        default: return refuse(options, std::string("unknown option: ") + argv[optind - 1]);
        }
    }
    if (optind < argc)
        return refuse(options, std::string("unexpected argument: ") + argv[optind]);
    if (!options.simulate && (options.time_scale != 1.0 || options.socket != WatcherOptions().socket))
        return refuse(options, "--sim-socket and --sim-time-scale need --simulate");
    return options;
}

std::string watcher_usage(const char* program) {
    return std::string("Usage: ") + program + "\n"
           "Stops the web server 300 s after start and watches the factory-reset button\n"
           "for the first 12 s. Takes no options on the box; for tests and development:\n"
           "\n"
           "  --simulate [FILE]     watch the virtual box instead of the hardware;\n"
           "                        run the control commands of FILE first\n"
           "  --sim-socket PATH     the virtual box's control socket\n"
           "                        (default /run/lineward-sim.sock)\n"
           "  --sim-time-scale F    with --simulate: run every wait F times as long\n"
           "                        (0.001 to 1)\n";
}
