// What a camera session keeps between requests, shared with its timers and
// with the background transfer of a big camera.
//
// Threads: the session thread serves requests; each timer runs its work on
// a thread of its own; a big camera's reader and processing threads fill
// the image buffer. The exposure road's exposure_mutex orders everything
// that starts, ends or reads an exposure (the requests, the exposure and
// clean timers), so the buffer is never grown or replaced under a readout.
// Single words that the session thread reads while a timer or a transfer
// writes them are atomic.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "driver/camera_ops.h"
#include "driver/camera_record.h"
#include "driver/exposure.h"
#include "driver/readout.h"
#include "driver/exposure_road.h"
#include "thread/session_timers.h"
#include "thread/temperature_ramp.h"

// Periods of the session timers, in seconds before session_period().
inline constexpr double RAMP_PERIOD_S = RAMP_STEP_SECONDS;
inline constexpr double CLEAN_PERIOD_S = 14.0;
inline constexpr double POWER_PERIOD_S = 9.0;
// Exposures up to this long are made and read in one readout request.
inline constexpr double SHORT_EXPOSURE_S = 0.25;
// How often a download looks for more bytes of an image being read.
inline constexpr long STREAM_LOOK_MS = 50;

struct CameraSession {
    explicit CameraSession(CameraRecord& record) : camera(record) {}
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    CameraRecord& camera;

    // --- exposure and image ------------------------------------------------
    // The exposure's state; its exposure_mutex guards everything below in
    // this part.
    ExposureRoad road;
    ExposureInfo exposure;
    std::unique_ptr<uint16_t[]> image_buffer;
    uint32_t image_capacity = 0;  // bytes
    // Bytes of the current image (w·h·2). Written with exposure_mutex held
    // by the session thread only, so that thread reads it freely.
    uint32_t image_size = 0;
    // Bytes a synchronous readout delivered (its read_bytes), 0 from each
    // exposure start on; stored after the bytes are in the buffer.
    std::atomic<uint32_t> image_progress{0};

    // The background transfer of the last big-camera readout; its progress
    // counts instead of image_progress while it exists.
    std::shared_ptr<BigTransfer> transfer() const {
        std::lock_guard<std::mutex> hold(transfer_mutex_);
        return transfer_;
    }
    void set_transfer(std::shared_ptr<BigTransfer> transfer) {
        std::lock_guard<std::mutex> hold(transfer_mutex_);
        transfer_ = std::move(transfer);
    }

    // --- temperature ramp (ramp_mutex) -------------------------------------
    std::mutex ramp_mutex;
    float ramp_rate = 0;  // degrees per minute; 0 or less: no ramp
    Ramp ramp;
    std::chrono::steady_clock::time_point ramp_last_step;

    // --- readings ------------------------------------------------------------
    std::array<float, VALUE_CACHE_SLOTS> value_cache{};  // session thread only
    std::atomic<float> power_value{0};                  // the cooler power timer's last sample

    // --- timers: destroyed before everything above, waiting for their work ---
    std::unique_ptr<SessionTimer> ramp_timer;
    std::unique_ptr<SessionTimer> exposure_timer;
    std::unique_ptr<SessionTimer> clean_timer;
    std::unique_ptr<SessionTimer> power_timer;

private:
    mutable std::mutex transfer_mutex_;
    std::shared_ptr<BigTransfer> transfer_;
};

// Bytes of the current image in the buffer so far: the readout's progress,
// halved where the camera's progress counts two bytes per image byte
// (class 2 in readout mode 1, dual-sample cameras in mode 0), at most
// image_size.
uint32_t image_bytes_available(const CameraSession& session);

// Whether bytes of the current image may still arrive: its readout runs
// (for a big camera: its background transfer has not finished).
bool image_pending(const CameraSession& session);
