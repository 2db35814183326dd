// The command line of telvad.
#pragma once

#include <optional>
#include <string>

struct Options {
    enum class Action { run, help, version, usage_error };

    Action action = Action::run;
    bool foreground = false;                // -f: no fork, no root needed, log to stderr too
    bool simulate = false;                  // --simulate: the virtual box instead of hardware
    std::optional<std::string> scenario;    // --simulate FILE: control lines run at start
    std::string sim_socket = "/run/telvad-sim.sock";  // --sim-socket PATH
    double sim_time_scale = 1.0;            // --sim-time-scale F: session timer periods times F
    std::optional<std::string> config_path; // -c FILE
    std::string error;                      // what was wrong, for usage_error
};

// Parses argv. Pure apart from getopt's own state, which it resets.
Options parse_options(int argc, char* const argv[]);

// The usage text, for -h and for a bad command line.
std::string usage_text(const char* program);
