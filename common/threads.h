// Thread helpers shared by the daemon's threads.
#pragma once

#include <functional>

// Runs `work` on a detached thread. False, with "pthread_create() failed"
// logged, when the thread can't be made.
bool start_detached(const char* what, std::function<void()> work);

// Sleeps `ms` milliseconds, resuming after signals.
void sleep_ms(long ms);
