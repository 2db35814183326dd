// Streaming an image to the client of a camera session, while it is read.
#pragma once

#include "thread/camera_session_state.h"
#include "thread/session_io.h"

// Sends the image_size bytes of the current image after its response
// header, each as soon as the readout has delivered it, looking again every
// STREAM_LOOK_MS while a readout still runs. Should the readout end short
// (a failed transfer, the camera unplugged), the rest is sent as zeros so
// the client still gets the length it was promised. The download holds the
// frame: no exposure starts under it. False (logged) when the connection
// failed, the peer closed or its link went down: the session must end.
bool stream_image(SessionConnection& connection, CameraSession& session);

// Before a read of a classic camera's image is answered: waits while the
// exposure still runs (its readout has not begun), watching the peer. True
// when the read may be answered now: the readout began, the exposure ended
// otherwise, the camera went away, or an abort request waits behind the
// read (the read is then refused and the abort served after it). False
// (logged) when the peer closed or the link went down: the session must end.
bool await_readout(SessionConnection& connection, CameraSession& session);
