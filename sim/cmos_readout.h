// The frames of the virtual CMOS cameras (types 22-24): the bytes a camera
// streams after its readout command, made from the image the daemon must
// deliver by inverting the layout the daemon's readout expects.
//
// Every frame is a run of 16-bit little-endian words, row after row, with
// no padding. What each word holds:
// - Types 22 and 23: the requested window of the sensor in the camera's own
//   orientation. Classes 6 and 8 count columns from the image's right edge
//   (rows as the image's); the others count rows from the image's bottom
//   edge (columns as the image's). Classes 8 and 9 start every row with 24
//   margin columns, 11 and 12 with 48, which carry the dark level.
// - Type 24: rows from the bottom of the sensor up, all columns (the last
//   64 are overscan and carry the image as well). Readout mode 0 sends two
//   images one after the other: the high-gain image (the pattern itself),
//   then the low-gain image, each pixel the value b whose merged value
//   offset + ((gain·b) >> 10) comes nearest the pattern; so the daemon's
//   combination gives the pattern exactly up to 3600 and as near as the
//   gain's step allows above. Mode 1 sends the high-gain image alone, mode
//   2 (which modes 2 and 3 of the daemon both select) the low-gain one,
//   which the daemon's transform of mode 3 turns back into the pattern.
// - With hardware binning (factor f, types 22-24) the camera bins cells of
//   the sensor's fixed f × f grid: a frame from (x0, y0) starts at the first
//   whole cell, and each cell carries the image's pixel at binned
//   coordinates. Types 22 and 23 take x0, y0, width and height in sensor
//   pixels (then w/f × h/f cells are sent, the margin binned too); type 24
//   counts its request in cells already.
// - Pixels outside the sensor (a window rounded up past its edge) carry the
//   dark level.
#pragma once

#include <cstdint>
#include <functional>

#include "sim/camera_model.h"

namespace sim {

// Value of the margin columns and of pixels past the sensor's edge.
inline constexpr uint16_t CMOS_DARK_LEVEL = 240;

// How one CMOS camera lays out its frames.
struct CmosLayout {
    int type = 0;            // 22, 23 or 24
    uint32_t width = 0;      // as identified: margin columns and overscan included
    uint32_t height = 0;
    uint32_t margin = 0;     // columns at the start of every row (types 22, 23)
    bool mirror_columns = false;  // classes 6, 8; the others mirror rows
};

CmosLayout cmos_layout(int type, int camera_class, uint32_t width, uint32_t height);

// The image the daemon must deliver: the pixel at column x, row y (binned
// pixels when the camera bins).
using PixelSource = std::function<uint16_t(uint32_t x, uint32_t y)>;

// Coefficients of the dual-gain merge: value = offset + ((gain·b) >> 10).
struct HdrCoefficients {
    int32_t gain = 0;
    int32_t offset = 0;
};

// The low-gain value b (0..65535) whose merged value comes nearest p.
uint16_t low_gain_value(uint16_t p, HdrCoefficients k);

// Type 24: what readout mode parameter p ([0x03, p]) makes the camera send.
enum class GainImages : uint8_t { both, high, low };
GainImages gain_images(uint8_t read_mode_parameter);

// Whether the camera reads this window when it bins by `bin` (1 or 2): a
// non-empty window in whole cells that starts on the sensor and passes its
// edge by less than one alignment step (16 pixels; type 24 not at all).
bool cmos_window_valid(const CmosLayout& layout, const CmosExposureRequest& request, unsigned bin);

// The stream of one frame of a valid window. `ready_at`: a read before the
// exposure has ended waits for it, as the camera's bulk endpoint does.
ReadoutStream cmos_frame_stream(const CmosLayout& layout, const CmosExposureRequest& request, unsigned bin,
                                GainImages images, HdrCoefficients k, PixelSource pixel,
                                std::chrono::steady_clock::time_point ready_at);

}  // namespace sim
