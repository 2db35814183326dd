// The watcher's clock: every wait is its real length times a scale, 1 on
// the box; `lineward --simulate --sim-time-scale F` makes it F so tests
// need not wait five minutes. Set once before the threads start.
#pragma once

#include <time.h>

void set_watch_time_scale(double scale);

// `seconds` of the watcher's time as a span of the system's clock.
timespec watch_span(double seconds);

// The whole seconds of the watcher's time in a span of the system's clock
// (rounded down): what the countdown shows.
long whole_watch_seconds(const timespec& span);

// Sleeps `seconds` of the watcher's time; resumes after signals.
void watch_sleep(double seconds);

// A poll(2) time-out of `ms` milliseconds of the watcher's time (at least 1).
int watch_poll_ms(int ms);
