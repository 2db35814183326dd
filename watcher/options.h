// The command line of lineward: none on the box; the simulate options for
// tests and development.
#pragma once

#include <optional>
#include <string>

#include "common/simulate_options.h"

// The simulate options are those of SimulateArguments; the time scale only
// with --simulate.
struct WatcherOptions : SimulateArguments {
    WatcherOptions() { socket = "/run/lineward-sim.sock"; }

    bool ok = true;
    std::string error;  // what was wrong, when !ok
};

// Pure apart from getopt's own state, which it resets.
WatcherOptions parse_watcher_options(int argc, char* const argv[]);

std::string watcher_usage(const char* program);
