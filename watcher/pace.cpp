#include "watcher/pace.h"

#include <cerrno>
#include <cmath>

namespace {

double time_scale = 1.0;

constexpr double NANO = 1e9;

}  // namespace

void set_watch_time_scale(double scale) { time_scale = scale; }

timespec watch_span(double seconds) {
    const auto ns = static_cast<long long>(std::llround(seconds * time_scale * NANO));
    return {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

long whole_watch_seconds(const timespec& span) {
    const double ns = static_cast<double>(span.tv_sec) * NANO + static_cast<double>(span.tv_nsec);
    return static_cast<long>(std::floor(ns / (time_scale * NANO)));
}

void watch_sleep(double seconds) {
    timespec left = watch_span(seconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

int watch_poll_ms(int ms) {
    const long scaled = std::lround(ms * time_scale);
    return scaled < 1 ? 1 : static_cast<int>(scaled);
}
