#include "thread/camera_exposure.h"

#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>

#include "common/log.h"
#include "thread/camera_readings.h"

namespace {

using Clock = ExposureRoad::Clock;

// The shortest time the exposure timer is armed for: a zero would disarm it.
constexpr double SHORTEST_TIMED_S = 1e-9;
// The longest (some 31 years), as the timers cap it.
constexpr double LONGEST_TIMED_S = 1e9;

// The one place that reads an image from the camera, with exposure_mutex
// held and the road in `reading`: the readout the camera's class calls for,
// into the image buffer. Synchronous readouts publish their bytes and
// settle the road (ready or discarded) before they return; a big camera's
// returns once its background transfer runs, and the road stays in
// `reading` until settle_transfer sees the transfer end. 0, −1 (no buffer
// or memory, a stream cut short, start_next not supported), or the
// driver's result code of a failed readout request.
int run_readout(CameraSession& session, bool start_next = false) {
    CameraRecord& camera = session.camera;
    ExposureRoad& road = session.road;
    uint16_t* out = session.image_buffer.get();
    if (out == nullptr) {
        road.move(ExposureState::discarded);
        return -1;
    }
    DriverResult result = DriverResult::ok();
    uint32_t read_bytes = 0;
    if (is_cmos_type(camera)) {
        result = astro_readimage(camera, session.exposure, out, read_bytes, start_next);
    } else if (camera.camera_class == 2) {
        result = astro_small_getimage(camera, session.exposure, out, read_bytes);
    } else if (is_new_interface(camera)) {
        result = astro_cmos_getimage(camera, session.exposure, out, read_bytes);
    } else {
        std::shared_ptr<BigTransfer> transfer;
        result = astro_big_getimage(camera, session.exposure, out, transfer);
        if (result.is_ok()) {
            session.set_transfer(std::move(transfer));
            return 0;
        }
    }
    if (result.is_ok()) {
        session.image_progress.store(read_bytes, std::memory_order_release);
        road.move(ExposureState::ready);
        return 0;
    }
    log_message(LOG_ERR, "Image readout failed: %d", wire_status(result));
    road.move(ExposureState::discarded);
    return wire_status(result);  // a stream cut short is a refusal (-1)
}

// With exposure_mutex held: a big camera's background transfer that has
// ended settles its exposure, ready when every byte came, else discarded.
void settle_transfer(CameraSession& session) {
    if (session.road.state() != ExposureState::reading)
        return;
    const std::shared_ptr<BigTransfer> transfer = session.transfer();
    if (transfer && transfer->finished())
        session.road.move(transfer->done_bytes() >= transfer->size() ? ExposureState::ready
                                                                      : ExposureState::discarded);
}

// Whether the request makes an exposure: a finite time of 0 or more, and a
// window of positive size at a non-negative origin whose image takes at
// most 4 GiB − 1 bytes.
bool request_valid(const ExposureInfo& request) {
    if (!(request.exp_time >= 0) || !std::isfinite(request.exp_time))
        return false;
    if (request.w <= 0 || request.h <= 0 || request.x < 0 || request.y < 0)
        return false;
    const uint64_t bytes = static_cast<uint64_t>(request.w) * static_cast<uint64_t>(request.h) * 2;
    return bytes <= std::numeric_limits<uint32_t>::max();
}

// Grows the buffer to `size` bytes when it is smaller. False (logged) when
// there is no memory; the old buffer stays. Only while no readout writes
// the buffer.
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

// When an exposure timed by the host from now is due. A millisecond early,
// so that rounding never makes the exposure's own expiry look early; an
// older exposure's expiry still comes long before.
Clock::time_point due_after(double seconds) {
    return Clock::now() - std::chrono::milliseconds(1) +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(seconds, LONGEST_TIMED_S)));
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
    if (session.road.state() != ExposureState::reading)
        return false;
    const std::shared_ptr<BigTransfer> transfer = session.transfer();
    return !transfer || !transfer->finished();
}

int start_exposure_request(CameraSession& session, const ExposureInfo& request, bool start_variant) {
    CameraRecord& camera = session.camera;
    ExposureRoad& road = session.road;
    std::lock_guard<std::mutex> hold(road.exposure_mutex);
    // Refusals first: until the start is sure, the running exposure (if any)
    // stays as it is, with its window, its buffer and its timer.
    if (!request_valid(request))
        return -1;
    settle_transfer(session);
    if (road.state() == ExposureState::reading || camera.reading || road.frame_held())
        return -1;  // a readout still fills the buffer, or a download sends it

    const HardwareBinning& hw = camera.hw_bin;
    if (int result = wire_status(hw.enabled ? set_binning(camera, hw.x, hw.y)
                                            : set_binning(camera, camera.bin_x, camera.bin_y));
        result != 0)
        return result;
    if (int result = wire_status(set_read_mode(camera, camera.read_mode)); result != 0)
        return result;
    ExposureInfo exposure = request;
    if (!exposure.shutter)
        exposure.exp_time += (camera.shutter_open_ms + camera.shutter_close_ms) / 1000.0;
    const uint32_t size = static_cast<uint32_t>(exposure.w) * static_cast<uint32_t>(exposure.h) * 2;
    // Growing is safe under a running exposure: its readout has not begun
    // and its window fits the larger buffer as well.
    if (!reserve_image(session, size))
        return -1;

    const bool cmos = is_cmos_type(camera);
    const bool timed = !cmos && (exposure.exp_time > SHORT_EXPOSURE_S || camera.camera_type == 3);
    if (!road.begin(timed ? due_after(exposure.exp_time) : ExposureRoad::NEVER))
        return -1;
    // The exposure this one supersedes ends here: its expiry, should it
    // still come, finds a younger generation not yet due.
    stop_timer(*session.exposure_timer);
    finish_transfer(session);
    session.exposure = exposure;
    session.image_size = size;
    session.image_progress = 0;

    int result = stop_timer(*session.clean_timer);
    if (result == 0 && cmos) {
        log_trace("start exposure w/ timer: exp_time: %f, xywh: %i %i %i %i, shutter: %i", exposure.exp_time,
                  exposure.x, exposure.y, exposure.w, exposure.h, exposure.shutter);
        result = wire_status(start_exposure_cmos(camera, session.exposure, start_variant));
        if (result == 0)  // the window the readout will deliver (type 24 may cut its width)
            session.image_size = static_cast<uint32_t>(session.exposure.w) * static_cast<uint32_t>(session.exposure.h) * 2;
    } else if (result == 0 && timed) {
        result = wire_status(start_exposure(camera, session.exposure));
        if (result == 0)
            result = arm_timer(*session.exposure_timer, std::max(exposure.exp_time, SHORTEST_TIMED_S), 0,
                               "TCP_CMD_STARTEXPOSURE");
        if (result == 0)
            log_trace("start exposure w/ timer: exp_time: %f, xywh: %i %i %i %i, shutter: %i", exposure.exp_time,
                      exposure.x, exposure.y, exposure.w, exposure.h, exposure.shutter);
    } else if (result == 0) {
        // Short: the readout request exposes and reads in one.
        log_trace("start exposure wo/ timer: exp_time: %f, xywh: %i %i %i %i, shutter: %i", exposure.exp_time,
                  exposure.x, exposure.y, exposure.w, exposure.h, exposure.shutter);
        road.move(ExposureState::reading);
        return run_readout(session);
    }
    if (result != 0)
        road.move(ExposureState::discarded);
    return result;
}

int abort_exposure_request(CameraSession& session, uint8_t keep) {
    CameraRecord& camera = session.camera;
    ExposureRoad& road = session.road;
    std::lock_guard<std::mutex> hold(road.exposure_mutex);
    if (road.state() != ExposureState::exposing)
        return -1;
    if (is_cmos_type(camera)) {
        // A kept frame stays in the camera for the next read.
        const int result = wire_status(stop_exposure_cmos(camera, keep != 0));
        if (result == 0 && !keep)
            road.move(ExposureState::discarded);
        return result;
    }
    if (int result = arm_timer(*session.exposure_timer, 0, 0, "TCP_CMD_ABORTEXPOSURE"); result != 0)
        return result;
    if (int result = wire_status(end_exposure(camera, session.exposure.shutter, keep == 0)); result != 0) {
        road.move(ExposureState::discarded);  // its timer is gone: nothing would end it
        return result;
    }
    if (!keep) {
        road.move(ExposureState::discarded);
        return 0;
    }
    session.exposure.exp_time = -1.0;
    road.move(ExposureState::reading);
    return run_readout(session);
}

int image_ready_request(CameraSession& session, bool& ready) {
    ready = false;
    if (is_cmos_type(session.camera))
        return wire_status(image_ready(session.camera, ready));
    // A big camera's image is ready while it is read, unless its transfer
    // already came up short (the camera gone): that image is never whole.
    const ExposureState state = session.road.state();
    const std::shared_ptr<BigTransfer> transfer = session.transfer();
    const bool cut = transfer && transfer->finished() && transfer->result().failed();
    ready = (state == ExposureState::ready || (state == ExposureState::reading && !cut)) &&
            image_bytes_available(session) > 0;
    return 0;
}

int read_image_request(CameraSession& session, bool start_next) {
    ExposureRoad& road = session.road;
    std::lock_guard<std::mutex> hold(road.exposure_mutex);
    settle_transfer(session);
    const ExposureState state = road.state();
    if (is_cmos_type(session.camera)) {
        // The frame waits in the camera until it is read.
        if (state == ExposureState::idle || !road.move(ExposureState::reading))
            return -1;
        return run_readout(session, start_next) == 0 ? 0 : -1;
    }
    switch (state) {
    case ExposureState::reading:
        return 0;  // sent as it is read
    case ExposureState::ready:
        return image_bytes_available(session) >= session.image_size ? 0 : -1;
    default:
        return -1;
    }
}

void exposure_expired(CameraSession& session) {
    ExposureRoad& road = session.road;
    std::lock_guard<std::mutex> hold(road.exposure_mutex);
    if (!road.expiry_due(Clock::now()))
        return;  // nothing runs, or a late expiry of an exposure since superseded
    if (!camera_attached(session.camera)) {
        road.move(ExposureState::discarded);
        return;
    }
    if (int result = wire_status(end_exposure(session.camera, session.exposure.shutter, 0)); result != 0) {
        log_message(LOG_ERR, "Ending the exposure failed: %d", result);
        road.move(ExposureState::discarded);
        return;
    }
    session.exposure.exp_time = -1.0;
    road.move(ExposureState::reading);
    run_readout(session);
}

void clean_expired(CameraSession& session) {
    // An exposure being started or read holds the mutex: no cleaning then.
    std::unique_lock<std::mutex> hold(session.road.exposure_mutex, std::try_to_lock);
    if (!hold.owns_lock())
        return;
    settle_transfer(session);
    const ExposureState state = session.road.state();
    if (state == ExposureState::exposing || state == ExposureState::reading || session.camera.reading ||
        !camera_attached(session.camera))
        return;
    (void)clear_sensor(session.camera);
}

void finish_transfer(CameraSession& session) {
    if (std::shared_ptr<BigTransfer> transfer = session.transfer()) {
        transfer->wait();
        session.set_transfer(nullptr);
    }
}
