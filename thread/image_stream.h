// Streaming an image to the client of a camera session, while it is read.
#pragma once

#include "thread/camera_session_state.h"
#include "thread/session_io.h"

// Sends the image_size bytes of the current image after its response
// header, each as soon as the readout has delivered it, looking again every
// STREAM_LOOK_MS while a readout still runs. Should the readout end short
// (a failed transfer, the camera unplugged), the rest is sent as zeros so
// the client still gets the length it was promised. False (logged) when the
// connection failed or its link went down: the session must end.
bool stream_image(SessionConnection& connection, CameraSession& session);
