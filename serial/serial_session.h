// The session that bridges one serial position to one TCP client: a raw
// byte relay with Telnet escaping, RFC 2217 COM-PORT-OPTION requests, and
// NOTIFY-MODEMSTATE messages when CTS or DSR change.
//
// Two threads per session. The session thread relays both directions from
// one poll() and answers the client's Telnet and RFC 2217 requests; the modem
// thread watches the line counters (TIOCGICOUNT, every 20 ms) and reports
// CTS and DSR changes; the session ends it through an eventfd it polls. Each message, and each
// relayed run of device bytes, reaches the socket whole: the two threads take
// turns on it. Client bytes the device does not take at once are kept (the
// client is not read meanwhile, so TCP holds it back) and written as the
// device drains, while device bytes still flow to the client. A device that
// takes nothing for DEVICE_STALL_MS counts as stalled: what it does not take
// at once is dropped (logged when it starts and when the device takes bytes
// again), so the client's requests are served again.
#pragma once

#include "common/terminal.h"

// How long a device may refuse client bytes before they are dropped.
inline constexpr int DEVICE_STALL_MS = 5000;

// How long an unfinished Telnet command at the end of what a client sent
// waits for its remaining bytes before it is taken as data.
inline constexpr int TELNET_HOLD_MS = 500;

// Starts a detached thread that serves the client `port.client_sd` on the
// port's device until it ends, then releases the position and unregisters
// the client. False (logged) when no thread could be started.
bool start_serial_session(SerialPosition& port);
