// What a camera is set up with when a client connects to it.
#pragma once

#include "driver/camera_info.h"
#include "driver/camera_record.h"

// Pause between the two shutter measurements. Only the fuzzers, which
// connect thousands of times a second, set it to 0.
inline constexpr unsigned SHUTTER_SETTLE_MS = 200;
inline unsigned shutter_settle_ms = SHUTTER_SETTLE_MS;

// Runs on connect, after `info` was read afresh from the camera: the class-2
// firmware flags (or fixed_read_mode), the shutter's open and close times
// measured twice and averaged, the version words (0 where a query fails),
// the CMOS cameras' hardware binning back to 1x1 and their time-stamp
// clock, a cleared sensor, and the class-10 dual-gain coefficients (from
// the camera's calibration words when both are plausible). Takes about
// 200 ms plus four shutter movements. Command failures are not reported:
// each leaves its field at its default. The caller holds the camera and no
// lock of it.
void init_camera(CameraRecord& camera, const CameraInfo& info);
