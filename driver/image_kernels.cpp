#include "driver/image_kernels.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

namespace {

// Threshold of the low-gain image below which its pixel is kept as it is.
constexpr uint32_t COMBINE_THRESHOLD = 3600;

inline uint16_t swap16(uint16_t v) { return static_cast<uint16_t>(v >> 8 | v << 8); }

// A 16-bit word from any byte address; the compiler turns it into one load.
inline uint16_t load16(const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t cap16(uint32_t v) { return std::min<uint32_t>(v, 65535); }

inline uint16_t clamp16(int64_t v) {
    return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 65535));
}

// Whether a window of binned pixels lies inside a frame of `cols` × `rows`
// pixels whose usable columns start at `col0`. Computed wide so that no
// geometry can overflow into a false yes.
bool window_fits(const Window& win, int bx, int by, int64_t col0, int64_t cols, int64_t rows) {
    if (win.x < 0 || win.y < 0 || win.w < 0 || win.h < 0 || bx < 1 || by < 1 || col0 < 0)
        return false;
    return col0 + (int64_t{win.x} + win.w) * bx <= cols &&
           (int64_t{win.y} + win.h) * by <= rows;
}

// How output rows map to frame rows.
struct RowPlan {
    int64_t first_row;   // frame row that output row 0 starts at
    int64_t step;        // frame rows from one output row to the next (±by or ±1)
    bool reverse_out;    // output row r is stored at h − 1 − r
    bool mirror;         // each output row is stored right-to-left
};

// --- the value of a block --------------------------------------------------
//
// Binning runs in two passes per output row: the block's rows are added
// column by column into a row of 32-bit sums (plain contiguous loops), then
// each run of bx sums becomes one pixel. Both passes vectorise; the
// per-pixel decisions are selects, not branches.

// The floor mean of n pixels. Through a float division while the sum stays
// exact in a float: the quotient of two exact floats is correctly rounded,
// and for n ≤ 256 the fraction of a non-integral mean (at least 1/n) can
// never round up to the next integer below 65536.
struct MeanOf {
    float n;
    uint32_t operator()(uint32_t s, uint32_t) const {
        // Through int32_t: SSE2 converts floats to signed integers only.
        return static_cast<uint32_t>(
            static_cast<int32_t>(static_cast<float>(static_cast<int32_t>(s)) / n));
    }
};

struct WideMeanOf {
    uint32_t n;
    uint32_t operator()(uint32_t s, uint32_t) const { return s / n; }
};

struct CappedSum {
    uint32_t cap;
    uint32_t operator()(uint32_t s, uint32_t) const { return std::min(s, cap); }
};

// A block holding a pixel equal to C gives `saturated`, else the inner rule.
template <class Inner>
struct Saturating {
    Inner inner;
    uint32_t saturated;
    uint32_t operator()(uint32_t s, uint32_t hits) const {
        // A mask, not a conditional: GCC keeps `?:` here as a branch, which
        // stops the whole row loop from vectorising.
        const uint32_t use = 0u - static_cast<uint32_t>(hits != 0);
        return (saturated & use) | (inner(s, 0) & ~use);
    }
};

struct ScaledSum {
    GainCoefficients k;
    uint32_t operator()(uint32_t s, uint32_t) const { return transform_gain(s, k); }
};

// --- the value of a pixel --------------------------------------------------

struct PlainValue {
    template <typename Px>
    uint32_t operator()(Px a, uint16_t) const { return a; }
};

// The merged value in 32-bit arithmetic; only for coefficients where
// gain·65535 and the offset cannot overflow it (see merge_fits_32).
struct Merge32 {
    int32_t gain;
    int32_t offset;
    uint32_t operator()(uint16_t a, uint16_t b) const {
        int32_t t = offset + ((gain * static_cast<int32_t>(b)) >> 10);
        t = std::min(std::max(t, 0), 65535);
        return a <= COMBINE_THRESHOLD ? a : static_cast<uint32_t>(t);
    }
};

struct Merge64 {
    GainCoefficients k;
    uint32_t operator()(uint16_t a, uint16_t b) const { return combine_gains(a, b, k); }
};

bool merge_fits_32(GainCoefficients k) {
    return k.gain >= -32768 && k.gain <= 32767 && k.offset >= -(1 << 30) &&
           k.offset <= (1 << 30);
}

// --- the row engine --------------------------------------------------------

// Bins the window: output row r adds frame rows plan.first_row + r·step + ky
// (ky < by), columns col0 + i for i < w·bx; `value` turns a pixel (and its
// partner in `second`) into what is summed, `finish` turns a block sum (and
// with HITS the count of its pixels equal to `hit_value`; then by ≤ 255)
// into the output pixel.
template <int BX, bool HITS, typename Px, typename Value, typename Finish>
void bin_rows(const Px* first, const uint16_t* second, size_t stride, size_t col0,
              const RowPlan& plan, int w, int h, int bx_runtime, int by, Value value,
              Finish finish, uint32_t hit_value, uint16_t* out) {
    const size_t bx = BX ? BX : static_cast<size_t>(bx_runtime);
    const size_t span = static_cast<size_t>(w) * bx;
    const size_t width = static_cast<size_t>(w);
#pragma omp parallel
    {
        std::vector<uint32_t> sums(span);
        std::vector<uint16_t> mirrored(plan.mirror ? width : 0);
        uint32_t* const acc = sums.data();
        uint16_t* const line = mirrored.data();
#pragma omp for schedule(static)
        for (int r = 0; r < h; ++r) {
            const int64_t row = plan.first_row + int64_t{r} * plan.step;
            for (int ky = 0; ky < by; ++ky) {
                const size_t at = static_cast<size_t>(row + ky) * stride + col0;
                const Px* a = first + at;
                const uint16_t* b = second ? second + at : nullptr;
                // The first row stores, so the sums need no clearing pass.
                const uint32_t keep = ky == 0 ? 0 : ~0u;
                if constexpr (HITS) {
                    // Each column counts its pixels equal to hit_value in the
                    // top byte of its sum: by ≤ 255 pixels of at most 65535
                    // stay below 1 << 24, and 255 hits fit the byte. One
                    // array and one pass instead of two.
                    for (size_t i = 0; i < span; ++i)
                        acc[i] = (acc[i] & keep) + value(a[i], 0) +
                                 (static_cast<uint32_t>(a[i] == hit_value) << 24);
                } else if (b) {
                    for (size_t i = 0; i < span; ++i) acc[i] = (acc[i] & keep) + value(a[i], b[i]);
                } else {
                    for (size_t i = 0; i < span; ++i) acc[i] = (acc[i] & keep) + value(a[i], 0);
                }
            }
            uint16_t* o = out + (plan.reverse_out ? size_t(h - 1 - r) : size_t(r)) * width;
            // A mirrored row is made forwards and then reversed: two simple
            // loops vectorise where one with a descending store does not.
            uint16_t* const dst = plan.mirror ? line : o;
            for (size_t c = 0; c < width; ++c) {
                uint32_t s = 0, any = 0;
                for (size_t k = 0; k < bx; ++k) {
                    const uint32_t v = acc[c * bx + k];
                    if constexpr (HITS) {
                        s += v & 0xFFFFFF;
                        any += v >> 24;
                    } else {
                        s += v;
                    }
                }
                dst[c] = static_cast<uint16_t>(finish(s, any));
            }
            if (plan.mirror)
                for (size_t c = 0; c < width; ++c) o[c] = line[width - 1 - c];
        }
    }
}

// bin_rows with the common block widths fixed at compile time, so the
// horizontal pass runs as straight-line code.
template <bool HITS, typename Px, typename Value, typename Finish>
void bin_any(const Px* first, const uint16_t* second, size_t stride, size_t col0,
             const RowPlan& plan, int w, int h, int bx, int by, Value value, Finish finish,
             uint32_t hit_value, uint16_t* out) {
    switch (bx) {
    case 1:
        bin_rows<1, HITS>(first, second, stride, col0, plan, w, h, bx, by, value, finish,
                          hit_value, out);
        break;
    case 2:
        bin_rows<2, HITS>(first, second, stride, col0, plan, w, h, bx, by, value, finish,
                          hit_value, out);
        break;
    case 3:
        bin_rows<3, HITS>(first, second, stride, col0, plan, w, h, bx, by, value, finish,
                          hit_value, out);
        break;
    case 4:
        bin_rows<4, HITS>(first, second, stride, col0, plan, w, h, bx, by, value, finish,
                          hit_value, out);
        break;
    default:
        bin_rows<0, HITS>(first, second, stride, col0, plan, w, h, bx, by, value, finish,
                          hit_value, out);
        break;
    }
}

// Plain block sums stored as at most 65535.
template <typename Px>
void sum_blocks(const Px* frame, size_t stride, const RowPlan& plan, size_t col0, int w, int h,
                int bx, int by, uint16_t* out) {
    bin_any<false>(frame, nullptr, stride, col0, plan, w, h, bx, by, PlainValue{},
                   CappedSum{65535}, 0, out);
}

// Copies w pixels of each frame row plan.first_row + r·step from column col0
// on, through `value` (a widening or a pixel rule), in the plan's order.
template <typename Px, typename Value>
void copy_rows(const Px* first, const uint16_t* second, size_t stride, size_t col0,
               const RowPlan& plan, int w, int h, Value value, uint16_t* out) {
    const size_t width = static_cast<size_t>(w);
#pragma omp parallel for schedule(static)
    for (int r = 0; r < h; ++r) {
        const size_t at = static_cast<size_t>(plan.first_row + int64_t{r} * plan.step) * stride +
                          col0;
        const Px* a = first + at;
        uint16_t* o = out + (plan.reverse_out ? size_t(h - 1 - r) : size_t(r)) * width;
        if (second) {
            const uint16_t* b = second + at;
            for (size_t c = 0; c < width; ++c) o[c] = static_cast<uint16_t>(value(a[c], b[c]));
        } else if (plan.mirror) {
            for (size_t c = 0; c < width; ++c)
                o[width - 1 - c] = static_cast<uint16_t>(value(a[c], 0));
        } else if constexpr (sizeof(Px) == 2 && std::is_same_v<Value, PlainValue>) {
            memcpy(o, a, width * sizeof *o);
        } else {
            for (size_t c = 0; c < width; ++c) o[c] = static_cast<uint16_t>(value(a[c], 0));
        }
    }
}

}  // namespace

Window clamp_window(Window win, int32_t frame_w, int32_t frame_h) {
    auto axis = [](int32_t& at, int32_t& size, int32_t frame) {
        if (frame <= 0) {
            at = size = 0;
            return;
        }
        at = std::clamp(at, 0, frame - 1);
        size = std::clamp(size, 0, frame - at);
    };
    axis(win.x, win.w, frame_w);
    axis(win.y, win.h, frame_h);
    return win;
}

// --- class 2 ---------------------------------------------------------------

SmallFrameLayout small_frame_layout(int32_t w, int32_t h, bool pair_mode) {
    const size_t cols = static_cast<size_t>(std::max(w, 0)) + (pair_mode ? 2 : 4);
    const size_t rows = static_cast<size_t>(std::max(h, 0)) + 4;
    const size_t bytes = pair_mode ? 4 : 2;
    // Both modes pad each row with the same 8 bytes: 4 samples or 2 pairs.
    return {rows * cols * bytes, 8, cols * bytes, pair_mode};
}

bool convert_small_frame(const uint8_t* in, size_t in_size, int32_t w, int32_t h,
                         bool pair_mode, uint16_t* out) {
    if (w < 0 || h < 0)
        return false;
    const SmallFrameLayout lay = small_frame_layout(w, h, pair_mode);
    if (in_size < lay.transfer_bytes)
        return false;
    const size_t width = static_cast<size_t>(w);
    for (size_t r = 0; r < static_cast<size_t>(h); ++r) {
        const uint8_t* p = in + lay.first + r * lay.row_bytes;
        uint16_t* o = out + r * width;
        if (pair_mode) {
            for (size_t c = 0; c < width; ++c) {
                const uint32_t s0 = swap16(load16(p + 4 * c));
                const uint32_t s1 = swap16(load16(p + 4 * c + 2));
                o[c] = static_cast<uint16_t>((s0 + s1) >> 1);
            }
        } else {
            for (size_t c = 0; c < width; ++c) o[c] = swap16(load16(p + 2 * c));
        }
    }
    return true;
}

// --- streamed conversion ---------------------------------------------------

size_t convert_stream(StreamFormat format, const uint8_t* in, size_t begin, size_t end,
                      uint16_t* out) {
    if (format == StreamFormat::native16) {
        if (end > begin)
            memcpy(reinterpret_cast<uint8_t*>(out) + begin, in + begin, end - begin);
        return std::max(begin, end);
    }
    const size_t unit = stream_bytes_per_pixel(format);
    const size_t from = begin / unit;
    const size_t to = end / unit;
    if (to <= from)
        return std::max(begin, to * unit);
    if (format == StreamFormat::big_endian16) {
        for (size_t i = from; i < to; ++i) out[i] = swap16(load16(in + 2 * i));
    } else {
        for (size_t i = from; i < to; ++i) {
            const uint32_t s0 = swap16(load16(in + 4 * i));
            const uint32_t s1 = swap16(load16(in + 4 * i + 2));
            out[i] = static_cast<uint16_t>((s0 + s1) >> 1);
        }
    }
    return to * unit;
}

// --- new-interface cameras -------------------------------------------------

void widen_u8(const uint8_t* in, size_t n, uint16_t* out) {
    for (size_t i = 0; i < n; ++i) out[i] = in[i];
}

namespace {

template <typename Px>
bool copy_window(const Px* frame, int32_t fw, int32_t fh, Window win, uint16_t* out) {
    if (fw < 0 || fh < 0 || !window_fits(win, 1, 1, 0, fw, fh))
        return false;
    const RowPlan plan{win.y, 1, false, false};
    copy_rows(frame, nullptr, static_cast<size_t>(fw), static_cast<size_t>(win.x), plan, win.w,
              win.h, PlainValue{}, out);
    return true;
}

template <typename Px>
bool sum_window(const Px* frame, int32_t fw, int32_t fh, int bx, int by, Window win,
                uint16_t* out) {
    if (fw < 0 || fh < 0 || !window_fits(win, bx, by, 0, fw, fh))
        return false;
    const RowPlan plan{int64_t{win.y} * by, by, false, false};
    sum_blocks(frame, static_cast<size_t>(fw), plan, size_t(win.x) * size_t(bx), win.w, win.h,
               bx, by, out);
    return true;
}

}  // namespace

bool copy_window_u8(const uint8_t* frame, int32_t fw, int32_t fh, Window win, uint16_t* out) {
    return copy_window(frame, fw, fh, win, out);
}

bool copy_window_u16(const uint16_t* frame, int32_t fw, int32_t fh, Window win,
                     uint16_t* out) {
    return copy_window(frame, fw, fh, win, out);
}

bool sum_blocks_u8(const uint8_t* frame, int32_t fw, int32_t fh, int bx, int by, Window win,
                   uint16_t* out) {
    return sum_window(frame, fw, fh, bx, by, win, out);
}

bool sum_blocks_u16(const uint16_t* frame, int32_t fw, int32_t fh, int bx, int by,
                    Window win, uint16_t* out) {
    return sum_window(frame, fw, fh, bx, by, win, out);
}

// --- CMOS types 22 and 23 --------------------------------------------------

int32_t cmos_margin_columns(uint32_t camera_class) {
    switch (camera_class) {
    case 8: case 9: return 24;
    case 11: case 12: return 48;
    default: return 0;
    }
}

uint16_t cmos_saturation_value(uint32_t camera_class, uint32_t sensor_variant) {
    switch (camera_class) {
    case 8: case 9: case 11: case 12: return 65535;
    default: return sensor_variant == 7 ? 4095 : 16383;
    }
}

Window clamp_to_cmos_frame(const CmosFrame& frame, Window win, int bx, int by) {
    // The margin is not part of the picture: a frame measured with it would
    // let the last blocks of a row run into the next row, or past the end.
    const int64_t cols = static_cast<int64_t>(frame.stride) - std::max(frame.margin, 0);
    bx = std::max(bx, 1);
    by = std::max(by, 1);
    return clamp_window(win, static_cast<int32_t>(std::max<int64_t>(cols, 0) / bx),
                        std::max(frame.rows, 0) / by);
}

namespace {

bool cmos_fits(const CmosFrame& frame, const Window& win, int bx, int by) {
    return frame.data && frame.margin >= 0 && frame.rows >= 0 &&
           window_fits(win, bx, by, frame.margin, static_cast<int64_t>(frame.stride),
                       frame.rows);
}

RowPlan cmos_plan(const Window& win, int by, RowOrder order) {
    const bool mirrored = order == RowOrder::mirrored;
    return {int64_t{win.y} * by, by, !mirrored, mirrored};
}

}  // namespace

bool cmos_copy(const CmosFrame& frame, Window win, RowOrder order, uint16_t* out) {
    if (!cmos_fits(frame, win, 1, 1))
        return false;
    copy_rows(frame.data, nullptr, frame.stride, size_t(frame.margin) + size_t(win.x),
              cmos_plan(win, 1, order), win.w, win.h, PlainValue{}, out);
    return true;
}

bool cmos_bin(const CmosFrame& frame, Window win, const CmosBinning& b, RowOrder order,
              uint16_t* out) {
    if (b.bx > 255 || b.by > 255 || !cmos_fits(frame, win, b.bx, b.by))
        return false;
    const RowPlan plan = cmos_plan(win, b.by, order);
    const size_t col0 = size_t(frame.margin) + size_t(win.x) * size_t(b.bx);
    const uint32_t n = static_cast<uint32_t>(b.bx * b.by);
    const uint32_t cap = cap16(b.saturation * n);
    const uint32_t C = b.saturation;
    auto run = [&](auto finish) {
        if (b.saturate)
            bin_any<true>(frame.data, nullptr, frame.stride, col0, plan, win.w, win.h, b.bx,
                          b.by, PlainValue{}, Saturating<decltype(finish)>{finish, b.sum ? cap : C},
                          C, out);
        else
            bin_any<false>(frame.data, nullptr, frame.stride, col0, plan, win.w, win.h, b.bx,
                           b.by, PlainValue{}, finish, C, out);
    };
    if (b.sum)
        run(CappedSum{cap});
    else if (n <= 256)
        run(MeanOf{static_cast<float>(n)});
    else
        run(WideMeanOf{n});
    return true;
}

// --- type 24 ---------------------------------------------------------------

uint16_t combine_gains(uint16_t a, uint16_t b, GainCoefficients k) {
    if (a <= COMBINE_THRESHOLD)
        return a;
    return clamp16(int64_t{k.offset} + ((int64_t{k.gain} * b) >> 10));
}

uint16_t transform_gain(uint64_t v, GainCoefficients k) {
    // v is at most 255·255·65535, so the product stays far inside 64 bits.
    return clamp16(int64_t{k.offset} + ((int64_t{k.gain} * static_cast<int64_t>(v)) >> 10));
}

bool convert_gain_frame(const GainFrame& f, Window win, int bx, int by, GainMode mode,
                        GainCoefficients k, uint16_t* out) {
    if (!f.first || (mode == GainMode::combine && !f.second) || f.fw < 0 || f.fh < 0 ||
        bx > 255 || by > 255 || !window_fits(win, bx, by, 0, f.fw, f.fh))
        return false;
    if (win.w == 0 || win.h == 0)
        return true;
    const size_t stride = static_cast<size_t>(f.fw);
    const size_t col0 = size_t(win.x) * size_t(bx);
    const uint16_t* second = mode == GainMode::combine ? f.second : nullptr;
    // Rows come bottom-up: the block of output row 0 is the window's last.
    const int64_t last = int64_t{f.fh / by} - win.y - 1;
    const bool binned = bx > 1 || by > 1;
    if (!binned) {
        const RowPlan plan{last, -1, false, false};
        switch (mode) {
        case GainMode::plain:
            copy_rows(f.first, nullptr, stride, col0, plan, win.w, win.h, PlainValue{}, out);
            break;
        case GainMode::combine:
            if (merge_fits_32(k))
                copy_rows(f.first, second, stride, col0, plan, win.w, win.h,
                          Merge32{k.gain, k.offset}, out);
            else
                copy_rows(f.first, second, stride, col0, plan, win.w, win.h, Merge64{k}, out);
            break;
        case GainMode::transform:
            copy_rows(f.first, nullptr, stride, col0, plan, win.w, win.h,
                      [k](uint16_t v, uint16_t) { return transform_gain(v, k); }, out);
            break;
        }
        return true;
    }
    // Block rows run top-down inside a block; only the blocks are reversed.
    const RowPlan plan{last * by, -int64_t{by}, false, false};
    switch (mode) {
    case GainMode::plain:
        sum_blocks(f.first, stride, plan, col0, win.w, win.h, bx, by, out);
        break;
    case GainMode::combine:
        // The merged values are never negative, so capping the total is
        // capping the running sum.
        if (merge_fits_32(k))
            bin_any<false>(f.first, second, stride, col0, plan, win.w, win.h, bx, by,
                           Merge32{k.gain, k.offset}, CappedSum{65535}, 0, out);
        else
            bin_any<false>(f.first, second, stride, col0, plan, win.w, win.h, bx, by,
                           Merge64{k}, CappedSum{65535}, 0, out);
        break;
    case GainMode::transform:
        bin_any<false>(f.first, nullptr, stride, col0, plan, win.w, win.h, bx, by, PlainValue{},
                       ScaledSum{k}, 0, out);
        break;
    }
    return true;
}
