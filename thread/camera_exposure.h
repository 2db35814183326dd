// Exposures of a camera session: start, abort, readiness, the readout, and
// the work of the exposure and clean timers, all moving the session's
// exposure road (driver/exposure_road.h):
//
//   start       idle, exposing, ready, discarded → exposing (a new
//               generation; the running exposure, if any, is superseded);
//               short exposures of the classic cameras go on at once to
//               reading → ready or discarded. A start that is refused
//               changes nothing.
//   expiry      exposing → reading → ready / discarded (big cameras stay
//               reading until their background transfer ends), only for
//               the exposure whose due time has come.
//   abort       exposing → discarded, or → reading when it keeps the image.
//   read        CMOS types: exposing, ready, discarded → reading → ready /
//               discarded (the camera holds the frame); the others only
//               look.
#pragma once

#include <cstdint>

#include "thread/camera_session_state.h"

// TCP_CMD_STARTEXPOSURE (`start_variant` false) and TCP_CMD_STARTEXPOSURE2.
// −1, with nothing changed, for a negative or non-finite time, an empty,
// negative or oversized window, while a readout of this session still
// fills the image buffer or a download holds it, and when the buffer can't
// be grown; otherwise the result of the steps that start the exposure (for
// short exposures: of the readout that makes it).
int start_exposure_request(CameraSession& session, const ExposureInfo& request, bool start_variant);

// TCP_CMD_ABORTEXPOSURE: −1 when no exposure runs. `keep` reads the image
// now; the result is then that of the readout.
int abort_exposure_request(CameraSession& session, uint8_t keep);

// TCP_CMD_IMAGEREADY.
int image_ready_request(CameraSession& session, bool& ready);

// TCP_CMD_READIMAGE / TCP_CMD_READIMAGE2 before the image is streamed: the
// CMOS types read the frame now. 0 when image_size bytes of the image will
// follow (all in the buffer, or coming from the readout that runs); −1
// otherwise: nothing was exposed, the exposure is still running, it was
// discarded, or its readout failed.
int read_image_request(CameraSession& session, bool start_next);

// Timer work.
void exposure_expired(CameraSession& session);
void clean_expired(CameraSession& session);

// Waits for the background transfer of the last readout, if any; called
// before the image buffer is freed.
void finish_transfer(CameraSession& session);
