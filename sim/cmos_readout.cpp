#include "sim/cmos_readout.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

// Alignment steps of the exposure window go up to 16 pixels, so a window
// rounded up at the sensor's edge passes it by less than that.
constexpr uint32_t MAX_OVERHANG = 16;

// Words of a frame: `images` images of rows × cols, one after the other.
using WordSource = std::function<uint16_t(uint32_t image, uint32_t row, uint32_t col)>;

ReadoutStream word_stream(uint32_t images, uint32_t rows, uint32_t cols, WordSource word,
                          std::chrono::steady_clock::time_point ready_at) {
    ReadoutStream stream;
    if (images == 0 || rows == 0 || cols == 0) {
        stream.fill = [](uint64_t, uint8_t*, size_t) {};
        return stream;
    }
    stream.size = uint64_t{images} * rows * cols * 2;
    stream.start = ready_at;
    stream.fill = [rows, cols, word = std::move(word)](uint64_t offset, uint8_t* out, size_t length) {
        const uint64_t end = offset + length;
        uint64_t w = offset / 2;
        uint32_t col = static_cast<uint32_t>(w % cols);
        uint32_t row = static_cast<uint32_t>(w / cols % rows);
        uint32_t image = static_cast<uint32_t>(w / (uint64_t{cols} * rows));
        for (; 2 * w < end; ++w) {
            const uint16_t v = word(image, row, col);
            const uint64_t at = 2 * w;
            if (at >= offset)
                out[at - offset] = static_cast<uint8_t>(v);
            if (at + 1 < end)
                out[at + 1 - offset] = static_cast<uint8_t>(v >> 8);
            if (++col == cols) {
                col = 0;
                if (++row == rows) {
                    row = 0;
                    ++image;
                }
            }
        }
    };
    return stream;
}

int64_t merged(uint32_t b, HdrCoefficients k) { return k.offset + ((int64_t{k.gain} * b) >> 10); }

}  // namespace

CmosLayout cmos_layout(int type, int camera_class, uint32_t width, uint32_t height) {
    CmosLayout layout;
    layout.type = type;
    layout.width = width;
    layout.height = height;
    if (type != 24) {
        if (camera_class == 8 || camera_class == 9)
            layout.margin = 24;
        else if (camera_class == 11 || camera_class == 12)
            layout.margin = 48;
        layout.margin = std::min(layout.margin, width);
        layout.mirror_columns = camera_class == 6 || camera_class == 8;
    }
    return layout;
}

uint16_t low_gain_value(uint16_t p, HdrCoefficients k) {
    if (k.gain <= 0)
        return 0;
    const double estimate = (static_cast<double>(p) - k.offset) * 1024.0 / k.gain;
    const int64_t guess = std::clamp<int64_t>(static_cast<int64_t>(std::floor(estimate)), 0, 65535);
    uint32_t best = static_cast<uint32_t>(guess);
    for (int64_t b = std::max<int64_t>(guess - 1, 0); b <= std::min<int64_t>(guess + 2, 65535); ++b) {
        if (std::llabs(merged(static_cast<uint32_t>(b), k) - p) < std::llabs(merged(best, k) - p))
            best = static_cast<uint32_t>(b);
    }
    return static_cast<uint16_t>(best);
}

GainImages gain_images(uint8_t read_mode_parameter) {
    switch (read_mode_parameter) {
    case 1: return GainImages::high;
    case 2: return GainImages::low;
    default: return GainImages::both;
    }
}

bool cmos_window_valid(const CmosLayout& layout, const CmosExposureRequest& r, unsigned bin) {
    if ((bin != 1 && bin != 2) || r.width == 0 || r.height == 0)
        return false;
    if (layout.type == 24)
        return uint32_t{r.x0} + r.width <= layout.width / bin && uint32_t{r.y0} + r.height <= layout.height / bin;
    const uint32_t columns = layout.width - layout.margin;
    if (r.width <= layout.margin || r.width % bin != 0 || r.height % bin != 0)
        return false;
    if (r.x0 >= columns || r.y0 >= layout.height)
        return false;
    return uint32_t{r.x0} + (r.width - layout.margin) < columns + MAX_OVERHANG &&
           uint32_t{r.y0} + r.height < layout.height + MAX_OVERHANG;
}

ReadoutStream cmos_frame_stream(const CmosLayout& layout, const CmosExposureRequest& r, unsigned bin,
                                GainImages images, HdrCoefficients k, PixelSource pixel,
                                std::chrono::steady_clock::time_point ready_at) {
    const uint32_t f = std::max(bin, 1u);
    if (layout.type == 24) {
        const uint32_t cells_w = layout.width / f, cells_h = layout.height / f;
        const uint32_t x0 = r.x0, y0 = r.y0;
        WordSource word = [cells_w, cells_h, x0, y0, images, k, pixel = std::move(pixel)](
                              uint32_t image, uint32_t row, uint32_t col) -> uint16_t {
            const uint32_t cx = x0 + col, cy = y0 + row;
            if (cx >= cells_w || cy >= cells_h)
                return CMOS_DARK_LEVEL;
            const uint16_t p = pixel(cx, cells_h - 1 - cy);
            const bool low = images == GainImages::low || (images == GainImages::both && image == 1);
            return low ? low_gain_value(p, k) : p;
        };
        return word_stream(images == GainImages::both ? 2 : 1, r.height, r.width, std::move(word), ready_at);
    }
    // A frame from (x0, y0) starts at the first whole cell of the grid.
    const int64_t cx0 = (int64_t{r.x0} + f - 1) / f, cy0 = (int64_t{r.y0} + f - 1) / f;
    const int64_t columns = layout.width - layout.margin, rows = layout.height;
    const uint32_t margin = layout.margin / f;
    const bool mirror = layout.mirror_columns;
    WordSource word = [cx0, cy0, columns, rows, margin, mirror, f, pixel = std::move(pixel)](
                          uint32_t, uint32_t row, uint32_t col) -> uint16_t {
        if (col < margin)
            return CMOS_DARK_LEVEL;
        const int64_t cx = cx0 + (col - margin), cy = cy0 + row;
        // The image's first column and row of the cell.
        const int64_t ix = mirror ? columns - f * (cx + 1) : f * cx;
        const int64_t iy = mirror ? f * cy : rows - f * (cy + 1);
        if (ix < 0 || iy < 0 || ix + f > columns || iy + f > rows)
            return CMOS_DARK_LEVEL;
        return pixel(static_cast<uint32_t>(ix / f), static_cast<uint32_t>(iy / f));
    };
    return word_stream(1, r.height / f, r.width / f, std::move(word), ready_at);
}

}  // namespace sim
