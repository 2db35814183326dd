// The session that serves one camera to one TCP client.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "driver/camera_record.h"
#include "thread/camera_session_state.h"
#include "thread/protocol.h"

// Starts a detached thread for the client whose connection is
// `camera.owner_sock` (a blocking socket), right after the main loop claimed
// the camera for it. The thread first sends `unsent` (earlier answers the
// main loop could not send yet), then runs the rest of the connect:
// identification (a failure is answered with the driver's code and ends the
// session), init_camera and the connect answer; then it serves the client
// until it ends, releases the camera and unregisters the client (closing
// the socket). `early_bytes` are requests the client sent after its connect
// request, already read by the main loop. False (logged) when no thread
// could be started; the caller still owns the client and the claim.
bool start_camera_session(CameraRecord& camera, std::span<const uint8_t> early_bytes, std::vector<uint8_t> unsent = {});

// The answer to one request of a camera session (magic already checked):
// the response, and for a read request with status 0 the order to stream
// image_size bytes of the image after it (stream_image).
struct CameraAnswer {
    explicit CameraAnswer(Response r, bool stream = false) : response(std::move(r)), stream_image(stream) {}
    Response response;
    bool stream_image;
};
CameraAnswer serve_camera_request(CameraSession& session, const Request& request);

// Creates the session's timers and arms the clean timer (and, on
// dual-sample cameras, the cooler power timer). False when one can't be
// created or armed (logged): the session must end.
bool start_session_timers(CameraSession& session);
