// Termination signals and the flag that ends the main loop.
#pragma once

#include <atomic>

// Set by the termination signals and by the main loop's fatal errors; the loop
// ends after the round in which it sees it set.
extern std::atomic<bool> quit_requested;

// Ignores SIGCHLD, SIGTSTP, SIGTTOU and SIGTTIN, and makes SIGHUP, SIGINT,
// SIGQUIT and SIGTERM set quit_requested. Whichever thread takes the signal,
// it also makes quit_wake_fd() readable, so the main loop wakes at once.
// 0, or the negated errno.
int install_signal_handlers();

// The read end of the wake-up pipe (-1 before install_signal_handlers). It
// belongs to the main loop, which watches it and drains it.
int quit_wake_fd();

// Reads every pending wake-up byte.
void drain_quit_wake();
