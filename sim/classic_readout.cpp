#include "sim/classic_readout.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace sim {

namespace {

constexpr uint8_t STATUS_OK = 0x80;
constexpr uint8_t STATUS_BAD_PARAMETER = 0x81;

// Class-2 and new-interface exposure ticks, per second.
constexpr double TICKS_PER_SECOND = 8000;

// Pixels per row of class-2 padding: 8 bytes of samples or of pairs.
constexpr uint32_t SMALL_PAD_SAMPLES = 4;
constexpr uint32_t SMALL_PAD_PAIRS = 2;

// From the new interface's firmware 7 on, the camera reads out a window.
constexpr uint16_t CROPPING_FIRMWARE = 7;
// ... and from 4 on it takes the end of an exposure.
constexpr uint16_t END_EXPOSURE_FIRMWARE = 4;

void put_be(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put_le(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// A stream of `units` units of `UnitBytes` bytes each, unit k written by
// make(k, bytes). Any byte range can be asked for: units cut by its ends
// are made whole and copied in part.
template <size_t UnitBytes, typename Make>
ReadoutStream unit_stream(uint64_t units, Make make) {
    ReadoutStream stream;
    stream.size = units * UnitBytes;
    stream.fill = [make](uint64_t offset, uint8_t* out, size_t length) {
        uint64_t unit = offset / UnitBytes;
        size_t skip = static_cast<size_t>(offset % UnitBytes);
        uint8_t bytes[UnitBytes];
        while (length > 0) {
            const size_t n = std::min(UnitBytes - skip, length);
            if (n == UnitBytes) {
                make(unit, out);
            } else {
                make(unit, bytes);
                memcpy(out, bytes + skip, n);
            }
            out += n;
            length -= n;
            skip = 0;
            ++unit;
        }
    };
    return stream;
}

uint16_t word_at(std::span<const uint8_t> p, size_t at) { return static_cast<uint16_t>(p[at] | p[at + 1] << 8); }

}  // namespace

std::pair<uint16_t, uint16_t> sample_pair(uint16_t value, uint32_t x, uint32_t y) {
    const uint32_t v = value;
    if (v == 65535)
        return {0xFFFF, 0xFFFF};
    const uint32_t spread = 1 + (x * 7 + y * 13) % 61;
    const uint32_t room = std::min({spread, v, 65535 - v});
    // An odd sum 2v + 1: its floor half is v, a mean rounded up is v + 1.
    const uint32_t high = std::min(v + room + 1, 65535u);
    const uint32_t low = 2 * v + 1 - high;
    if ((x + y) % 2)
        return {static_cast<uint16_t>(high), static_cast<uint16_t>(low)};
    return {static_cast<uint16_t>(low), static_cast<uint16_t>(high)};
}

ReadoutStream small_stream(PixelSource pixel, StreamWindow window, bool pairs) {
    const uint64_t rows = uint64_t{window.h} + 4;
    if (pairs) {
        const uint64_t columns = uint64_t{window.w} + SMALL_PAD_PAIRS;
        return unit_stream<4>(rows * columns, [pixel, window, columns](uint64_t unit, uint8_t* out) {
            const uint64_t row = unit / columns, column = unit % columns;
            if (row >= window.h || column < SMALL_PAD_PAIRS) {
                put_be(out, SMALL_PAD_SAMPLE);
                put_be(out + 2, SMALL_PAD_SAMPLE);
                return;
            }
            const uint32_t x = window.x + static_cast<uint32_t>(column - SMALL_PAD_PAIRS);
            const uint32_t y = window.y + static_cast<uint32_t>(row);
            const auto [first, second] = sample_pair(pixel(x, y), x, y);
            put_be(out, first);
            put_be(out + 2, second);
        });
    }
    const uint64_t columns = uint64_t{window.w} + SMALL_PAD_SAMPLES;
    return unit_stream<2>(rows * columns, [pixel, window, columns](uint64_t unit, uint8_t* out) {
        const uint64_t row = unit / columns, column = unit % columns;
        if (row >= window.h || column < SMALL_PAD_SAMPLES) {
            put_be(out, SMALL_PAD_SAMPLE);
            return;
        }
        put_be(out, pixel(window.x + static_cast<uint32_t>(column - SMALL_PAD_SAMPLES),
                          window.y + static_cast<uint32_t>(row)));
    });
}

ReadoutStream big_stream(PixelSource pixel, StreamWindow window, BigSamples samples) {
    const uint64_t pixels = uint64_t{window.w} * window.h;
    auto at = [window](uint64_t unit) {
        return std::pair<uint32_t, uint32_t>{window.x + static_cast<uint32_t>(unit % window.w),
                                             window.y + static_cast<uint32_t>(unit / window.w)};
    };
    switch (samples) {
    case BigSamples::pairs:
        return unit_stream<4>(pixels, [pixel, at](uint64_t unit, uint8_t* out) {
            const auto [x, y] = at(unit);
            const auto [first, second] = sample_pair(pixel(x, y), x, y);
            put_be(out, first);
            put_be(out + 2, second);
        });
    case BigSamples::big16:
        return unit_stream<2>(pixels, [pixel, at](uint64_t unit, uint8_t* out) {
            const auto [x, y] = at(unit);
            put_be(out, pixel(x, y));
        });
    case BigSamples::little16:
        break;
    }
    return unit_stream<2>(pixels, [pixel, at](uint64_t unit, uint8_t* out) {
        const auto [x, y] = at(unit);
        put_le(out, pixel(x, y));
    });
}

ReadoutStream new_interface_stream(PixelSource pixel, StreamWindow frame, bool eight_bit) {
    const uint64_t pixels = uint64_t{frame.w} * frame.h;
    auto at = [frame](uint64_t unit) {
        return std::pair<uint32_t, uint32_t>{frame.x + static_cast<uint32_t>(unit % frame.w),
                                             frame.y + static_cast<uint32_t>(unit / frame.w)};
    };
    if (eight_bit) {
        return unit_stream<1>(pixels, [pixel, at](uint64_t unit, uint8_t* out) {
            const auto [x, y] = at(unit);
            out[0] = static_cast<uint8_t>(pixel(x, y));
        });
    }
    return unit_stream<2>(pixels, [pixel, at](uint64_t unit, uint8_t* out) {
        const auto [x, y] = at(unit);
        put_le(out, pixel(x, y));
    });
}

// --- the commands ------------------------------------------------------------

void CameraModel::install_classic_readout() {
    const int type = facts_.type;
    if (type >= 22 && type <= 24)
        return;  // the CMOS frame readout is another family
    const PixelSource pixel = [this](uint32_t x, uint32_t y) { return pattern_pixel(x, y); };

    // The answer of a readout command: nothing, and then the stream once
    // the exposure it started has run its time.
    auto readout = [this](uint8_t command, std::span<const uint8_t> p, ReadoutStream stream, double seconds) {
        state_.last_readout.assign(1, command);
        state_.last_readout.insert(state_.last_readout.end(), p.begin(), p.end());
        ++state_.readouts;
        stream.start = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        stream.bytes_per_second = static_cast<double>(profile_.read_rate);
        return Answer{{}, std::move(stream)};
    };
    // A request the camera can't read out: no data follows, not even what
    // an earlier readout left unread.
    auto refused = [this](uint8_t command, std::span<const uint8_t> p) {
        state_.last_readout.assign(1, command);
        state_.last_readout.insert(state_.last_readout.end(), p.begin(), p.end());
        return Answer{{STATUS_BAD_PARAMETER}, ReadoutStream{}};
    };

    if (facts_.camera_class == 2) {
        // The camera bins in hardware, both axes alike; the grid is binned.
        auto whole_sensor = [this, pixel, readout, refused](uint8_t command, std::span<const uint8_t> p) {
            const bool exposing = command == 0x05;
            if (exposing && p.size() < 2)
                return refused(command, p);
            const StreamWindow frame{0, 0, uint32_t{profile_.width} / state_.bin_x,
                                     uint32_t{profile_.height} / state_.bin_y};
            const bool pairs = state_.read_mode == 0x10;
            return readout(command, p, small_stream(pixel, frame, pairs), exposing ? word_at(p, 0) / TICKS_PER_SECOND : 0);
        };
        on(0x04, [whole_sensor](std::span<const uint8_t> p) { return whole_sensor(0x04, p); });
        on(0x05, [whole_sensor](std::span<const uint8_t> p) { return whole_sensor(0x05, p); });
        if (!profile_.subframe)
            return;
        auto window = [this, pixel, readout, refused](uint8_t command, std::span<const uint8_t> p) {
            const bool exposing = command == 0x08;
            const bool pairs = state_.read_mode == 0x10;
            const uint32_t pad = pairs ? SMALL_PAD_PAIRS : SMALL_PAD_SAMPLES;
            if (p.size() < (exposing ? 10u : 8u) || word_at(p, 4) <= pad || word_at(p, 6) <= 4)
                return refused(command, p);
            const StreamWindow frame{word_at(p, 0), word_at(p, 2), word_at(p, 4) - pad, word_at(p, 6) - 4u};
            return readout(command, p, small_stream(pixel, frame, pairs), exposing ? word_at(p, 8) / TICKS_PER_SECOND : 0);
        };
        on(0x07, [window](std::span<const uint8_t> p) { return window(0x07, p); });
        on(0x08, [window](std::span<const uint8_t> p) { return window(0x08, p); });
        return;
    }

    if (profile_.product_id < 3072) {
        // [0x0B, y, h, x, w] reads out; [0x15, y, h, x, w, ms, shutter]
        // exposes first. The camera bins in hardware.
        const bool dual_sample = profile_.product_id >= 1026 && profile_.product_id <= 1028;
        auto big = [this, pixel, readout, refused, dual_sample](uint8_t command, std::span<const uint8_t> p) {
            const bool exposing = command == 0x15;
            if (p.size() < (exposing ? 11u : 8u) || word_at(p, 2) == 0 || word_at(p, 6) == 0)
                return refused(command, p);
            const StreamWindow window{word_at(p, 4), word_at(p, 0), word_at(p, 6), word_at(p, 2)};
            BigSamples samples = BigSamples::little16;
            if (dual_sample)
                samples = state_.read_mode.value_or(0x01) == 0x01 ? BigSamples::pairs : BigSamples::big16;
            return readout(command, p, big_stream(pixel, window, samples), exposing ? word_at(p, 8) / 1000.0 : 0);
        };
        on(0x0B, [big](std::span<const uint8_t> p) { return big(0x0B, p); });
        on(0x15, [big](std::span<const uint8_t> p) { return big(0x15, p); });
        return;
    }

    // The new interface. [0x07, shutter] starts a host-timed exposure with
    // a cleared sensor, [0x08, close, flag] ends it.
    on(0x07, [this](std::span<const uint8_t> p) {
        ++state_.clears;
        state_.exposing = true;
        if (!p.empty() && p[0] && handlers_[0x05])
            return handlers_[0x05]({});
        return status(STATUS_OK);
    });
    if ((profile_.versions[0] & 0xFF) >= END_EXPOSURE_FIRMWARE) {
        on(0x08, [this](std::span<const uint8_t> p) {
            state_.exposing = false;
            state_.end_flag = p.size() >= 2 ? p[1] : 0;
            if (!p.empty() && p[0] && handlers_[0x06])
                return handlers_[0x06]({});
            return status(STATUS_OK);
        });
    }
    // [0x09, 0, origin, y0, w, h] reads out, [0x0A, shutter, origin, y0, w,
    // h, ticks32] exposes first. The window is in unbinned sensor pixels, its
    // horizontal origin counted from the sensor's right edge; older firmware
    // sends the whole sensor whatever was asked.
    auto frame_readout = [this, pixel, readout, refused, type](uint8_t command, std::span<const uint8_t> p) {
        const bool exposing = command == 0x0A;
        if (p.size() < (exposing ? 13u : 9u))
            return refused(command, p);
        const uint32_t width = profile_.width, height = profile_.height;
        const bool fixed_mode = type == 10 || type == 12 || type == 13 || type == 15 || type == 16;
        const uint8_t mode = state_.read_mode.value_or(0x00);
        const bool eight_bit = !fixed_mode && (mode == 0x00 || mode == 0x02);
        StreamWindow frame{0, 0, width, height};
        if ((profile_.versions[0] & 0xFF) >= CROPPING_FIRMWARE) {
            const uint32_t origin = word_at(p, 1), y0 = word_at(p, 3), w = word_at(p, 5), h = word_at(p, 7);
            const bool coarse = type == 13 || type == 16;
            const uint32_t step = coarse ? 8 : 4;
            const uint32_t min_w = std::min<uint32_t>(coarse ? 8 : eight_bit ? 516 : 260, width);
            const uint32_t min_h = std::min<uint32_t>(coarse ? 8 : 4, height);
            // The sensor is read in blocks of `step`; a window may end short
            // of a block only at the sensor's edge.
            if (origin + w > width || y0 + h > height || w < min_w || h < min_h || (w % step && w != width) ||
                (h % step && h != height))
                return refused(command, p);
            frame = {width - origin - w, y0, w, h};
        }
        const double seconds = exposing ? (p[9] | p[10] << 8 | p[11] << 16 | uint32_t{p[12]} << 24) / TICKS_PER_SECOND : 0;
        return readout(command, p, new_interface_stream(pixel, frame, eight_bit), seconds);
    };
    on(0x09, [frame_readout](std::span<const uint8_t> p) { return frame_readout(0x09, p); });
    on(0x0A, [frame_readout](std::span<const uint8_t> p) { return frame_readout(0x0A, p); });
}

}  // namespace sim
