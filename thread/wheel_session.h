// The session that serves one standalone wheel to one TCP client.
#pragma once

#include <cstdint>
#include <span>

#include <vector>

#include "driver/wheel.h"
#include "thread/protocol.h"

// Starts a detached thread for the client whose connection is
// `wheel.owner_sock` (a blocking socket), right after the main loop claimed
// the wheel for it. The thread sends `unsent` (earlier answers the main loop
// could not send yet), identifies the wheel and answers the connect (a
// failure is answered with the driver's code and ends the session), serves
// the client until it ends, then releases the wheel and unregisters the
// client (closing the socket). `early_bytes` are requests the client sent
// after its connect request, already read by the main loop. False (logged)
// when no thread could be started; the caller still owns the client and the
// claim.
bool start_wheel_session(WheelRecord& wheel, std::span<const uint8_t> early_bytes, std::vector<uint8_t> unsent = {});

// The answer to one request of a wheel session (magic already checked).
// Pure apart from the wheel operations it runs.
std::vector<uint8_t> serve_wheel_request(WheelRecord& wheel, const Request& request);
