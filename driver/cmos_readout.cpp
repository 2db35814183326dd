// The frame readout of the CMOS types 22-24: what the camera streams after
// [0x27] or [0x28], and how the client's window is cut, binned, flipped and
// (type 24) merged from it.
#include <syslog.h>

#include <algorithm>

#include "common/log.h"
#include "driver/image_kernels.h"
#include "driver/readout.h"
#include "driver/readout_transfer.h"

namespace {

bool start_next_supported(const CameraRecord& camera) {
    switch (camera.camera_type) {
    case 23: return true;
    case 22: return camera.ver131 > 6;
    case 24: return camera.ver131 >= 12;
    default: return false;
    }
}

// One readout, planned before anything is sent: what the camera streams and
// which part of it becomes the client's image.
struct ReadoutPlan {
    bool bin = false;        // the daemon bins bin_x × bin_y
    bool combine = false;    // type 24: two gain images to merge
    bool transform = false;  // type 24: one image to scale
    int bx = 1, by = 1;      // software binning factors (1 without bin)
    size_t transfer = 0;     // bytes the camera streams
    // Types 22 and 23: the frame as read, and the window's place in it.
    int32_t stride = 0, rows = 0, margin = 0;
    // Type 24: the frame rows [first_row, first_row + view_rows) hold the
    // window's binned rows, counted from the top end.
    int32_t first_row = 0, view_rows = 0;
    int32_t frame_x = 0, frame_y = 0;  // the window's offset in frame pixels
    Window window;                     // x, y, w, h as the kernels take them
};

// Types 22 and 23: the camera's binned frame is a quarter of the sensor's
// (the rows and the margin columns binned too). The window starts at the
// offset the exposure start left, in frame pixels.
void plan_22_23(const CameraRecord& camera, const ExposureInfo& exposure, ReadoutPlan& plan) {
    const bool hw = camera.hw_bin.enabled && camera.hw_bin.x >= 2;
    const int fx = hw ? camera.hw_bin.x : 1;
    const int fy = hw ? std::max<int>(camera.hw_bin.y, 1) : 1;
    plan.stride = camera.fw / fx;
    plan.rows = camera.fh / fy;
    plan.margin = std::min(cmos_margin_columns(camera.camera_class) / fx, plan.stride);
    plan.transfer = size_t(plan.stride) * size_t(plan.rows) * 2;
    plan.frame_x = std::clamp(exposure.x, 0, plan.stride - plan.margin);
    plan.frame_y = std::clamp(exposure.y, 0, plan.rows);
    const CmosFrame view{nullptr, size_t(plan.stride), plan.rows - plan.frame_y, plan.margin + plan.frame_x};
    plan.window = clamp_to_cmos_frame(view, {0, 0, exposure.w, exposure.h}, plan.bx, plan.by);
}

// Type 24: the frame's rows run from the bottom of the sensor up, so the
// window hangs from the row `y` below the frame's top end, and its binned
// rows are counted from there.
void plan_24(const CameraRecord& camera, const ExposureInfo& exposure, ReadoutPlan& plan) {
    if (camera.bothgains) {
        plan.combine = plan.transform = false;
    } else {
        plan.combine = camera.read_mode == 0;
        plan.transform = camera.read_mode == 3;
    }
    const size_t frame = size_t(camera.fw) * size_t(camera.fh) * 2;
    plan.transfer = plan.combine ? 2 * frame : frame;

    int32_t w = exposure.w;
    const int f = camera.hw_bin.enabled ? std::max<int>(camera.hw_bin.x, 1) : 1;
    if (!camera.overscan && exposure.x == 0 && int64_t{w} * plan.bx == camera.fw) {
        // The whole width asked for without overscan: the image columns
        // only (binned ones when the camera bins).
        w = std::min(w, (camera.fw - TYPE_24_OVERSCAN_COLUMNS / f) / plan.bx);
    }
    const int32_t top = camera.fh - std::clamp(exposure.y, 0, camera.fh);
    plan.first_row = top % plan.by;
    plan.view_rows = top - plan.first_row;
    plan.frame_x = std::max(exposure.x, 0);
    plan.frame_y = camera.fh - top;
    plan.window = clamp_window({plan.frame_x / plan.bx, 0, w, exposure.h}, camera.fw / plan.bx,
                               plan.view_rows / plan.by);
    plan.frame_x = plan.window.x * plan.bx;
}

bool convert_22_23(const CameraRecord& camera, const ReadoutPlan& plan, const uint16_t* frame, uint16_t* out) {
    const CmosFrame view{frame + size_t(plan.frame_y) * size_t(plan.stride), size_t(plan.stride),
                         plan.rows - plan.frame_y, plan.margin + plan.frame_x};
    const RowOrder order = cmos_row_order(camera.camera_class);
    if (!plan.bin)
        return cmos_copy(view, plan.window, order, out);
    CmosBinning binning;
    binning.bx = plan.bx;
    binning.by = plan.by;
    binning.sum = camera.bin_sum;
    binning.saturate = camera.bin_saturate;
    binning.saturation = cmos_saturation_value(camera.camera_class, camera.sensor_variant);
    return cmos_bin(view, plan.window, binning, order, out);
}

bool convert_24(const CameraRecord& camera, const ReadoutPlan& plan, const uint16_t* frame, uint16_t* out) {
    const size_t skip = size_t(plan.first_row) * size_t(camera.fw);
    const uint16_t* second = frame + size_t(camera.fw) * size_t(camera.fh);
    const GainFrame view{frame + skip, plan.combine ? second + skip : nullptr, camera.fw, plan.view_rows};
    const GainMode mode = plan.combine ? GainMode::combine : plan.transform ? GainMode::transform : GainMode::plain;
    return convert_gain_frame(view, plan.window, plan.bx, plan.by, mode, {camera.hdr_gain, camera.hdr_offset}, out);
}

}  // namespace

DriverResult astro_readimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out, uint32_t& read_bytes,
                    bool start_next) {
    read_bytes = 0;
    if (!is_cmos_type(camera))
        return DriverResult::not_available();
    if (start_next && !start_next_supported(camera))
        return DriverResult::refused();
    // No exposure started since the camera was opened: no frame to read.
    if (camera.fw <= 0 || camera.fh <= 0)
        return DriverResult::refused();

    ReadoutPlan plan;
    plan.bin = camera.bin_x > 1 || camera.bin_y > 1;
    if (plan.bin) {
        plan.bx = camera.bin_x;
        plan.by = camera.bin_y;
    }
    const bool type_24 = camera.camera_type == 24;
    if (type_24)
        plan_24(camera, exposure, plan);
    else
        plan_22_23(camera, exposure, plan);

    log_trace("astro_readimage(): bin = %d, combine = %d, transform = %d", plan.bin, plan.combine, plan.transform);
    log_trace("    x, y, w, h = %d, %d, %d, %d", exposure.x, exposure.y, exposure.w, exposure.h);
    log_trace("    dx, dy, dw, dh = %d, %d, %d, %d", plan.frame_x, plan.frame_y, plan.window.w, plan.window.h);
    log_trace("    fw, fh = %d, %d", camera.fw, camera.fh);
    log_trace("    bin_x, bin_y = %d, %d", camera.bin_x, camera.bin_y);
    log_trace("    hw_bin, hw_bin.x, hw_bin.y = %s, %d, %d", camera.hw_bin.enabled ? "true" : "false", camera.hw_bin.x,
              camera.hw_bin.y);
    log_trace("    read_bytes = %d, start_next = %s", static_cast<int>(plan.transfer), start_next ? "true" : "false");
    if (camera.camera_class == 10)
        log_trace("    bothgains = %d, overscan = %d", camera.bothgains, camera.overscan);

    std::unique_ptr<uint8_t[]> buffer = allocate_read_buffer(plan.transfer);
    if (!buffer)
        return DriverResult::refused();
    const uint8_t request = start_next ? 0x28 : 0x27;
    if (const DriverResult result = transfer_image(camera, &request, 1, buffer.get(), plan.transfer, true); result.failed())
        return result;

    // The stream is 16-bit little-endian, which on this host is uint16_t.
    const auto* frame = reinterpret_cast<const uint16_t*>(buffer.get());
    const bool converted = type_24 ? convert_24(camera, plan, frame, out) : convert_22_23(camera, plan, frame, out);
    if (!converted) {
        log_message(LOG_ERR, "astro_readimage(): window %d, %d, %d, %d outside the %dx%d frame", plan.frame_x,
                    plan.frame_y, plan.window.w, plan.window.h, camera.fw, camera.fh);
        return DriverResult::refused();
    }
    exposure.x = plan.frame_x;
    exposure.y = plan.frame_y;
    exposure.w = plan.window.w;
    exposure.h = plan.window.h;
    read_bytes = static_cast<uint32_t>(plan.window.w) * static_cast<uint32_t>(plan.window.h) * 2;
    return DriverResult::ok();
}
