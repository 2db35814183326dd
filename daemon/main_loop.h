// The daemon's life after the pid lock: start-up, the select() loop, shutdown.
#pragma once

// Brings up the USB stack, the hot-plug monitor and the listening sockets,
// serves them on the calling (main) thread until quit_requested is set, and
// tears everything down in order. Returns the process exit status. In
// foreground mode it also prints where it listens on standard output.
int run_main_loop(bool foreground);
