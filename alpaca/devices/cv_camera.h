// The Alpaca camera of one camera record, and the Alpaca filter wheel of a
// camera with a built-in wheel.
//
// Exposures run on the camera's exposure road (driver/exposure_road.h); no
// request waits for an exposure or a readout, except imagearray on the CMOS
// types, which reads the frame inside the request:
//   startexposure  idle, ready, discarded → exposing. CMOS types: the camera
//                  times it. Classic cameras: a one-shot timer ends it, or,
//                  for at most 0.25 s (not type 3), one request exposes and
//                  reads (→ reading at once). Refused (1035, nothing
//                  changed) while an exposure or a readout runs.
//   timer          exposing → reading: the readout thread fills the frame
//                  buffer → ready, or → discarded when it fails.
//   stopexposure   classic: exposing → reading (the image is kept);
//                  CMOS: the frame stays in the camera for imagearray.
//   abortexposure  exposing → discarded; 1035 while a readout runs.
//   imagearray     CMOS: a frame waiting in the camera is read now
//                  (exposing → reading → ready). Then only a ready frame is
//                  handed out, with the geometry it was read with.
//
// Frames: each exposure reads into a buffer of its own when a download
// still holds the last one (shared_ptr, the FrameView's owner), and reuses
// (grows) the last one otherwise, so a download never sees its frame change
// and nothing is copied per download.
//
// Threads: HTTP request threads, the idle and cooler pollers, the exposure
// timer and the readout threads. The road's exposure_mutex guards the
// exposure fields and orders starts, ends, aborts and readout results;
// everything read outside it is atomic. Lock order: claim mutex, exposure
// mutex, poller mutex. The exposure timer is stopped (joined) only outside
// the exposure mutex, whose holder its callback may be waiting for.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "alpaca/devices/box_device.h"
#include "alpaca/devices/device_threads.h"
#include "alpaca/interfaces/camera.h"
#include "alpaca/interfaces/filter_wheel.h"
#include "common/periodic_function.h"
#include "driver/camera_ops.h"
#include "driver/camera_record.h"
#include "driver/exposure.h"
#include "driver/exposure_road.h"

namespace AlpacaServer {

// What the camera device and its wheel device share: the camera record and
// the one registry claim the two hold together (the first to connect takes
// it, the last to disconnect lets go).
struct CameraClaim {
    explicit CameraClaim(CameraRecord& camera) : record(&camera) {}
    std::mutex mutex;  // connects and disconnects of both devices
    // Moved to another record only while neither device is connected (the
    // camera came back into a different record).
    std::atomic<CameraRecord*> record;
    std::atomic<bool> camera_connected{false};
    std::atomic<bool> wheel_connected{false};
    // The name the camera reported ("desc"), kept for get_name.
    std::mutex name_mutex;
    std::string name;
};

class CVCamera final : public BoxDevice<Camera> {
public:
    // `period_scale` multiplies the pollers' periods (test runs of the
    // virtual box shorten them).
    CVCamera(std::shared_ptr<CameraClaim> claim, double period_scale);
    ~CVCamera() override;

    const std::shared_ptr<CameraClaim>& claim() const { return claim_; }

    int get_connected(bool& value) override;
    int put_connected(bool value) override;
    int get_description(char* value, std::size_t size) override;
    int get_devicestate(DeviceStateMap& value) override;
    int get_interfaceversion(uint32_t& value) override;
    int get_name(char* value, std::size_t size) override;
    int connect() override;
    int disconnect() override;

    int get_bayeroffsetx(int32_t& value) override;
    int get_bayeroffsety(int32_t& value) override;
    int get_binx(int32_t& value) override;
    int put_binx(int32_t value) override;
    int get_biny(int32_t& value) override;
    int put_biny(int32_t value) override;
    int get_camerastate(int32_t& value) override;
    int get_cameraxsize(int32_t& value) override;
    int get_cameraysize(int32_t& value) override;
    int get_canabortexposure(bool& value) override;
    int get_canasymmetricbin(bool& value) override;
    int get_canfastreadout(bool& value) override;
    int get_cangetcoolerpower(bool& value) override;
    int get_canpulseguide(bool& value) override;
    int get_cansetccdtemperature(bool& value) override;
    int get_canstopexposure(bool& value) override;
    int get_ccdtemperature(double& value) override;
    int get_cooleron(bool& value) override;
    int put_cooleron(bool value) override;
    int get_coolerpower(double& value) override;
    int get_electronsperadu(double& value) override;
    int get_exposuremax(double& value) override;
    int get_exposuremin(double& value) override;
    int get_exposureresolution(double& value) override;
    int get_fastreadout(bool& value) override;
    int put_fastreadout(bool value) override;
    int get_fullwellcapacity(double& value) override;
    int get_gain(int32_t& value) override;
    int put_gain(int32_t value) override;
    int get_gainmax(int32_t& value) override;
    int get_gainmin(int32_t& value) override;
    int get_gains(std::vector<std::string>& value) override;
    int get_hasshutter(bool& value) override;
    int get_heatsinktemperature(double& value) override;
    int get_imagearray(FrameView& frame) override;
    int get_imageready(bool& value) override;
    int get_ispulseguiding(bool& value) override;
    int get_lastexposureduration(double& value) override;
    int get_lastexposurestarttime(char* value, std::size_t size) override;
    int get_maxadu(int32_t& value) override;
    int get_maxbinx(int32_t& value) override;
    int get_maxbiny(int32_t& value) override;
    int get_numx(int32_t& value) override;
    int put_numx(int32_t value) override;
    int get_numy(int32_t& value) override;
    int put_numy(int32_t value) override;
    int get_offset(int32_t& value) override;
    int put_offset(int32_t value) override;
    int get_offsetmax(int32_t& value) override;
    int get_offsetmin(int32_t& value) override;
    int get_offsets(std::vector<std::string>& value) override;
    int get_percentcompleted(int32_t& value) override;
    int get_pixelsizex(double& value) override;
    int get_pixelsizey(double& value) override;
    int get_readoutmode(int32_t& value) override;
    int put_readoutmode(int32_t value) override;
    int get_readoutmodes(std::vector<std::string>& value) override;
    int get_sensorname(char* value, std::size_t size) override;
    int get_sensortype(int32_t& value) override;
    int get_setccdtemperature(double& value) override;
    int put_setccdtemperature(double value) override;
    int get_startx(int32_t& value) override;
    int put_startx(int32_t value) override;
    int get_starty(int32_t& value) override;
    int put_starty(int32_t value) override;
    int get_subexposureduration(double& value) override;
    int put_subexposureduration(double value) override;
    int abortexposure() override;
    int pulseguide(int32_t direction, int32_t duration) override;
    int startexposure(double duration, bool light) override;
    int stopexposure() override;

    // The last good reading of get_value `index`, kept while a transfer
    // runs or the camera refuses.
    float cached_value(int index);

private:
    // The cooling target before a client sets one, and after switching the
    // cooler off when the heat sink can't be read.
    static constexpr float DEFAULT_SET_POINT = 30.0f;

    using Timer = std::unique_ptr<dp::periodic_function>;
    using Frame = std::shared_ptr<std::vector<uint16_t>>;

    CameraRecord& record() const { return *claim_->record.load(); }
    bool usable() const override;
    bool capable(int index) const;  // gbp that succeeds and is true
    int connect_camera();
    int disconnect_camera();

    // With exposure_mutex held.
    bool exposure_running() const;  // an exposure not yet ended here
    // An exposure whose camera was unplugged meanwhile ends here without an
    // image (a camera plugged in again knows nothing of it).
    void drop_lost_exposure(Timer& retired);
    bool prepare_frame(std::size_t pixels);
    void stop_exposure(bool abort, Timer& retired);
    bool start_readout();
    void exposure_timer_fired(uint64_t generation);
    void read_out(ExposureInfo exposure, Frame frame, uint64_t generation);

    void restart_idle_poller();
    void stop_idle_poller();
    void idle_work();
    void cooler_work();
    bool idle() const;  // nothing exposes or reads: pollers may talk to the camera

    const std::shared_ptr<CameraClaim> claim_;
    const double period_scale_;

    std::atomic<bool> cooler_on_{false};
    std::atomic<float> set_point_{DEFAULT_SET_POINT};
    std::atomic<float> dual_cooler_power_{0};
    std::array<std::atomic<float>, VALUE_CACHE_SLOTS> value_cache_{};
    std::atomic<int32_t> start_x_{0}, start_y_{0}, num_x_{0}, num_y_{0};
    std::atomic<double> last_duration_{-1.0};

    // --- guarded by road_.exposure_mutex --------------------------------
    ExposureRoad road_;
    ExposureInfo exposure_;
    std::string start_time_;
    Frame frame_;             // the current exposure's buffer; the last frame once ready
    int32_t frame_w_ = 0;     // the geometry the ready frame was read with
    int32_t frame_h_ = 0;
    std::atomic<bool> short_exposure_{false};  // the readout exposes first (reported as exposing)
    std::atomic<bool> cmos_ended_{false};  // CMOS: the exposure ended, its frame waits in the camera (read freely)
    Timer exposure_timer_;
    std::weak_ptr<DeviceNode> exposure_node_;  // the node the exposure runs on

    std::mutex poller_mutex_;  // the two pollers
    Timer idle_poller_;
    Timer cooler_poller_;

    ThreadCount readouts_;
};

class CVCameraWheel final : public BoxDevice<FilterWheel> {
public:
    explicit CVCameraWheel(std::shared_ptr<CameraClaim> claim);
    ~CVCameraWheel() override;

    int get_connected(bool& value) override;
    int put_connected(bool value) override;
    int get_description(char* value, std::size_t size) override;
    int get_devicestate(DeviceStateMap& value) override;
    int get_interfaceversion(uint32_t& value) override;
    int get_name(char* value, std::size_t size) override;
    int connect() override;
    int disconnect() override;

    int get_focusoffsets(std::vector<int>& value) override;
    int get_names(std::vector<std::string>& value) override;
    int get_position(int32_t& value) override;
    int put_position(int32_t value) override;

private:
    CameraRecord& record() const { return *claim_->record.load(); }
    bool usable() const override;
    int positions() const;

    const std::shared_ptr<CameraClaim> claim_;
    WheelMove move_;
};

}  // namespace AlpacaServer
