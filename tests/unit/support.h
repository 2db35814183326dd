// Helpers shared by the unit tests: capturing what the daemon logs, and
// scratch files that vanish with the test.
#pragma once

#include <cstdio>
#include <string>

// While it lives, the stderr stream writes to a temporary file and log_sinks
// is standard error only, so every log_message() line that passes the
// threshold can be read back. Descriptor 2 itself stays as it is, so that
// sanitizer reports still reach the terminal. Restores both on destruction.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything written to standard error so far.
    std::string text() const;

    // True when one of the captured lines equals `line` exactly.
    bool has_line(const std::string& line) const;

private:
    FILE* saved_stderr_;
    FILE* file_;
    int saved_sinks_;
};

// A private temporary directory, removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }

    // Writes `contents` (any bytes, NULs included) to a file of that name and
    // returns its path.
    std::string write(const std::string& name, const std::string& contents) const;

private:
    std::string path_;
};

// The number of descriptors open in this process.
int open_descriptor_count();
