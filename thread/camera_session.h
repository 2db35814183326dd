// The session that serves one camera to one TCP client.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "driver/camera_record.h"
#include "thread/protocol.h"

// Starts a detached thread that serves the client whose connection is
// `camera.owner_sock` until it ends, then releases the camera and
// unregisters the client (closing the socket). `early_bytes` are requests
// the client sent after its connect request, already read by the main loop.
// False (logged) when no thread could be started; the caller still owns the
// client.
bool start_camera_session(CameraRecord& camera, std::span<const uint8_t> early_bytes);

// The answer to one request of a camera session (magic already checked).
std::vector<uint8_t> serve_camera_request(CameraRecord& camera, const Request& request);
