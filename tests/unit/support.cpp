#include "tests/unit/support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include "common/log.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#define TELVAD_TEST_SANITIZED 1
#endif

namespace {

// Sanitizer reports must not vanish into a capture file when the code under
// test is what they are about.
void send_sanitizer_reports_to(int fd) {
#ifdef TELVAD_TEST_SANITIZED
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
#else
    (void)fd;
#endif
}

}  // namespace

LogCapture::LogCapture() : saved_sinks_(log_sinks.load()) {
    fflush(stderr);
    saved_stderr_ = dup(STDERR_FILENO);
    FILE* file = tmpfile();
    if (saved_stderr_ < 0 || file == nullptr)
        throw std::runtime_error("LogCapture: can't redirect standard error");
    file_ = dup(fileno(file));
    fclose(file);
    send_sanitizer_reports_to(saved_stderr_);
    dup2(file_, STDERR_FILENO);
    log_sinks = LOG_SINK_STDERR;
}

LogCapture::~LogCapture() {
    fflush(stderr);
    dup2(saved_stderr_, STDERR_FILENO);
    send_sanitizer_reports_to(STDERR_FILENO);
    close(saved_stderr_);
    close(file_);
    log_sinks = saved_sinks_;
}

std::string LogCapture::text() const {
    fflush(stderr);
    std::string contents;
    char block[4096];
    for (off_t offset = 0;;) {
        ssize_t length = pread(file_, block, sizeof block, offset);
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
