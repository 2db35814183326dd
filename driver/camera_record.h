// The per-camera record and the facts derived from it at open.
//
// Records live in the camera registry's static table; they never move and are
// never freed, so threads keep pointers to them. Fields other than the two
// locks, `state`, `node` and `reading` are written by the thread that holds
// the camera (or by the registry while it holds registry_mutex). `state` is
// moved by the registry only; `node` is swapped by the registry and copied
// by every command and transfer for its length.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "driver/camera_info.h"
#include "driver/camera_models.h"
#include "driver/device_node.h"
#include "driver/device_state.h"
#include "driver/frame_lock.h"

inline constexpr size_t CAMERA_PATH_SIZE = 4096;

// After-open values of the dual-gain combination and the time-stamp clock.
inline constexpr int32_t DEFAULT_HDR_GAIN = 21703;
inline constexpr int32_t DEFAULT_HDR_OFFSET = -1899;
inline constexpr double DEFAULT_CLOCK_PERIOD = 1.0 / 72.04e6;

// Hardware binning of a CMOS camera.
struct HardwareBinning {
    uint8_t x = 1;         // factors currently set in the camera
    uint8_t y = 1;
    bool enabled = false;  // the client asked for hardware binning
};

struct CameraRecord {
    char path[CAMERA_PATH_SIZE] = {};  // the device node; empty: a free slot
    std::atomic<DeviceState> state{DeviceState::free};
    uint32_t pid = 0;
    uint32_t camera_type = 0;          // determine_camera_type
    uint32_t camera_class = 0;         // determine_camera_class
    CameraInfo info = {};              // the identification read at open
    SharedSlot<DeviceNode> node;       // the open node; empty while closed
    int32_t owner_sock = 0;            // holding TCP client; 0 for Alpaca or none
    sockaddr_in owner_addr = {};       // that client's address
    uint32_t sensor_variant = 0;       // 0..7, timing constants of the CMOS cameras
    uint8_t bin_x = 1;                 // software binning
    uint8_t bin_y = 1;
    HardwareBinning hw_bin;
    int32_t fw = 0;                    // frame of the next readout
    int32_t fh = 0;
    uint32_t shutter_open_ms = 0;
    uint32_t shutter_close_ms = 0;
    uint32_t read_mode = 0;
    bool temp_format = false;          // class 2: temperatures in signed 1/16 degree
    bool extended_fw = false;          // class 2: sub-frame readout supported
    bool fixed_read_mode = false;      // no selectable readout modes
    bool overscan = false;             // type 24: deliver the 64 overscan columns
    bool bothgains = false;            // type 24: deliver both gain channels
    int32_t hdr_gain = DEFAULT_HDR_GAIN;
    int32_t hdr_offset = DEFAULT_HDR_OFFSET;
    double exp_time_actual = 1.0;      // seconds, as last rounded to the camera's clock
    double clock_period = DEFAULT_CLOCK_PERIOD;  // seconds per time-stamp tick
    bool bin_sum = false;              // binned pixels are summed, not averaged
    bool bin_saturate = false;         // a bin with a saturated pixel saturates
    uint32_t gain = 0;                 // last gain set (CMOS)
    std::atomic<bool> reading{false};  // an image transfer runs ("GetFrame")
    bool shutter_is_open = false;
    std::mutex command_mutex;          // one command exchange at a time
    FrameLock frame_lock;              // held for a whole image transfer
    uint16_t ver128_hi = 0;            // version words read at initialisation
    uint16_t ver128_lo = 0;
    uint16_t ver129_hi = 0;
    uint16_t ver129_lo = 0;
    uint16_t ver130 = 0;
    uint16_t ver131 = 0;
    uint16_t ver_reserved = 0;         // always 0
};

// Sets every field but `path`, `state`, `node` and the two locks to its
// after-open value: info, pid, type, class and owner cleared, binning factors 1, the
// dual-gain coefficients, exposure time and clock period their defaults,
// all flags, modes and version words 0. The caller holds registry_mutex.
void reset_camera_record(CameraRecord& camera);

// Timing variant 0..7 of a camera: 0 unless it is of a CMOS type, else chosen
// by its class and sensor width.
uint32_t sensor_variant(uint32_t camera_type, uint32_t camera_class, uint16_t width);

// Whether binning is done by the camera: a CMOS camera whose client asked for
// it (hw_bin.enabled) and whose firmware can (version word ver128_lo); never
// product id 3138.
bool hw_binning_capable(const CameraRecord& camera);

// Whether a client holds the camera (present or not).
inline bool is_held(const CameraRecord& camera) { return is_held(camera.state.load()); }

inline bool is_dual_sample(const CameraRecord& camera) { return is_dual_sample(camera.pid); }
inline bool is_new_interface(const CameraRecord& camera) { return is_new_interface(camera.pid); }
inline bool is_cmos_type(const CameraRecord& camera) { return is_cmos_type(camera.camera_type); }
