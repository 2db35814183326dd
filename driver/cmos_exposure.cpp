// The exposure of the CMOS types 22-24: the hardware window each type can
// read, the exposure request, its end and its readiness.
#include <algorithm>
#include <cmath>

#include "driver/exposure.h"
#include "driver/image_kernels.h"
#include "driver/readout_request.h"
#include "driver/transport.h"

namespace {

// Ticks per second of the exposure clocks.
constexpr double TYPE_22_23_CLOCK = 10000.0;
constexpr double TYPE_24_CLOCK = 48449.61240310078;

// Mode byte of the exposure request.
constexpr uint8_t MODE_SHUTTER = 0x01;
constexpr uint8_t MODE_START_VARIANT = 0x02;
// Flag bit of the camera that allows the start variant.
constexpr uint16_t FLAG_START_VARIANT = 0x10;

// What an exposure asks of the camera, and where the client's window lies
// in the frame that comes back.
struct HardwareWindow {
    int32_t x0 = 0, y0 = 0;         // origin sent: sensor pixels, type 24 binned rows
    int32_t width = 0, height = 0;  // size sent, margin columns included
    int32_t fw = 0, fh = 0;         // the frame the readout reads, in sensor pixels (24: binned)
    int32_t x = 0, y = 0;           // the window inside it, in frame pixels
};

// Whether the client's window lies wholly on what the sensor shows in
// pixels binned by dx × dy. A window reaching past it is refused rather
// than cut: the readout then delivers exactly the w × h the start
// answered with, and a caller can size its image by them.
bool fits_sensor(const ExposureInfo& exposure, int32_t columns, int32_t rows, int dx, int dy) {
    return exposure.x >= 0 && exposure.y >= 0 && exposure.w > 0 && exposure.h > 0 &&
           int64_t{exposure.x} + exposure.w <= columns / dx && int64_t{exposure.y} + exposure.h <= rows / dy;
}

// Type 23: full frames as they are; otherwise columns in steps of 4, rows in
// steps of 8, and never fewer rows than half the sensor.
void align_type_23(int32_t X, int32_t Y, int32_t W, int32_t H, int32_t width, int32_t height,
                   HardwareWindow& hw) {
    if (X == 0 && Y == 0 && W == width && H == height) {
        hw.x0 = hw.y0 = 0;
        hw.width = width;
        hw.height = height;
        return;
    }
    hw.y0 = round_down(Y, 8);
    hw.height = round_up(Y + H - hw.y0, 8);
    hw.x0 = round_down(X, 4);
    hw.width = round_up(W + X % 4, 4);
    if (hw.height < height / 2) {
        // Half the sensor, kept in whole steps of 8: an odd half (a sensor of
        // 2822 rows gives 1411) would break the row alignment, and with
        // hardware binning leave half a binned row in the frame.
        hw.height = round_up(height / 2, 8);
        if (hw.y0 + hw.height > height) {
            hw.y0 = std::max(0, round_down(height - hw.height, 8));
            hw.height = std::max(hw.height, round_up(Y + H - hw.y0, 8));
        }
    }
}

// Type 22 with ver128_lo >= 8: steps by sensor when the camera bins.
void align_type_22(const CameraRecord& camera, int32_t X, int32_t Y, int32_t W, int32_t H, HardwareWindow& hw) {
    int32_t xs = 4, ys = 2;
    if (camera.hw_bin.enabled && camera.hw_bin.x > 1) {
        switch (camera.sensor_variant) {
        case 2: xs = 4, ys = 8; break;
        case 3: xs = 8, ys = 4; break;
        default: xs = 16, ys = 2; break;
        }
    }
    hw.x0 = round_down(X, xs);
    hw.width = round_up(X + W - hw.x0, xs);
    hw.y0 = round_down(Y, ys);
    hw.height = round_up(Y + H - hw.y0, ys);
}

// Type 22 with older firmware: the first B rows can only be read with the
// whole frame, and sub-frames start B rows plus an even count in.
void align_type_22_old(const CameraRecord& camera, int32_t X, int32_t Y, int32_t W, int32_t H, int32_t width,
                       int32_t height, HardwareWindow& hw) {
    const bool binning = camera.hw_bin.enabled && camera.hw_bin.x > 1;
    int32_t xs = 4;
    if (binning)
        xs = height % 4 != 0 ? 16 : width % 8 == 0 ? 8 : 4;
    hw.x0 = round_down(X, xs);
    hw.width = round_up(X + W - hw.x0, xs);

    const int32_t B = camera.camera_class == 6 || camera.camera_class == 7 ? 15 : 25;
    if (Y < B || Y + H == height) {
        hw.y0 = 0;
        hw.height = height;
        return;
    }
    hw.y0 = B + round_down(Y - B, 2);
    int32_t ys = 2;
    if (height % 4 == 0 && binning)
        ys = width % 8 == 0 ? 4 : 8;
    hw.height = round_up(Y + H - hw.y0, ys);
    if (hw.y0 + hw.height > height) {
        if (hw.y0 == B) {
            hw.y0 = 0;
            hw.height = height;
        } else {
            hw.y0 -= round_up(hw.y0 + hw.height - height, 2);
        }
    }
}

// Types 22 and 23. The window is mirrored into the camera's orientation,
// aligned, and its offset in the frame kept in frame pixels: binned cells
// when the camera bins (its cells lie on the sensor's fixed 2x2 grid, so
// the offset is whole), sensor pixels when the daemon bins, which then
// bins from exactly there, whatever the binning factor and the alignment.
bool window_22_23(const CameraRecord& camera, ExposureInfo& exposure, HardwareWindow& hw) {
    const bool hw_binning = camera.hw_bin.enabled;
    const int dx = hw_binning ? camera.hw_bin.x : camera.bin_x;
    const int dy = hw_binning ? camera.hw_bin.y : camera.bin_y;
    const int32_t width = camera.info.width, height = camera.info.height;
    const int32_t margin = cmos_margin_columns(camera.camera_class);
    if (dx < 1 || dy < 1 || !fits_sensor(exposure, width - margin, height, dx, dy))
        return false;
    const int32_t W = exposure.w * dx, H = exposure.h * dy;
    int32_t X = exposure.x * dx, Y = exposure.y * dy;
    switch (camera.camera_class) {
    case 8: X = width - X - W - 24; break;
    case 6: X = width - X - W; break;
    default: Y = height - Y - H; break;
    }
    if (camera.camera_type == 23)
        align_type_23(X, Y, W, H, width, height, hw);
    else if (camera.ver128_lo >= 8)
        align_type_22(camera, X, Y, W, H, hw);
    else
        align_type_22_old(camera, X, Y, W, H, width, height, hw);
    hw.width += margin;
    hw.fw = hw.width;
    hw.fh = hw.height;
    if (hw_binning) {
        hw.x = (X - hw.x0) / dx;
        hw.y = (Y - hw.y0) / dy;
    } else {
        hw.x = X - hw.x0;
        hw.y = Y - hw.y0;
    }
    return true;
}

// Type 24 reads whole rows from the bottom of the sensor up; the window's
// columns are cut in software. With hardware binning everything counts in
// binned pixels. The offset y is the number of frame rows above the
// window's top edge (the frame's last row is the image's first).
bool window_24(const CameraRecord& camera, ExposureInfo& exposure, HardwareWindow& hw) {
    const bool hw_binning = camera.hw_bin.enabled;
    const int fx = hw_binning ? camera.hw_bin.x : 1;
    const int fy = hw_binning ? camera.hw_bin.y : 1;
    const int bx = hw_binning ? 1 : camera.bin_x;
    const int by = hw_binning ? 1 : camera.bin_y;
    const int32_t width = camera.info.width;
    const int32_t rows = camera.info.height * (camera.bothgains ? 2 : 1);
    if (fx < 1 || fy < 1 || bx < 1 || by < 1 || !fits_sensor(exposure, width / fx, rows / fy, bx, by))
        return false;
    // The whole width without overscan is read as the image columns only,
    // as astro_readimage cuts it: the window says so from the start.
    if (!camera.overscan && exposure.x == 0 && int64_t{exposure.w} * bx == width / fx)
        exposure.w = std::min(exposure.w, (width / fx - TYPE_24_OVERSCAN_COLUMNS / fx) / bx);
    hw.x0 = 0;
    hw.width = width / fx;
    hw.fw = hw.width;
    hw.x = exposure.x * bx;
    if (hw_binning || camera.ver128_lo > 3) {
        hw.fh = round_up(exposure.h * by, 8);
        const int32_t r = rows / fy - by * exposure.y;
        if (r >= hw.fh) {
            hw.y0 = r - hw.fh;
            hw.y = 0;
        } else {
            hw.y0 = 0;
            hw.y = hw.fh - r;
        }
    } else {
        hw.fh = rows;
        hw.y0 = 0;
        hw.y = exposure.y * by;
    }
    hw.height = camera.bothgains ? hw.fh / 2 : hw.fh;
    return true;
}

// The exposure time in ticks of the camera's clock, rounded; held within
// the 32-bit count rather than wrapped, and 0 for a negative time.
uint32_t exposure_ticks(double seconds, double ticks_per_second) {
    const double ticks = std::floor(seconds * ticks_per_second + 0.5);
    if (!(ticks > 0))
        return 0;  // negative, or not a number
    if (ticks >= 4294967295.0)
        return 0xFFFFFFFF;
    return static_cast<uint32_t>(ticks);
}

}  // namespace

DriverResult start_exposure_cmos(CameraRecord& camera, ExposureInfo& exposure, bool start_variant) {
    if (!is_cmos_type(camera))
        return DriverResult::not_available();
    HardwareWindow hw;
    ExposureInfo window = exposure;
    const bool type_24 = camera.camera_type == 24;
    if (!(type_24 ? window_24(camera, window, hw) : window_22_23(camera, window, hw)))
        return DriverResult::refused();
    for (const int32_t word : {hw.x0, hw.y0, hw.width, hw.height}) {
        if (word < 0 || word > 0xFFFF)
            return DriverResult::refused();  // a sensor too big for the request's words
    }

    const double clock = type_24 ? TYPE_24_CLOCK : TYPE_22_23_CLOCK;
    const uint32_t ticks = exposure_ticks(exposure.exp_time, clock);
    uint8_t mode = exposure.shutter ? MODE_SHUTTER : 0;
    if (start_variant && (camera.info.flags & FLAG_START_VARIANT))
        mode |= MODE_START_VARIANT;
    ReadoutRequest request(0x24);
    request.byte(mode)
        .word(static_cast<uint16_t>(hw.x0))
        .word(static_cast<uint16_t>(hw.y0))
        .word(static_cast<uint16_t>(hw.width))
        .word(static_cast<uint16_t>(hw.height))
        .dword(ticks);
    uint8_t status = 0;
    if (const DriverResult result = camera_command(camera, request.data(), request.size(), &status, 1); result.failed())
        return result;
    // The record describes the frame the camera now exposes; a refused
    // request leaves it describing the one it still holds.
    camera.fw = hw.fw;
    camera.fh = hw.fh;
    camera.exp_time_actual = ticks / clock;
    exposure.x = hw.x;
    exposure.y = hw.y;
    exposure.w = window.w;
    exposure.h = window.h;
    return DriverResult::ok();
}

DriverResult stop_exposure_cmos(CameraRecord& camera, uint8_t flag) {
    if (!is_cmos_type(camera))
        return DriverResult::not_available();
    const uint8_t request[] = {0x26, flag};
    uint8_t answer[2] = {};
    return camera_command(camera, request, sizeof request, answer, sizeof answer);
}

DriverResult image_ready(CameraRecord& camera, bool& ready) {
    ready = false;
    if (!is_cmos_type(camera))
        return DriverResult::not_available();
    const uint8_t request[] = {0x25};
    uint8_t answer[2] = {};
    size_t received = 0;
    const DriverResult result = usb_camera_command_us(camera, request, sizeof request, answer, sizeof answer, received);
    if (result.failed())
        return result;
    if (received < sizeof answer)
        return DriverResult::bad_answer();  // the status alone: no answer to go by
    ready = answer[1] != 0;
    return DriverResult::ok();
}
