#include "daemon/options.h"

#include <getopt.h>

#include <string_view>

namespace {

const option LONG_OPTIONS[] = {
    {"foreground", no_argument, nullptr, 'f'},
    {"config", required_argument, nullptr, 'c'},
    SIMULATE_LONG_OPTIONS,
    {"version", no_argument, nullptr, 'V'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// The option getopt_long just refused. A long one is the argument before
// optind, with optopt 0 when unknown and its value when it was given a wrong
// argument; a short one is only in optopt (optind may still be on its
// cluster, after an earlier long option).
std::string offending_option(char* const argv[]) {
    const std::string_view last = argv[optind - 1];
    if (optopt == 0)
        return std::string(last);
    if (last.starts_with("--")) {
        const std::string_view name = last.substr(2, last.find('=') - 2);
        for (const option& candidate : LONG_OPTIONS) {
            if (candidate.name != nullptr && candidate.val == optopt && !name.empty() &&
                std::string_view(candidate.name).starts_with(name))
                return "--" + std::string(name);
        }
    }
    return std::string("-") + static_cast<char>(optopt);
}

}  // namespace

Options parse_options(int argc, char* const argv[]) {
    Options options;
    optind = 0;  // full reset, so that repeated calls (tests) start afresh
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":fc:Vh", LONG_OPTIONS, nullptr)) != -1) {
        if (take_simulate_option(c, argc, argv, options, options.error)) {
            if (!options.error.empty()) {
                options.action = Options::Action::usage_error;
                return options;
            }
            continue;
        }
        switch (c) {
        case 'f': options.foreground = true; break;
        case 'c': options.config_path = optarg; break;
        case 'V': options.action = Options::Action::version; return options;
        case 'h': options.action = Options::Action::help; return options;
        case ':':
            options.action = Options::Action::usage_error;
            options.error = "option requires an argument: " + offending_option(argv);
            return options;
        default:
            options.action = Options::Action::usage_error;
            options.error = "unknown option: " + offending_option(argv);
            return options;
        }
    }
    if (optind < argc) {
        options.action = Options::Action::usage_error;
        options.error = std::string("unexpected argument: ") + argv[optind];
    } else if (options.time_scale != 1.0 && !options.simulate) {
        options.action = Options::Action::usage_error;
        options.error = "--sim-time-scale needs --simulate";
    }
    return options;
}

std::string usage_text(const char* program) {
    return std::string("Usage: ") + program + " [OPTION]...\n"
           "Serve the cameras, filter wheels and serial ports of this box on the network.\n"
           "\n"
           "  -f, --foreground   stay in the foreground (no fork, no root needed);\n"
           "                     log to standard error as well as syslog\n"
           "  -c, --config FILE  read FILE before /etc/telvad.conf\n"
           "      --simulate [FILE]  serve the virtual box instead of real hardware;\n"
           "                     run the control commands of FILE first\n"
           "      --sim-socket PATH  the virtual box's control socket\n"
           "                     (default /run/telvad-sim.sock)\n"
           "      --sim-time-scale F  with --simulate: run the camera sessions' ramp,\n"
           "                     clean and cooler power timers F times their period\n"
           "                     (0.001 to 1; for tests)\n"
           "  -V, --version      print the version and build date, then exit\n"
           "  -h, --help         print this help, then exit\n";
}
