// The session that bridges one serial position to one TCP client.
#pragma once

#include <span>

#include "common/terminal.h"

// Starts a detached thread that serves the client `port.client_sd` on the
// port's device until it ends, then releases the position and unregisters
// the client. False (logged) when no thread could be started.
bool start_serial_session(SerialPosition& port);
