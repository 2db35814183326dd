#include "thread/camera_exposure.h"

#include <syslog.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "common/log.h"
#include "thread/camera_readings.h"

namespace {

// Runs the readout the camera's class calls for into the image buffer, with
// exposure_mutex held. Synchronous readouts publish their bytes when they
// return; a big camera's returns once its background transfer runs.
int run_readout(CameraSession& session) {
    CameraRecord& camera = session.camera;
    uint16_t* out = session.image_buffer.get();
    if (out == nullptr)
        return -1;
    if (camera.camera_class != 2 && !is_new_interface(camera)) {
        std::shared_ptr<BigTransfer> transfer;
        const DriverResult result = astro_big_getimage(camera, session.exposure, out, transfer);
        if (result.is_ok())
            session.set_transfer(std::move(transfer));
        return wire_status(result);
    }
    session.readout_running = true;
    uint32_t read_bytes = 0;
    const DriverResult result = camera.camera_class == 2
                                    ? astro_small_getimage(camera, session.exposure, out, read_bytes)
                                    : astro_cmos_getimage(camera, session.exposure, out, read_bytes);
    if (result.is_ok())
        session.image_progress.store(read_bytes, std::memory_order_release);
    else
        log_message(LOG_ERR, "Image readout failed: %d", wire_status(result));
    session.readout_running = false;
    return wire_status(result);
}

// Whether the window makes an image the buffer can hold: positive sizes, a
// non-negative origin and at most 4 GiB − 1 bytes.
bool window_valid(const ExposureInfo& exposure) {
    if (exposure.w <= 0 || exposure.h <= 0 || exposure.x < 0 || exposure.y < 0)
        return false;
    const uint64_t bytes = static_cast<uint64_t>(exposure.w) * static_cast<uint64_t>(exposure.h) * 2;
    return bytes <= std::numeric_limits<uint32_t>::max();
}

// Grows the buffer to `size` bytes when it is smaller. False (logged) when
// there is no memory; the old buffer stays.
bool reserve_image(CameraSession& session, uint32_t size) {
    if (session.image_capacity >= size)
        return true;
    std::unique_ptr<uint16_t[]> grown(new (std::nothrow) uint16_t[(size + 1) / 2]);
    if (!grown) {
        log_message(LOG_ERR, "Cannot allocate an image buffer of %u bytes", size);
        return false;
    }
    session.image_buffer = std::move(grown);
    session.image_capacity = size;
    return true;
}

}  // namespace

uint32_t image_bytes_available(const CameraSession& session) {
    const CameraRecord& camera = session.camera;
    const std::shared_ptr<BigTransfer> transfer = session.transfer();
    uint32_t bytes = transfer ? transfer->done_bytes() : session.image_progress.load(std::memory_order_acquire);
    const bool counts_double = (camera.camera_class == 2 && camera.read_mode == 1) ||
                               (is_dual_sample(camera) && camera.read_mode == 0);
    if (counts_double)
        bytes /= 2;
    return std::min(bytes, session.image_size);
}

bool image_pending(const CameraSession& session) {
    if (session.exposing || session.readout_running)
        return true;
    const std::shared_ptr<BigTransfer> transfer = session.transfer();
    return transfer && !transfer->finished();
}

int start_exposure_request(CameraSession& session, const ExposureInfo& request, bool start_variant) {
    CameraRecord& camera = session.camera;
    std::lock_guard<std::mutex> hold(session.exposure_mutex);
    // The buffer belongs to a readout until it has finished with it. (A
    // synchronous readout holds exposure_mutex; a running exposure that has
    // not begun its readout is simply started anew.)
    const std::shared_ptr<BigTransfer> running = session.transfer();
    if (camera.reading || (running && !running->finished()))
        return -1;
    finish_transfer(session);

    session.exposure = request;
    session.image_progress = 0;
    ExposureInfo& exposure = session.exposure;
    if (!(exposure.exp_time >= 0) || !std::isfinite(exposure.exp_time) || !window_valid(exposure))
        return -1;

    const HardwareBinning& hw = camera.hw_bin;
    if (int result = wire_status(hw.enabled ? set_binning(camera, hw.x, hw.y)
                                            : set_binning(camera, camera.bin_x, camera.bin_y));
        result != 0)
        return result;
    if (int result = wire_status(set_read_mode(camera, camera.read_mode)); result != 0)
        return result;
    if (!exposure.shutter)
        exposure.exp_time += (camera.shutter_open_ms + camera.shutter_close_ms) / 1000.0;

    const uint32_t size = static_cast<uint32_t>(exposure.w) * static_cast<uint32_t>(exposure.h) * 2;
    if (!reserve_image(session, size)) {
        session.image_size = 0;
        return -1;
    }
    session.image_size = size;

    if (is_cmos_type(camera)) {
        session.exposing = true;
        if (int result = stop_timer(*session.clean_timer); result != 0) {
            session.exposing = false;
            return result;
        }
        log_trace("start exposure w/ timer: exp_time: %f, xywh: %i %i %i %i, shutter: %i", exposure.exp_time,
                  exposure.x, exposure.y, exposure.w, exposure.h, exposure.shutter);
        const int result = wire_status(start_exposure_cmos(camera, exposure, start_variant));
        if (result != 0)
            session.exposing = false;
        else  // the window the readout will deliver (type 24 may cut its width)
            session.image_size = static_cast<uint32_t>(exposure.w) * static_cast<uint32_t>(exposure.h) * 2;
        return result;
    }

    if (exposure.exp_time > SHORT_EXPOSURE_S || camera.camera_type == 3) {
        session.exposing = true;
        int result = stop_timer(*session.clean_timer);
        if (result == 0)
            result = wire_status(start_exposure(camera, exposure));
        if (result == 0)
            result = arm_timer(*session.exposure_timer, exposure.exp_time, 0, "TCP_CMD_STARTEXPOSURE");
        if (result != 0) {
            session.exposing = false;
            return result;
        }
        log_trace("start exposure w/ timer: exp_time: %f, xywh: %i %i %i %i, shutter: %i", exposure.exp_time,
                  exposure.x, exposure.y, exposure.w, exposure.h, exposure.shutter);
        return 0;
    }

    // Short: the readout request exposes and reads in one.
    session.exposing = true;
    log_trace("start exposure wo/ timer: exp_time: %f, xywh: %i %i %i %i, shutter: %i", exposure.exp_time,
              exposure.x, exposure.y, exposure.w, exposure.h, exposure.shutter);
    int result = stop_timer(*session.clean_timer);
    if (result == 0)
        result = run_readout(session);
    session.exposing = false;
    return result;
}

int abort_exposure_request(CameraSession& session, uint8_t keep) {
    CameraRecord& camera = session.camera;
    std::lock_guard<std::mutex> hold(session.exposure_mutex);
    if (!session.exposing)
        return -1;
    if (is_cmos_type(camera)) {
        const int result = wire_status(stop_exposure_cmos(camera, keep != 0));
        if (result == 0)
            session.exposing = false;
        return result;
    }
    if (int result = arm_timer(*session.exposure_timer, 0, 0, "TCP_CMD_ABORTEXPOSURE"); result != 0)
        return result;
    if (int result = wire_status(end_exposure(camera, session.exposure.shutter, keep == 0)); result != 0)
        return result;
    int result = 0;
    if (keep) {
        session.exposure.exp_time = -1.0;
        result = run_readout(session);
    }
    session.exposing = false;
    return result;
}

int image_ready_request(CameraSession& session, bool& ready) {
    ready = false;
    if (is_cmos_type(session.camera)) {
        const int result = wire_status(image_ready(session.camera, ready));
        session.exposing = !ready;
        return result;
    }
    ready = !session.exposing && image_bytes_available(session) > 0;
    return 0;
}

int read_image_request(CameraSession& session, bool start_next) {
    CameraRecord& camera = session.camera;
    if (session.image_buffer == nullptr)
        return 0;  // nothing to send: the answer is the header alone
    const uint32_t size = session.image_size;
    if (is_cmos_type(camera)) {
        std::lock_guard<std::mutex> hold(session.exposure_mutex);
        uint32_t read_bytes = 0;
        const DriverResult result =
            astro_readimage(camera, session.exposure, session.image_buffer.get(), read_bytes, start_next);
        if (result.failed() && result != DriverResult::busy())
            return wire_status(result);
        if (result.is_ok()) {
            session.image_progress.store(read_bytes, std::memory_order_release);
            session.exposing = false;
        }
        // Nothing else will deliver bytes of this image.
        return image_bytes_available(session) < size ? -1 : 0;
    }
    // A status of 0 promises image_size bytes: refuse an image that nothing
    // will complete (discarded by an abort, or its readout failed). A
    // readout that ends between the two looks has published its bytes.
    if (image_bytes_available(session) >= size || image_pending(session))
        return 0;
    return image_bytes_available(session) >= size ? 0 : -1;
}

void exposure_expired(CameraSession& session) {
    std::lock_guard<std::mutex> hold(session.exposure_mutex);
    if (!session.exposing || !camera_attached(session.camera))
        return;
    if (int result = wire_status(end_exposure(session.camera, session.exposure.shutter, 0)); result != 0) {
        // The exposure is over without an image; a read is refused.
        log_message(LOG_ERR, "Ending the exposure failed: %d", result);
        session.exposing = false;
        return;
    }
    session.exposure.exp_time = -1.0;
    run_readout(session);
    session.exposing = false;
}

void clean_expired(CameraSession& session) {
    // An exposure being started or read holds the mutex: no cleaning then.
    std::unique_lock<std::mutex> hold(session.exposure_mutex, std::try_to_lock);
    if (!hold.owns_lock() || session.exposing || session.camera.reading || !camera_attached(session.camera))
        return;
    (void)clear_sensor(session.camera);
}

void finish_transfer(CameraSession& session) {
    if (std::shared_ptr<BigTransfer> transfer = session.transfer()) {
        transfer->wait();
        session.set_transfer(nullptr);
    }
}
