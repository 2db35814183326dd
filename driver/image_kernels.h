// Image conversion kernels of the readouts: from the bytes a camera streams to
// the 16-bit host-order pixels a client receives.
//
// Pure functions over plain buffers: no camera record, no locks, no I/O. The
// readout functions pick the kernel and its parameters from the camera and
// call it after (or, for the streamed conversion, while) the data arrives.
//
// Conventions shared by every kernel:
// - Windows are clamped by the caller (clamp_window) before a kernel runs; a
//   kernel whose window or layout would reach past its input returns false
//   and writes nothing, so a bad geometry can never read out of bounds.
// - `out` holds at least w·h pixels and never overlaps the input. Output rows
//   are packed: w pixels each.
// - 16-bit little-endian input (new-interface and CMOS cameras) is read as
//   host-order uint16_t: the daemon runs on x86 only.
// - Kernels marked "team" split their output rows over the calling thread's
//   default OpenMP team with a static schedule: contiguous runs of rows, the
//   first n mod t threads one row more, each row written by one thread only.
#pragma once

#include <cstddef>
#include <cstdint>

// A rectangle of pixels: origin and size, in the pixels of the frame it
// indexes (binned pixels where a kernel bins).
struct Window {
    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
};

inline bool operator==(const Window& a, const Window& b) {
    return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h;
}

// The window cut to a frame_w × frame_h frame: the origin moved into
// [0, size − 1], the size cut to what remains from there (never negative).
// An empty frame gives an empty window at 0, 0.
Window clamp_window(Window window, int32_t frame_w, int32_t frame_h);

// v rounded down / up to a multiple of step (step > 0, v ≥ 0).
inline constexpr int32_t round_down(int32_t v, int32_t step) { return v - v % step; }
inline constexpr int32_t round_up(int32_t v, int32_t step) { return round_down(v + step - 1, step); }

// --- class 2 ---------------------------------------------------------------

// Where the pixels of a class-2 transfer lie. The camera sends h + 4 rows;
// each row starts with 8 bytes of padding, then w pixels, then the padding
// of the next row: 16-bit big-endian samples in the plain modes (w + 4
// columns), pairs of two such samples per pixel in the pair mode (w + 2
// columns of 4 bytes).
struct SmallFrameLayout {
    size_t transfer_bytes;  // what the camera sends
    size_t first;           // byte of the first pixel
    size_t row_bytes;       // from one row's first pixel to the next one's
    bool pairs;             // 4 bytes per pixel
};

SmallFrameLayout small_frame_layout(int32_t w, int32_t h, bool pair_mode);

// A class-2 transfer (in_size bytes) to w × h pixels: each big-endian
// sample swapped, or the floor mean of the two samples of a pair. False
// when in_size is smaller than the layout needs.
bool convert_small_frame(const uint8_t* in, size_t in_size, int32_t w, int32_t h,
                         bool pair_mode, uint16_t* out);

// --- streamed conversion (background reader of the big cameras) -----------

enum class StreamFormat : uint8_t {
    native16,     // 16-bit host-order pixels: copied as they are
    big_endian16, // 16-bit big-endian pixels: byte-swapped
    sample_pairs, // 4 bytes per pixel: two big-endian samples, floor mean
};

// Input bytes per output pixel of a stream format (2 or 4).
inline constexpr size_t stream_bytes_per_pixel(StreamFormat f) {
    return f == StreamFormat::sample_pairs ? 4 : 2;
}

// Converts the bytes [begin, end) of a stream that has arrived in `in`,
// writing the pixels they complete at their place in `out` (input byte p of
// pixel data lands at output pixel p / stream_bytes_per_pixel). Only whole
// pixels are converted; the result is the position up to which the input is
// done, the `begin` of the next call. A `begin` inside a pixel starts at
// that pixel, whose earlier bytes must be in `in`. Copies `native16` byte
// for byte, so an odd end is converted to the byte.
size_t convert_stream(StreamFormat format, const uint8_t* in, size_t begin, size_t end,
                      uint16_t* out);

// --- new-interface cameras (8-bit and 16-bit little-endian frames) ---------

// n bytes widened to n pixels in order.
void widen_u8(const uint8_t* in, size_t n, uint16_t* out);

// The window of an fw × fh frame copied row by row (bytes widened). Team.
bool copy_window_u8(const uint8_t* frame, int32_t fw, int32_t fh, Window window, uint16_t* out);
bool copy_window_u16(const uint16_t* frame, int32_t fw, int32_t fh, Window window,
                     uint16_t* out);

// Each output pixel the plain sum (not the mean) of its bx × by block of an
// fw × fh frame; the window is in binned pixels of that frame. Sums past
// 65535 are stored as 65535 rather than wrapped. Team.
bool sum_blocks_u8(const uint8_t* frame, int32_t fw, int32_t fh, int bx, int by,
                   Window window, uint16_t* out);
bool sum_blocks_u16(const uint16_t* frame, int32_t fw, int32_t fh, int bx, int by,
                    Window window, uint16_t* out);

// --- CMOS types 22 and 23 --------------------------------------------------

// A frame as these cameras deliver it: `rows` rows of `stride` pixels, the
// first `margin` columns of each row unused. Windows index the columns after
// the margin, so the frame is (stride − margin) pixels wide.
struct CmosFrame {
    const uint16_t* data;
    size_t stride;
    int32_t rows;
    int32_t margin;
};

// Margin columns and saturation value C of a class (sensor variant 7 is the
// 12-bit sensor); the margin is divided by the hardware binning factor
// where the camera bins.
int32_t cmos_margin_columns(uint32_t camera_class);
uint16_t cmos_saturation_value(uint32_t camera_class, uint32_t sensor_variant);

// Classes 6 and 8 write every row mirrored left-to-right, rows in order; the
// other classes write rows left-to-right, the last window row first.
enum class RowOrder : uint8_t { mirrored, reversed };

inline RowOrder cmos_row_order(uint32_t camera_class) {
    return camera_class == 6 || camera_class == 8 ? RowOrder::mirrored : RowOrder::reversed;
}

// Software binning of CMOS frames.
struct CmosBinning {
    int bx = 1;               // block size, 1..255 each
    int by = 1;
    bool sum = false;         // sum capped at min(C·bx·by, 65535); else the floor mean
    bool saturate = false;    // a block holding a pixel equal to C saturates
    uint16_t saturation = 0;  // C
};

// The window clamped to a CMOS frame measured in binned pixels (bx = by = 1
// for the unbinned copies).
Window clamp_to_cmos_frame(const CmosFrame& frame, Window window, int bx, int by);

// The window copied unbinned in the given row order. Team.
bool cmos_copy(const CmosFrame& frame, Window window, RowOrder order, uint16_t* out);

// Software binning: output pixel (c, r) covers the bx × by block at column
// margin + (x + c)·bx, row (y + r)·by of the frame, and is written to row r
// right-to-left (mirrored) or to row h − 1 − r left-to-right (reversed). A
// saturated block gives min(C·bx·by, 65535) with `sum`, else C. Team.
bool cmos_bin(const CmosFrame& frame, Window window, const CmosBinning& binning,
              RowOrder order, uint16_t* out);

// --- type 24 ---------------------------------------------------------------

enum class GainMode : uint8_t {
    plain,      // copy, or the block sum (stored as at most 65535)
    combine,    // the two gain images merged pixel by pixel
    transform,  // the pixel (or block sum) scaled by the coefficients
};

// Frames of type 24: `first` and, for combine, `second` (the other gain
// image, same size, usually right after the first), each fw × fh pixels.
struct GainFrame {
    const uint16_t* first;
    const uint16_t* second;
    int32_t fw;
    int32_t fh;
};

struct GainCoefficients {
    int32_t gain;    // hdr_gain, in 1/1024
    int32_t offset;  // hdr_offset
};

// The merged value of a pixel: a when a ≤ 3600, else
// offset + ((gain·b) >> 10), held within 0..65535.
uint16_t combine_gains(uint16_t a, uint16_t b, GainCoefficients k);
// offset + ((gain·v) >> 10), held within 0..65535.
uint16_t transform_gain(uint64_t v, GainCoefficients k);

// Output row r comes from (binned) frame row fh/by − y − 1 − r, columns from
// x on (times bx); the window is in binned pixels of the frame. With bx × by
// blocks, combine sums the merged values of the block (at most 65535),
// transform scales the block sum. Team.
bool convert_gain_frame(const GainFrame& frame, Window window, int bx, int by, GainMode mode,
                        GainCoefficients k, uint16_t* out);
