#include "tests/unit/support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include "common/log.h"

LogCapture::LogCapture() : saved_stderr_(stderr), file_(tmpfile()), saved_sinks_(log_sinks.load()) {
    if (file_ == nullptr)
        throw std::runtime_error("LogCapture: no temporary file");
    fflush(stderr);
    stderr = file_;  // glibc's stderr is a plain variable
    log_sinks = LOG_SINK_STDERR;
}

LogCapture::~LogCapture() {
    stderr = saved_stderr_;
    fclose(file_);
    log_sinks = saved_sinks_;
}

std::string LogCapture::text() const {
    fflush(file_);
    std::string contents;
    char block[4096];
    for (off_t offset = 0;;) {
        ssize_t length = pread(fileno(file_), block, sizeof block, offset);
        if (length <= 0)
            break;
        contents.append(block, static_cast<size_t>(length));
        offset += length;
    }
    return contents;
}

bool LogCapture::has_line(const std::string& line) const {
    std::istringstream lines(text());
    for (std::string captured; std::getline(lines, captured);) {
        if (captured == line)
            return true;
    }
    return false;
}

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "telvad-unit.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("ScratchDir: mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::write(const std::string& name, const std::string& contents) const {
    const std::string file = path_ + "/" + name;
    std::ofstream out(file, std::ios::binary);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out)
        throw std::runtime_error("ScratchDir: can't write " + file);
    return file;
}

int open_descriptor_count() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}
