// The options with which telvad and lineward run on the virtual box instead
// of the hardware (for tests and for writing client software):
//   --simulate [FILE]    the virtual box; run the control lines of FILE first
//   --sim-socket PATH    its control socket
//   --sim-time-scale F   the program's waits F times as long (0.001 to 1)
#pragma once

#include <getopt.h>

#include <optional>
#include <string>

struct SimulateArguments {
    bool simulate = false;
    std::optional<std::string> scenario;
    std::string socket;        // the program's default until --sim-socket
    double time_scale = 1.0;
};

// getopt_long values of the three options; a program's own long options
// stay below them.
enum SimulateOption { OPTION_SIMULATE = 256, OPTION_SIM_SOCKET, OPTION_SIM_TIME_SCALE };

#define SIMULATE_LONG_OPTIONS                                              \
    {"simulate", optional_argument, nullptr, OPTION_SIMULATE},            \
        {"sim-socket", required_argument, nullptr, OPTION_SIM_SOCKET},    \
        {"sim-time-scale", required_argument, nullptr, OPTION_SIM_TIME_SCALE}

// Takes getopt_long's answer `option` when it is one of the three: true,
// with `arguments` updated or, for a value out of range, `error` set.
// false for any other option. "--simulate FILE" as well as
// "--simulate=FILE": a following word that is no option is the file.
bool take_simulate_option(int option, int argc, char* const argv[], SimulateArguments& arguments,
                          std::string& error);
