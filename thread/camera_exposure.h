// Exposures of a camera session: start, abort, readiness, the readout, and
// the work of the exposure and clean timers.
//
// States: idle → exposing (start) → image ready (readout done, exposing
// false, bytes delivered) → idle at the next start. An abort goes back to
// idle, or to image ready when it keeps the image.
#pragma once

#include <cstdint>

#include "thread/camera_session_state.h"

// TCP_CMD_STARTEXPOSURE (`start_variant` false) and TCP_CMD_STARTEXPOSURE2.
// −1 when a readout of this session still fills the image buffer, for a
// negative time or an empty, negative or oversized window, and when the
// buffer can't be grown; otherwise the result of the steps that start the
// exposure (for short exposures: of the readout that makes it).
int start_exposure_request(CameraSession& session, const ExposureInfo& request, bool start_variant);

// TCP_CMD_ABORTEXPOSURE: −1 when no exposure runs. `keep` reads the image
// now; the result is then that of the readout.
int abort_exposure_request(CameraSession& session, uint8_t keep);

// TCP_CMD_IMAGEREADY.
int image_ready_request(CameraSession& session, bool& ready);

// TCP_CMD_READIMAGE / TCP_CMD_READIMAGE2 before the image is streamed: the
// CMOS types read the frame now. The status of the answer; −1 when the
// current image can never be complete (nothing delivered it and nothing
// will), so that a status of 0 always comes with image_size bytes.
int read_image_request(CameraSession& session, bool start_next);

// Timer work.
void exposure_expired(CameraSession& session);
void clean_expired(CameraSession& session);

// Waits for the background transfer of the last readout, if any; called
// before the image buffer is freed.
void finish_transfer(CameraSession& session);
