// The command line of lineward: none on the box; the simulate options for
// tests and development.
#pragma once

#include <optional>
#include <string>

struct WatcherOptions {
    bool ok = true;
    std::string error;                    // what was wrong, when !ok
    bool simulate = false;                // --simulate [FILE]
    std::optional<std::string> scenario;  // control lines run before the threads start
    std::string sim_socket = "/run/lineward-sim.sock";
    double time_scale = 1.0;              // --sim-time-scale F (only with --simulate)
};

// Pure apart from getopt's own state, which it resets.
WatcherOptions parse_watcher_options(int argc, char* const argv[]);

std::string watcher_usage(const char* program);
