#include "alpaca/devices/cv_camera.h"

#include <syslog.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <new>

#include "alpaca/devices/driver_info.h"
#include "alpaca/types.h"
#include "common/log.h"
#include "common/threads.h"
#include "driver/camera_init.h"
#include "driver/camera_open.h"
#include "driver/camera_params.h"
#include "driver/readout.h"
#include "registry/registry.h"

namespace AlpacaServer {

namespace {

using Clock = ExposureRoad::Clock;
using Lock = std::lock_guard<std::mutex>;

constexpr double IDLE_PERIOD_S = 14.0;
constexpr double COOLER_PERIOD_S = 9.0;
// Classic exposures up to this long are made and read in one request.
constexpr double SHORT_EXPOSURE_S = 0.25;

bool flag_of(const CameraRecord& camera, int index) {
    uint8_t value = 0;
    return gbp(&camera, index, &value) == 0 && value != 0;
}

std::chrono::nanoseconds seconds(double s) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(s));
}

// A host-timed exposure is due a millisecond early, so rounding never makes
// its own expiry look early.
Clock::time_point due_after(double s) { return Clock::now() - std::chrono::milliseconds(1) + seconds(s); }

}  // namespace

// --- CVCamera: connection ------------------------------------------------

CVCamera::CVCamera(std::shared_ptr<CameraClaim> claim, double period_scale)
    : claim_(std::move(claim)), period_scale_(period_scale) {
    device_id = static_cast<int>(record().info.id);
}

CVCamera::~CVCamera() {
    Timer timer;
    {
        Lock hold(road_.exposure_mutex);
        timer = std::move(exposure_timer_);
    }
    {
        Lock hold(poller_mutex_);
        cooler_poller_.reset();
    }
    timer.reset();
    readouts_.wait_all();
    Lock hold(poller_mutex_);
    idle_poller_.reset();
}

bool CVCamera::usable() const {
    return claim_->camera_connected.load() && record().state.load() == DeviceState::held;
}

bool CVCamera::capable(int index) const { return flag_of(record(), index); }

int CVCamera::get_connected(bool& value) {
    value = usable();
    return kOk;
}

int CVCamera::put_connected(bool value) {
    if (value == claim_->camera_connected.load())
        return kOk;
    return value ? connect_camera() : disconnect_camera();
}

int CVCamera::connect() { return connect_camera(); }
int CVCamera::disconnect() { return disconnect_camera(); }

int CVCamera::connect_camera() {
    Lock claiming(claim_->mutex);
    if (claim_->camera_connected.load())
        return kOk;
    CameraRecord& camera = record();
    // The wheel device holds the claim already: the two share it.
    if (!claim_->wheel_connected.load()) {
        if (!alpaca_claim_camera(&camera))
            return is_held(camera) ? kInvalidOperation : kNotConnected;
        if (camera.info.id != static_cast<uint32_t>(device_id)) {  // the record went to another camera
            alpaca_release_camera(&camera);
            return kNotConnected;
        }
    }
    // A readout left running by the last disconnect reads the record
    // that the initialisation rewrites.
    readouts_.wait_all();
    CameraInfo info;
    if (usb_camera_info(camera, info) != 0) {
        log_message(LOG_ERR, "Camera in bad state, usb_camera_info() failed");
        if (!claim_->wheel_connected.load())
            alpaca_release_camera(&camera);
        return kNotConnected;
    }
    {
        Lock hold(road_.exposure_mutex);
        init_camera(camera, info);
    }
    (void)clear_sensor(camera);
    {
        Lock hold(poller_mutex_);
        idle_poller_ = std::make_unique<dp::periodic_function>(seconds(IDLE_PERIOD_S * period_scale_),
                                                               [this] { idle_work(); });
        idle_poller_->start_repeating();
        cooler_poller_.reset();
        if (is_dual_sample(camera)) {
            cooler_poller_ = std::make_unique<dp::periodic_function>(seconds(COOLER_PERIOD_S * period_scale_),
                                                                     [this] { cooler_work(); });
            cooler_poller_->start_repeating();
        }
        claim_->camera_connected.store(true);
    }
    return kOk;
}

int CVCamera::disconnect_camera() {
    Lock claiming(claim_->mutex);
    if (!claim_->camera_connected.load())
        return kOk;
    Timer retired;
    {
        Lock hold(road_.exposure_mutex);
        if (exposure_running())
            stop_exposure(true, retired);
    }
    retired.reset();
    Timer idle, cooler;
    {
        Lock hold(poller_mutex_);
        claim_->camera_connected.store(false);  // readouts ending now leave the idle poller off
        idle = std::move(idle_poller_);
        cooler = std::move(cooler_poller_);
    }
    idle.reset();
    cooler.reset();
    // A readout under way ends (it fails when the camera is gone) before
    // another client may take the camera.
    readouts_.wait_all();
    // The wheel device keeps the claim while it is connected.
    if (!claim_->wheel_connected.load())
        alpaca_release_camera(&record());
    return kOk;
}

// --- CVCamera: pollers ---------------------------------------------------

bool CVCamera::idle() const {
    const ExposureState state = road_.state();
    return !record().node.empty() && state != ExposureState::exposing && state != ExposureState::reading &&
           !record().reading.load();
}

void CVCamera::idle_work() {
    if (idle())
        (void)clear_sensor(record());
}

void CVCamera::cooler_work() {
    float power = -1;
    if (idle() && get_cooler_power_dual(record(), power).is_ok())
        dual_cooler_power_.store(power);
}

void CVCamera::restart_idle_poller() {
    Lock hold(poller_mutex_);
    if (idle_poller_ && claim_->camera_connected.load())
        idle_poller_->start_repeating();  // stops it first
}

void CVCamera::stop_idle_poller() {
    Lock hold(poller_mutex_);
    if (idle_poller_)
        idle_poller_->stop();
}

// --- CVCamera: exposures -------------------------------------------------

bool CVCamera::exposure_running() const {
    return road_.state() == ExposureState::exposing && !cmos_ended_;
}

void CVCamera::drop_lost_exposure(Timer& retired) {
    if (road_.state() != ExposureState::exposing)
        return;
    const NodeRef node = exposure_node_.lock();
    if (node && !node->gone())
        return;
    retired = std::move(exposure_timer_);
    cmos_ended_ = false;
    road_.move(ExposureState::discarded);
    restart_idle_poller();
}

bool CVCamera::prepare_frame(std::size_t pixels) {
    try {
        // A download holds the last frame: the new one gets a buffer of
        // its own. Otherwise the buffer is reused and only grows.
        if (!frame_ || frame_.use_count() > 1)
            frame_ = std::make_shared<std::vector<uint16_t>>(pixels);
        else if (frame_->size() < pixels)
            frame_->resize(pixels);
    } catch (const std::bad_alloc&) {
        log_message(LOG_ERR, "Cannot allocate an image buffer of %zu pixels", pixels);
        frame_.reset();
        return false;
    }
    return true;
}

int CVCamera::startexposure(double duration, bool light) {
    if (!usable())
        return kNotConnected;
    if (!(duration >= 0) || !std::isfinite(duration))
        return kInvalidValue;
    CameraRecord& camera = record();
    Timer retired, lost;
    int answer = kOk;
    {
        Lock hold(road_.exposure_mutex);
        drop_lost_exposure(retired);
        const ExposureState state = road_.state();
        // Nothing of a running exposure or readout is touched.
        if (state == ExposureState::reading || (state == ExposureState::exposing && !cmos_ended_) ||
            camera.reading.load())
            return kInvalidOperation;
        int32_t width = 0, height = 0;
        gip(&camera, 1, &width);
        gip(&camera, 2, &height);
        if (num_x_.load() == 0)
            num_x_.store(width);
        if (num_y_.load() == 0)
            num_y_.store(height);
        const int64_t bx = camera.bin_x, by = camera.bin_y;
        const int64_t x = start_x_.load(), y = start_y_.load(), w = num_x_.load(), h = num_y_.load();
        if (x < 0 || x * bx >= width || y < 0 || y * by >= height || w <= 0 || h <= 0 || (x + w) * bx > width ||
            (y + h) * by > height)
            return kInvalidValue;

        ExposureInfo exposure;
        exposure.shutter = light ? 1 : 0;
        exposure.exp_time = duration;
        if (!light)
            exposure.exp_time += (camera.shutter_open_ms + camera.shutter_close_ms) / 1000.0;
        exposure.x = static_cast<int32_t>(x);
        exposure.y = static_cast<int32_t>(y);
        exposure.w = static_cast<int32_t>(w);
        exposure.h = static_cast<int32_t>(h);
        last_duration_.store(exposure.exp_time);
        start_time_ = utc_timestamp();

        // The camera takes the binning and readout mode again, as a camera
        // plugged in anew has forgotten them.
        const HardwareBinning& hw = camera.hw_bin;
        if ((hw.enabled ? set_binning(camera, hw.x, hw.y) : set_binning(camera, camera.bin_x, camera.bin_y)).failed() ||
            set_read_mode(camera, camera.read_mode).failed())
            return kInvalidValue;

        const bool cmos = is_cmos_type(camera);
        const bool timed = !cmos && (exposure.exp_time > SHORT_EXPOSURE_S || camera.camera_type == 3);
        if (!prepare_frame(static_cast<std::size_t>(w * h)) ||
            !road_.begin(timed ? due_after(exposure.exp_time) : ExposureRoad::NEVER))
            return kInvalidValue;
        if (retired)
            lost = std::move(retired);
        retired = std::move(exposure_timer_);
        cmos_ended_ = false;
        exposure_ = exposure;
        exposure_node_ = camera.node.get();
        stop_idle_poller();

        bool started = false;
        if (cmos) {
            started = start_exposure_cmos(camera, exposure_, false).is_ok() &&
                      prepare_frame(static_cast<std::size_t>(exposure_.w) * static_cast<std::size_t>(exposure_.h));
        } else if (!timed) {
            // Short: the readout request exposes and reads in one.
            short_exposure_ = true;
            started = road_.move(ExposureState::reading) && start_readout();
        } else if (start_exposure(camera, exposure_).is_ok()) {
            const uint64_t generation = road_.generation();
            exposure_timer_ = std::make_unique<dp::periodic_function>(
                seconds(exposure_.exp_time), [this, generation] { exposure_timer_fired(generation); });
            started = exposure_timer_->start_once();
        }
        if (!started) {
            short_exposure_ = false;
            road_.move(ExposureState::discarded);
            restart_idle_poller();
            answer = kInvalidValue;
        }
    }
    return answer;  // the superseded timer is joined here, outside the lock
}

// With exposure_mutex held, the road in `reading`: a thread reads the image
// of exposure_ into the current frame buffer.
bool CVCamera::start_readout() {
    readouts_.enter();
    const bool started = start_detached("image readout", [this, exposure = exposure_, frame = frame_,
                                                          generation = road_.generation()] {
        read_out(exposure, frame, generation);
        readouts_.leave();
    });
    if (!started)
        readouts_.leave();
    return started;
}

void CVCamera::read_out(ExposureInfo exposure, Frame frame, uint64_t generation) {
    CameraRecord& camera = record();
    uint32_t bytes = 0;
    DriverResult result = DriverResult::refused();
    if (camera.camera_class == 2)
        result = astro_small_getimage(camera, exposure, frame->data(), bytes);
    else if (is_new_interface(camera))
        result = astro_cmos_getimage(camera, exposure, frame->data(), bytes);
    else
        result = astro_big_getimage_single(camera, exposure, frame->data(), bytes);
    if (result.failed())
        log_message(LOG_ERR, "Image readout failed: %d", wire_status(result));
    {
        Lock hold(road_.exposure_mutex);
        short_exposure_ = false;
        // Starts are refused while the road is `reading`, so the exposure
        // and its buffer are still the current ones.
        if (road_.generation() == generation && road_.state() == ExposureState::reading) {
            if (result.is_ok() && frame == frame_) {
                frame_w_ = exposure.w;
                frame_h_ = exposure.h;
                road_.move(ExposureState::ready);
            } else {
                road_.move(ExposureState::discarded);
            }
        }
    }
    frame.reset();  // before the restart: a start that follows can reuse the buffer
    restart_idle_poller();
}

void CVCamera::exposure_timer_fired(uint64_t generation) {
    Lock hold(road_.exposure_mutex);
    if (road_.generation() != generation || !road_.expiry_due(Clock::now()))
        return;  // aborted, stopped or superseded meanwhile
    const NodeRef node = exposure_node_.lock();
    if (!node || node->gone() || end_exposure(record(), exposure_.shutter, 0).failed()) {
        // Nothing would ever end it: the camera is gone or refuses.
        log_message(LOG_ERR, "Ending the exposure failed");
        road_.move(ExposureState::discarded);
        restart_idle_poller();
        return;
    }
    exposure_.exp_time = -1.0;  // read the exposure that runs
    if (!road_.move(ExposureState::reading) || !start_readout()) {
        road_.move(ExposureState::discarded);
        restart_idle_poller();
    }
}

// With exposure_mutex held and an exposure running. The exposure timer is
// handed to `retired`, to be stopped after the lock is released.
void CVCamera::stop_exposure(bool abort, Timer& retired) {
    CameraRecord& camera = record();
    if (is_cmos_type(camera)) {
        (void)stop_exposure_cmos(camera, abort ? 0 : 1);
        if (abort)
            road_.move(ExposureState::discarded);
        else
            cmos_ended_ = true;  // the frame waits in the camera
        restart_idle_poller();
        return;
    }
    retired = std::move(exposure_timer_);
    (void)end_exposure(camera, exposure_.shutter, abort ? 1 : 0);
    if (!abort) {
        exposure_.exp_time = -1.0;
        if (road_.move(ExposureState::reading) && start_readout())
            return;
    }
    road_.move(ExposureState::discarded);
    restart_idle_poller();
}

int CVCamera::abortexposure() {
    if (!usable())
        return kNotConnected;
    Timer retired;
    {
        Lock hold(road_.exposure_mutex);
        drop_lost_exposure(retired);
        if (road_.state() == ExposureState::reading || record().reading.load())
            return kInvalidOperation;  // a readout runs
        if (exposure_running())
            stop_exposure(true, retired);
    }
    return kOk;
}

int CVCamera::stopexposure() {
    if (!usable())
        return kNotConnected;
    Timer retired;
    {
        Lock hold(road_.exposure_mutex);
        drop_lost_exposure(retired);
        if (exposure_running() && !record().reading.load())
            stop_exposure(false, retired);
    }
    return kOk;
}

int CVCamera::get_imageready(bool& value) {
    value = false;
    if (!usable())
        return kNotConnected;
    Timer retired;
    Lock hold(road_.exposure_mutex);
    drop_lost_exposure(retired);
    const ExposureState state = road_.state();
    if (state == ExposureState::ready) {
        value = true;
    } else if (is_cmos_type(record()) && state == ExposureState::exposing) {
        bool ready = cmos_ended_;
        if (!ready && image_ready(record(), ready).is_ok() && ready)
            cmos_ended_ = true;
        value = ready;
    }
    return kOk;
}

int CVCamera::get_imagearray(FrameView& frame) {
    frame = FrameView{};
    if (!usable())
        return kNotConnected;
    CameraRecord& camera = record();
    Timer retired;
    std::unique_lock<std::mutex> hold(road_.exposure_mutex);
    drop_lost_exposure(retired);
    if (is_cmos_type(camera) && road_.state() == ExposureState::exposing && cmos_ended_) {
        // The frame waits in the camera: read it now, with the road in
        // `reading` so that nothing starts meanwhile.
        cmos_ended_ = false;
        if (!road_.move(ExposureState::reading))
            return kInvalidOperation;
        ExposureInfo exposure = exposure_;
        Frame target = frame_;
        hold.unlock();
        uint32_t bytes = 0;
        const DriverResult result = astro_readimage(camera, exposure, target->data(), bytes, false);
        GpsTime time;
        const bool stamped = result.is_ok() && flag_of(camera, 15) && get_gps_time(camera, time).is_ok();
        hold.lock();
        if (result.failed()) {
            log_message(LOG_ERR, "Image readout failed: %d", wire_status(result));
            road_.move(ExposureState::discarded);
            return kInvalidOperation;
        }
        frame_w_ = exposure.w;
        frame_h_ = exposure.h;
        road_.move(ExposureState::ready);
        if (stamped) {
            char text[64];
            std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%f", time.year, time.month, time.day,
                          time.hour, time.minute, time.second);
            start_time_ = text;
        }
    }
    if (road_.state() != ExposureState::ready || !frame_)
        return kInvalidOperation;
    frame.pixels = frame_->data();
    frame.count = frame_->size();
    frame.width = frame_w_;
    frame.height = frame_h_;
    frame.owner = frame_;
    return kOk;
}

int CVCamera::get_camerastate(int32_t& value) {
    if (!usable())
        return kNotConnected;
    Timer retired;
    std::unique_lock<std::mutex> hold(road_.exposure_mutex);
    drop_lost_exposure(retired);
    hold.unlock();
    const ExposureState state = road_.state();
    if (record().reading.load())
        value = 3;
    else if (state == ExposureState::exposing && !cmos_ended_.load())
        value = 2;
    else if (state == ExposureState::reading)
        value = short_exposure_.load() ? 2 : 4;
    else
        value = 0;
    return kOk;
}

int CVCamera::get_lastexposureduration(double& value) {
    if (!usable())
        return kNotConnected;
    value = last_duration_.load();
    return value < 0 ? kInvalidOperation : kOk;
}

int CVCamera::get_lastexposurestarttime(char* value, std::size_t size) {
    if (!usable())
        return kNotConnected;
    Lock hold(road_.exposure_mutex);
    if (start_time_.empty())
        return kInvalidOperation;
    copy_text(value, size, start_time_.c_str());
    return kOk;
}

}  // namespace AlpacaServer
