// The one logging call of telvad, and the trace points that produce nothing.
#pragma once

#include <atomic>

// Sinks of log_message(), as bits of log_sinks.
enum LogSink : int {
    LOG_SINK_SYSLOG = 1,
    LOG_SINK_STDERR = 2,
    LOG_SINK_STDOUT = 4,
};

// The current sink set; standard error only until the daemon detaches.
extern std::atomic<int> log_sinks;

// The syslog ident of every later message: "telvad" until changed. Set it
// once at start-up, before any other thread logs; the text is copied (at
// most 63 bytes kept).
void set_log_ident(const char* ident);

// Logs a printf-style message at a syslog priority (0..7) when the configured
// threshold lets it through, to every sink in log_sinks. Safe on any thread;
// each sink receives the whole message in one piece. errno is preserved.
void log_message(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A trace point: checks its format and arguments at compile time and emits
// nothing, ever.
inline void log_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void log_trace(const char*, ...) {}
