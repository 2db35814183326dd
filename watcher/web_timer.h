// The web-server timer: publishes a countdown for the web pages and stops
// the web server once it has run out.
#pragma once

inline constexpr int WEB_SERVER_SECONDS = 300;
inline constexpr const char* COUNTDOWN_PATH = "/run/lighttpd/timer";

// The thread's work: returns when the web server was stopped, or at once
// (logged) when the timer or the countdown file can't be set up, in which
// case the web server is left running.
void run_web_server_timer();
