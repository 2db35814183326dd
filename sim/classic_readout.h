// The raw image streams of the classic virtual cameras (classes 1-7 outside
// the CMOS types), built from the pixels the daemon must deliver by
// inverting each camera's layout: byte order, row padding, sample pairs.
//
// The exposure and readout commands that start them are installed by
// CameraModel::install_classic_readout (classic_readout.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "sim/camera_model.h"

namespace sim {

// The pixel the daemon must deliver at column x, row y of the grid the
// client sees (binned pixels where the camera bins).
using PixelSource = std::function<uint16_t(uint32_t x, uint32_t y)>;

// A window of that grid.
struct StreamWindow {
    uint32_t x = 0, y = 0, w = 0, h = 0;
};

// The sample class-2 cameras send in their padding and in the four rows
// after the window.
inline constexpr uint16_t SMALL_PAD_SAMPLE = 0xFADE;

// Class 2: h + 4 rows, each 8 bytes of padding followed by the window's w
// pixels; a pixel is one big-endian sample, or in pair mode two of them
// (sample_pair). The last 4 rows hold padding only.
ReadoutStream small_stream(PixelSource pixel, StreamWindow window, bool pairs);

enum class BigSamples : uint8_t {
    little16,  // one little-endian sample per pixel
    big16,     // one big-endian sample per pixel (dual-sample cameras outside mode 0)
    pairs,     // two big-endian samples per pixel (dual-sample cameras in mode 0)
};

// The older big cameras: the window's pixels row by row.
ReadoutStream big_stream(PixelSource pixel, StreamWindow window, BigSamples samples);

// New-interface cameras: the frame's pixels row by row, little-endian
// 16-bit, or in the 8-bit modes the low byte of each.
ReadoutStream new_interface_stream(PixelSource pixel, StreamWindow frame, bool eight_bit);

// The two samples a dual-sample camera sends for `value` at (x, y): their
// floor mean is the value, they differ from it wherever the range leaves
// room, and which comes first alternates from pixel to pixel, so that a
// reader that takes one sample, rounds the mean up or skips the byte swap
// gets other pixels.
std::pair<uint16_t, uint16_t> sample_pair(uint16_t value, uint32_t x, uint32_t y);

}  // namespace sim
