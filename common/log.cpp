#include "common/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <syslog.h>
#include <vector>

#include "common/config.h"

std::atomic<int> log_sinks{LOG_SINK_STDERR};

namespace {

// openlog() keeps the pointer, so the text lives here for good.
char log_ident[64] = "telvad";

// Writes "message\n" with one call, so that lines of concurrent threads never
// interleave.
__attribute__((format(printf, 2, 0))) void print_line(FILE* stream, const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(small, sizeof small - 1, format, copy);
    va_end(copy);
    if (length < 0)
        return;
    if (static_cast<size_t>(length) < sizeof small - 1) {
        small[length] = '\n';
        fwrite(small, 1, static_cast<size_t>(length) + 1, stream);
        return;
    }
    std::vector<char> large(static_cast<size_t>(length) + 2);
    vsnprintf(large.data(), large.size() - 1, format, args);
    large[static_cast<size_t>(length)] = '\n';
    fwrite(large.data(), 1, static_cast<size_t>(length) + 1, stream);
}

}  // namespace

void set_log_ident(const char* ident) {
    snprintf(log_ident, sizeof log_ident, "%s", ident);
}

void log_message(int level, const char* format, ...) {
    const int saved_errno = errno;
    if (log_threshold_now() < level) {
        errno = saved_errno;
        return;
    }

    const int sinks = log_sinks.load(std::memory_order_relaxed);
    va_list args;
    if (sinks & LOG_SINK_SYSLOG) {
        openlog(log_ident, LOG_PID, LOG_DAEMON);
        va_start(args, format);
        vsyslog(LOG_DAEMON | level, format, args);
        va_end(args);
    }
    if (sinks & LOG_SINK_STDERR) {
        va_start(args, format);
        print_line(stderr, format, args);
        va_end(args);
    }
    if (sinks & LOG_SINK_STDOUT) {
        va_start(args, format);
        print_line(stdout, format, args);
        va_end(args);
    }
    errno = saved_errno;
}
