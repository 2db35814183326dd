// The virtual implementation of the platform layer: camera nodes, USB
// wheels, udev events and serial modem lines of a VirtualBox instead of the
// hardware.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/simulate_options.h"
#include "platform/platform.h"
#include "sim/virtual_box.h"

namespace sim {

// A platform over `box`, without a control socket (tests drive the box
// with VirtualBox::execute).
std::unique_ptr<platform::Platform> make_virtual_platform(std::shared_ptr<VirtualBox> box);

// What `telvad --simulate` asks for.
struct SimulateOptions {
    std::string control_socket = "/run/telvad-sim.sock";
    std::string scenario_name;           // for messages: the file's path
    std::vector<std::string> scenario;   // lines run before serving; blank and '#' lines skipped
    BoxSettings box;
};

// Reads the lines of a scenario file. false with the reason in `error` when the file can't be read.
bool read_scenario(const std::string& path, std::vector<std::string>& lines, std::string& error);

// The box's options from a program's command line: its control socket and,
// when one was named, the scenario file's lines. false, with "PROGRAM:
// --simulate: REASON" printed on standard error, when the file can't be read.
bool options_from_command_line(const SimulateArguments& arguments, const char* program, SimulateOptions& options);

// A fresh box with the scenario run and the control socket served; the
// platform owns both and stops the socket's thread when destroyed. Threads
// start here, so call it in the process that serves (after any fork).
// nullptr with the reason in `error` when a scenario line fails or the
// socket can't be set up.
std::unique_ptr<platform::Platform> start_virtual_box(const SimulateOptions& options, std::string& error);

}  // namespace sim
