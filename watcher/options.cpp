#include "watcher/options.h"

#include <getopt.h>

#include <cmath>
#include <cstdlib>

namespace {

enum LongOnly { OPTION_SIMULATE = 256, OPTION_SIM_SOCKET, OPTION_SIM_TIME_SCALE };

const option LONG_OPTIONS[] = {
    {"simulate", optional_argument, nullptr, OPTION_SIMULATE},
    {"sim-socket", required_argument, nullptr, OPTION_SIM_SOCKET},
    {"sim-time-scale", required_argument, nullptr, OPTION_SIM_TIME_SCALE},
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
        switch (c) {
        case OPTION_SIMULATE:
            options.simulate = true;
            if (optarg)
                options.scenario = optarg;
            else if (optind < argc && argv[optind][0] != '-')
                options.scenario = argv[optind++];
            break;
        case OPTION_SIM_SOCKET: options.sim_socket = optarg; break;
        case OPTION_SIM_TIME_SCALE: {
            char* end = nullptr;
            options.time_scale = strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !std::isfinite(options.time_scale) || options.time_scale < 0.001 ||
                options.time_scale > 1.0)
                return refuse(options, std::string("--sim-time-scale: not a factor from 0.001 to 1: ") + optarg);
            break;
        }
        case ':': return refuse(options, std::string("option requires an argument: ") + argv[optind - 1]);
        default: return refuse(options, std::string("unknown option: ") + argv[optind - 1]);
        }
    }
    if (optind < argc)
        return refuse(options, std::string("unexpected argument: ") + argv[optind]);
    if (!options.simulate && (options.time_scale != 1.0 || options.sim_socket != WatcherOptions().sim_socket))
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
