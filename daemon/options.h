// The command line of telvad.
#pragma once

#include <optional>
#include <string>

#include "common/simulate_options.h"

// The simulate options are those of SimulateArguments (--simulate [FILE],
// --sim-socket PATH, --sim-time-scale F: session timer periods times F).
struct Options : SimulateArguments {
    enum class Action { run, help, version, usage_error };

    Options() { socket = "/run/telvad-sim.sock"; }

    Action action = Action::run;
    bool foreground = false;                // -f: no fork, no root needed, log to stderr too
    std::optional<std::string> config_path; // -c FILE
    std::string error;                      // what was wrong, for usage_error
};

// Parses argv. Pure apart from getopt's own state, which it resets.
Options parse_options(int argc, char* const argv[]);

// The usage text, for -h and for a bad command line.
std::string usage_text(const char* program);
