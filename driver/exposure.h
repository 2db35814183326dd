// Starting and ending exposures.
//
// Two families: the classic cameras are exposed with start_exposure and
// end_exposure around a host-timed wait (or expose and read in one readout
// request), the CMOS types 22-24 time their exposures themselves:
// start_exposure_cmos, image_ready, stop_exposure_cmos. Results are those of
// the transport (ok, busy, request_failed, device_status), and
// not_available for a camera of the other family; nothing is sent then.
#pragma once

#include <cstdint>

#include "driver/camera_record.h"
#include "driver/result.h"

// An exposure request, shared by the sessions and the Alpaca camera.
struct ExposureInfo {
    double exp_time = 0;  // seconds; negative: read out only (timed by the host)
    // Window origin and size in binned pixels. On return from the CMOS start
    // and from the readouts, x and y are the window's offset inside the
    // delivered frame, and w and h are clamped to what the frame holds.
    // The CMOS offsets count the frame's own pixels (the camera's binned
    // pixels when it bins, else sensor pixels), so that software binning
    // starts exactly at the window, whatever the frame's alignment; type 24
    // counts rows from the frame's top end, which is the image's first row.
    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
    uint8_t shutter = 0;  // non-zero: a light frame (open the shutter)
};

// Columns at the right of the type-24 frame that only the overscan option
// delivers.
inline constexpr int32_t TYPE_24_OVERSCAN_COLUMNS = 64;

// Classic cameras (types 22-24: not_available). New-interface cameras get [0x07,
// shutter]; the others clear the sensor, then open the shutter for a light
// frame (unless open) or close it for a dark one (if open), keeping
// shutter_is_open.
DriverResult start_exposure(CameraRecord& camera, const ExposureInfo& exposure);

// Classic cameras (types 22-24: not_available). Older cameras close an open shutter when
// `close` is set (its result ignored) and give ok; new-interface cameras
// with ver128_lo > 3 get [0x08, close, second]; older firmware ok.
DriverResult end_exposure(CameraRecord& camera, uint8_t close, uint8_t second);

// CMOS types only (else not_available): computes the hardware window of
// the exposure (fw, fh of the record; x, y of `exposure` become the
// window's offset in it), sets exp_time_actual to the time rounded to the
// camera's clock, and sends [0x24, mode, x0, y0, width, height, ticks32].
// `start_variant` asks for the variant the camera's flag bit 4 allows
// (request code 30). A window that is empty or reaches past the image
// (margin columns included) is refused and nothing is sent; on success w
// and h are what astro_readimage will deliver (type 24 cuts the whole width
// without overscan to the image columns). Tick counts are held at
// 0..0xFFFFFFFF. The record and `exposure` change only when the camera took
// the request.
DriverResult start_exposure_cmos(CameraRecord& camera, ExposureInfo& exposure, bool start_variant);

// CMOS types only (else not_available): ends the running exposure early,
// [0x26, flag].
DriverResult stop_exposure_cmos(CameraRecord& camera, uint8_t flag);

// CMOS types only (else not_available): whether the exposure has ended and
// the frame can be read, [0x25]. `ready` is false on anything but success;
// an answer without its second byte is bad_answer.
DriverResult image_ready(CameraRecord& camera, bool& ready);
