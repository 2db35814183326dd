// Becoming the one running daemon: root, detaching, the pid lock file.
#pragma once

// Makes the process root, forks (the parent exits 0), starts a new session,
// takes the lock file of config_lock() and installs the signal handlers.
// In foreground mode it neither forks nor needs root, and keeps logging to
// standard error. 0 on success; otherwise the exit status, after the
// common clean-up has run.
int set_pid_lock(bool foreground);

// Opens `path` (created 0644), locks it without waiting, truncates it and
// writes "<pid>\n". The descriptor stays open for the life of the process.
// The descriptor, or the negated errno.
int lock_reg(const char* path);

// Removes the lock file when this process holds its lock ("Removed lock file:
// %s") and frees the configuration. Safe to call more than once.
void common_cleanup();
