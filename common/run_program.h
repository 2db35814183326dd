// Running other programs without a shell: an argument vector, a fixed
// search path and a minimal environment, so that no argument and nothing
// in the caller's environment can make us run something else.
#pragma once

#include <string>
#include <vector>

// Where programs named without a slash are looked for, whatever the
// caller's PATH says; it is also the only variable their environment gets.
inline constexpr const char kFixedSearchPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

struct ProgramRun {
    // argv[0] is an absolute path or a name looked up on kFixedSearchPath.
    std::vector<std::string> argv;
    // When set, the program's standard output goes to this file (created or
    // truncated, mode 0644) instead of ours; a symbolic link there is not
    // followed, the program is then not started.
    std::string output_path;
    // false: start the program and return without waiting for it.
    bool wait = true;
};

// Exit status of run_program() when the program could not be started.
inline constexpr int kNotStarted = -1;

// Runs the program with default signal dispositions and an empty signal
// mask. Returns its exit code (0..255), 128 + the signal number when a
// signal ended it, 0 for a program started without waiting, or kNotStarted
// (logged, errno set) when it could not be found or started.
int run_program(const ProgramRun& run);

// The path of `name` on kFixedSearchPath (names holding a slash are taken
// as they are), or an empty string when no executable file is found.
std::string find_program(const std::string& name);
