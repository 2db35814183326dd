#include "common/simulate_options.h"

#include <cmath>
#include <cstdlib>

bool take_simulate_option(int option, int argc, char* const argv[], SimulateArguments& arguments,
                          std::string& error) {
    switch (option) {
    case OPTION_SIMULATE:
        arguments.simulate = true;
        if (optarg)
            arguments.scenario = optarg;
        else if (optind < argc && argv[optind][0] != '-')
            arguments.scenario = argv[optind++];
        return true;
    case OPTION_SIM_SOCKET:
        arguments.socket = optarg;
        return true;
    case OPTION_SIM_TIME_SCALE: {
        char* end = nullptr;
        arguments.time_scale = strtod(optarg, &end);
        const double scale = arguments.time_scale;
        if (end == optarg || *end != '\0' || !std::isfinite(scale) || scale < 0.001 || scale > 1.0)
            error = std::string("--sim-time-scale: not a factor from 0.001 to 1: ") + optarg;
        return true;
    }
    default:
        return false;
    }
}
