// Readout of the new-interface cameras that are not of a CMOS type.
//
// These cameras bin in software, so the request asks for unbinned sensor
// pixels. Firmware from version 7 on reads out a window: its origin and
// size aligned to 4 pixels (8 for types 13 and 16), at least 260 columns
// wide (516 in the 8-bit modes), and its horizontal origin counted from the
// sensor's other edge, while the pixels still arrive left to right. Older
// firmware always sends the whole sensor. Pixels are little-endian 16-bit,
// or one byte each in the 8-bit modes.
#include <syslog.h>

#include <algorithm>
#include <memory>

#include "common/log.h"
#include "driver/image_kernels.h"
#include "driver/readout.h"
#include "driver/readout_request.h"
#include "driver/readout_transfer.h"

namespace {

constexpr double TICKS_PER_SECOND = 8000;
constexpr uint16_t CROPPING_FIRMWARE = 7;

// The frame the camera is asked for, in sensor pixels as the client sees
// them, and where the window starts inside it.
struct FramePlan {
    int32_t x0, y0, fw, fh;
    int32_t origin;  // the horizontal origin as sent: counted from the other edge
    int32_t dx, dy;  // the window's first pixel inside the frame
};

// `window` lies on the sensor (in binned pixels).
FramePlan plan_frame(const CameraRecord& camera, const Window& window, int bx, int by, bool is8bit) {
    const int32_t width = camera.info.width, height = camera.info.height;
    const int32_t X = window.x * bx, Y = window.y * by;
    if (camera.ver128_lo < CROPPING_FIRMWARE)
        return {0, 0, width, height, 0, X, Y};
    const bool coarse = camera.camera_type == 13 || camera.camera_type == 16;
    const int32_t step = coarse ? 8 : 4;
    const int32_t min_w = coarse ? 8 : is8bit ? 516 : 260;
    const int32_t min_h = coarse ? 8 : 4;
    const int32_t R = X + window.w * bx, B = Y + window.h * by;
    int32_t x0 = round_down(X, step), y0 = round_down(Y, step);
    // A sensor whose size is no multiple of the step is read to its edge,
    // never past it.
    const int32_t fw = std::min(std::max(min_w, round_up(R - x0, step)), width);
    const int32_t fh = std::min(std::max(min_h, round_up(B - y0, step)), height);
    if (x0 + fw > width)
        x0 = width - fw;
    if (y0 + fh > height)
        y0 = height - fh;
    // The mirrored origin of a frame at the left edge is width − fw too:
    // sending 0 there would fetch the columns at the right edge.
    return {x0, y0, fw, fh, width - x0 - fw, X - x0, Y - y0};
}

ReadoutRequest cmos_request(const ExposureInfo& exposure, const FramePlan& plan) {
    const bool exposing = exposure.exp_time >= 0;
    ReadoutRequest request(exposing ? 0x0A : 0x09);
    request.byte(exposing && exposure.shutter ? 1 : 0)
        .word(static_cast<uint16_t>(plan.origin))
        .word(static_cast<uint16_t>(plan.y0))
        .word(static_cast<uint16_t>(plan.fw))
        .word(static_cast<uint16_t>(plan.fh));
    if (exposing)
        request.dword(count32(exposure.exp_time, TICKS_PER_SECOND));
    return request;
}

}  // namespace

DriverResult astro_cmos_getimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out, uint32_t& read_bytes) {
    read_bytes = 0;
    const bool is8bit = !camera.fixed_read_mode && (camera.read_mode == 0 || camera.read_mode == 2);
    const int bx = std::max<int>(camera.bin_x, 1), by = std::max<int>(camera.bin_y, 1);
    const bool bin = bx >= 2 || by >= 2;
    const uint64_t request_bytes = uint64_t{2} * static_cast<uint64_t>(std::max(exposure.w, 0)) *
                                   static_cast<uint64_t>(std::max(exposure.h, 0));
    // A window that reaches past the sensor is cut to it first: the frame
    // the camera is asked for must lie on the sensor.
    Window window = clamp_window({exposure.x, exposure.y, exposure.w, exposure.h}, camera.info.width / bx,
                                 camera.info.height / by);
    if (!out || exposure.x < 0 || exposure.y < 0 || window.w <= 0 || window.h <= 0 || request_bytes > UINT32_MAX) {
        log_message(LOG_ERR, "astro_cmos_getimage(): window %d, %d, %d, %d cannot be read", exposure.x, exposure.y,
                    exposure.w, exposure.h);
        return DriverResult::refused();
    }
    const FramePlan plan = plan_frame(camera, window, bx, by, is8bit);
    // The frame is the window itself: no cutting, and a 16-bit frame can
    // go straight into the caller's buffer.
    const bool crop = bin || plan.dx != 0 || plan.dy != 0 || plan.fw != window.w || plan.fh != window.h;
    const bool direct = !crop && !is8bit;
    const size_t size = static_cast<size_t>(plan.fw) * static_cast<size_t>(plan.fh) * (is8bit ? 1 : 2);
    log_trace("astro_cmos_getimage(): crop = %d, is8bit = %d, bin = %d, direct = %d", crop, is8bit, bin, direct);
    log_trace("    x, y, w, h = %d, %d, %d, %d", window.x, window.y, window.w, window.h);
    log_trace("    dx, dy, dw, dh = %d, %d, %d, %d", plan.origin, plan.y0, plan.fw, plan.fh);
    log_trace("    bin_x, bin_y = %d, %d", bx, by);
    log_trace("    read_bytes = %d", static_cast<int>(request_bytes));

    std::unique_ptr<uint8_t[]> buffer;
    if (!direct) {
        buffer = allocate_read_buffer(size);
        if (!buffer)
            return DriverResult::refused();
    }
    uint8_t* frame = direct ? reinterpret_cast<uint8_t*>(out) : buffer.get();
    const ReadoutRequest request = cmos_request(exposure, plan);
    if (const DriverResult result = transfer_image(camera, request.data(), request.size(), frame, size, true); result.failed())
        return result;

    bool converted = true;
    if (bin) {
        // Blocks start at the window's first pixel, which need not lie on
        // the block grid of the frame's own origin.
        window = clamp_window({0, 0, window.w, window.h}, (plan.fw - plan.dx) / bx, (plan.fh - plan.dy) / by);
        const size_t first = static_cast<size_t>(plan.dy) * static_cast<size_t>(plan.fw) + static_cast<size_t>(plan.dx);
        if (is8bit)
            converted = sum_blocks_u8(frame + first, plan.fw, plan.fh - plan.dy, bx, by, window, out);
        else
            converted = sum_blocks_u16(reinterpret_cast<const uint16_t*>(frame) + first, plan.fw, plan.fh - plan.dy,
                                       bx, by, window, out);
    } else if (crop) {
        window = clamp_window({plan.dx, plan.dy, window.w, window.h}, plan.fw, plan.fh);
        if (is8bit)
            converted = copy_window_u8(frame, plan.fw, plan.fh, window, out);
        else
            converted = copy_window_u16(reinterpret_cast<const uint16_t*>(frame), plan.fw, plan.fh, window, out);
    } else if (is8bit) {
        widen_u8(frame, size, out);
    }
    if (!converted || window.w <= 0 || window.h <= 0) {
        log_message(LOG_ERR, "astro_cmos_getimage(): window %d, %d, %d, %d outside the %dx%d frame", window.x,
                    window.y, window.w, window.h, plan.fw, plan.fh);
        return DriverResult::refused();
    }
    exposure.x = plan.dx / bx;
    exposure.y = plan.dy / by;
    exposure.w = window.w;
    exposure.h = window.h;
    read_bytes = static_cast<uint32_t>(request_bytes);
    return DriverResult::ok();
}
