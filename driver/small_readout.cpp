// Readout of the class-2 cameras.
//
// The camera sends h + 4 rows, each 8 bytes of padding and then w pixels:
// 16-bit big-endian samples, or in readout mode 1 a pair of them per pixel
// (the pixel is their mean). The pairs lie right after the padding, as the
// samples of the other modes do (image_kernels.h: small_frame_layout).
// Firmware with sub-frame readout (extended_fw) takes the window in its
// request; older firmware always sends the whole sensor, and the window is
// cut out of it here.
#include <syslog.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "common/log.h"
#include "driver/image_kernels.h"
#include "driver/readout.h"
#include "driver/readout_request.h"
#include "driver/readout_transfer.h"

namespace {

constexpr double TICKS_PER_SECOND = 8000;
constexpr int32_t MAX_WORD = 0xFFFF;

// A geometry the 16-bit words of the request can carry, and whose byte
// count the 32-bit read_bytes can.
bool request_fits(const Window& window, bool pairs) {
    const int32_t pad_columns = pairs ? 2 : 4;
    return window.x >= 0 && window.y >= 0 && window.w > 0 && window.h > 0 && window.x <= MAX_WORD &&
           window.y <= MAX_WORD && window.w <= MAX_WORD - pad_columns && window.h <= MAX_WORD - 4 &&
           uint64_t{4} * static_cast<uint64_t>(window.w) * static_cast<uint64_t>(window.h) <= UINT32_MAX;
}

ReadoutRequest small_request(const CameraRecord& camera, const ExposureInfo& exposure, const Window& frame,
                             bool pairs) {
    const bool exposing = exposure.exp_time >= 0;
    if (!camera.extended_fw) {
        ReadoutRequest request(exposing ? 0x05 : 0x04);
        if (exposing)
            request.word(count16(exposure.exp_time, TICKS_PER_SECOND));
        return request;
    }
    ReadoutRequest request(exposing ? 0x08 : 0x07);
    request.word(static_cast<uint16_t>(frame.x))
        .word(static_cast<uint16_t>(frame.y))
        .word(static_cast<uint16_t>(frame.w + (pairs ? 2 : 4)))
        .word(static_cast<uint16_t>(frame.h + 4));
    if (exposing)
        request.word(count16(exposure.exp_time, TICKS_PER_SECOND));
    return request;
}

}  // namespace

DriverResult astro_small_getimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out, uint32_t& read_bytes) {
    read_bytes = 0;
    const bool pairs = camera.read_mode == 1;
    log_trace("astro_small_getimage(): x, y, w, h = %d, %d, %d, %d", exposure.x, exposure.y, exposure.w,
              exposure.h);
    Window window{exposure.x, exposure.y, exposure.w, exposure.h};
    // What the camera sends: the window itself, or the whole (binned) sensor.
    Window frame = window;
    if (!camera.extended_fw) {
        frame = {0, 0, camera.info.width / std::max<int32_t>(camera.bin_x, 1),
                 camera.info.height / std::max<int32_t>(camera.bin_y, 1)};
        window = clamp_window(window, frame.w, frame.h);
    }
    if (!out || window.w <= 0 || window.h <= 0 || !request_fits(frame, pairs)) {
        log_message(LOG_ERR, "astro_small_getimage(): window %d, %d, %d, %d cannot be read", exposure.x,
                    exposure.y, exposure.w, exposure.h);
        return DriverResult::refused();
    }
    const SmallFrameLayout layout = small_frame_layout(frame.w, frame.h, pairs);
    std::unique_ptr<uint8_t[]> buffer = allocate_read_buffer(layout.transfer_bytes);
    if (!buffer)
        return DriverResult::refused();
    const ReadoutRequest request = small_request(camera, exposure, frame, pairs);
    if (const DriverResult result = transfer_image(camera, request.data(), request.size(), buffer.get(), layout.transfer_bytes,
                                    false);
        result.failed())
        return result;

    bool converted = false;
    if (window.w == frame.w && window.h == frame.h) {
        converted = convert_small_frame(buffer.get(), layout.transfer_bytes, frame.w, frame.h, pairs, out);
    } else {
        const size_t pixels = static_cast<size_t>(frame.w) * static_cast<size_t>(frame.h);
        std::unique_ptr<uint16_t[]> whole(new (std::nothrow) uint16_t[pixels]);
        if (!whole) {
            log_message(LOG_ERR, "Cannot allocate a frame of %zu pixels", pixels);
            return DriverResult::refused();
        }
        converted = convert_small_frame(buffer.get(), layout.transfer_bytes, frame.w, frame.h, pairs, whole.get()) &&
                    copy_window_u16(whole.get(), frame.w, frame.h, window, out);
    }
    if (!converted) {
        log_message(LOG_ERR, "astro_small_getimage(): window %d, %d, %d, %d outside the %dx%d frame", window.x,
                    window.y, window.w, window.h, frame.w, frame.h);
        return DriverResult::refused();
    }
    exposure.w = window.w;
    exposure.h = window.h;
    // Pair mode counts its 4 bytes per pixel; the caller halves it.
    read_bytes = static_cast<uint32_t>(window.w) * static_cast<uint32_t>(window.h) * (pairs ? 4u : 2u);
    return DriverResult::ok();
}
