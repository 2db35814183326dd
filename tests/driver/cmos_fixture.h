// CMOS cameras on the virtual box, connected as a client's connect does,
// with what their tests compare against: the coords pattern and the
// software binning rules computed here, independently of the driver.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/camera_init.h"
#include "driver/camera_open.h"
#include "driver/camera_ops.h"
#include "driver/readout.h"
#include "tests/driver/readout_fixture.h"

namespace cmostest {

using Pixel = std::function<uint16_t(int64_t x, int64_t y)>;

// The coords pattern: (x + 2y) mod 65536.
inline uint16_t coords(int64_t x, int64_t y) { return static_cast<uint16_t>(x + 2 * y); }

// How the client bins: by the camera (hardware) or by the daemon.
struct Binning {
    int bx = 1, by = 1;
    bool hardware = false;
};

// The daemon's software binning as a client expects it.
struct BinRules {
    bool sum = false;       // summed (capped at min(C·n, 65535)), else the floor mean
    bool saturate = false;  // a block holding C gives C, or the cap when summed
    uint32_t C = 65535;     // the saturation value
};

// The w × h window at (x, y) of `pixel` binned bx × by by those rules.
inline std::vector<uint16_t> expected_window(int x, int y, int w, int h, int bx, int by, const BinRules& rules,
                                             const Pixel& pixel) {
    std::vector<uint16_t> image;
    image.reserve(size_t(std::max(w, 0)) * size_t(std::max(h, 0)));
    const uint32_t n = static_cast<uint32_t>(bx * by);
    const uint32_t cap = std::min<uint32_t>(rules.C * n, 65535);
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < w; ++i) {
            uint64_t total = 0;
            bool saturated = false;
            for (int v = 0; v < by; ++v) {
                for (int u = 0; u < bx; ++u) {
                    const uint16_t p = pixel(int64_t{x + i} * bx + u, int64_t{y + j} * by + v);
                    total += p;
                    saturated |= p == rules.C;
                }
            }
            uint64_t value = 0;
            if (n == 1)
                value = total;
            else if (rules.saturate && saturated)
                value = rules.sum ? cap : rules.C;
            else
                value = rules.sum ? std::min<uint64_t>(total, cap) : total / n;
            image.push_back(static_cast<uint16_t>(value));
        }
    }
    return image;
}

// The first few pixels where two images differ, for failure messages.
inline std::string differences(const std::vector<uint16_t>& got, const std::vector<uint16_t>& want, int w) {
    if (got.size() != want.size())
        return " size " + std::to_string(got.size()) + " instead of " + std::to_string(want.size());
    std::string text;
    int shown = 0;
    for (size_t k = 0; k < got.size() && shown < 4; ++k) {
        if (got[k] != want[k]) {
            text += " (" + std::to_string(k % size_t(w)) + "," + std::to_string(k / size_t(w)) +
                    "): " + std::to_string(got[k]) + " not " + std::to_string(want[k]);
            ++shown;
        }
    }
    return text;
}

// The outcome of one exposure and its readout.
struct Shot {
    std::optional<DriverResult> start;  // start_exposure_cmos
    std::optional<DriverResult> read;   // astro_readimage; none when it never ran
    ExposureInfo exposure;
    ExposureInfo started;  // as the start left it
    std::vector<uint16_t> image;  // what the readout said it wrote
};

// Polls image_ready until the frame is there; false on a failed poll or
// after a generous deadline.
inline bool wait_ready(CameraRecord& camera) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool ready = false;
    while (std::chrono::steady_clock::now() < deadline) {
        if (image_ready(camera, ready).failed())
            return false;
        if (ready)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// Exposes the window for `seconds`, waits for the frame and reads it.
inline Shot shoot(CameraRecord& camera, int x, int y, int w, int h, double seconds = 0) {
    Shot shot;
    shot.exposure.exp_time = seconds;
    shot.exposure.x = x;
    shot.exposure.y = y;
    shot.exposure.w = w;
    shot.exposure.h = h;
    shot.exposure.shutter = 1;
    shot.start = start_exposure_cmos(camera, shot.exposure, false);
    shot.started = shot.exposure;
    if (shot.start != OK || !wait_ready(camera))
        return shot;
    std::vector<uint16_t> buffer(std::max<size_t>(size_t(std::max(w, 0)) * size_t(std::max(h, 0)), 1), 0xDEAD);
    uint32_t read_bytes = 0;
    shot.read = astro_readimage(camera, shot.exposure, buffer.data(), read_bytes, false);
    buffer.resize(std::min<size_t>(read_bytes / 2, buffer.size()));
    shot.image = std::move(buffer);
    return shot;
}

// Columns of the image a type-22/23 camera shows: its width less the
// margin columns of classes 8, 9 (24) and 11, 12 (48).
inline int image_columns(const CameraRecord& camera) {
    switch (camera.camera_class) {
    case 8: case 9: return camera.info.width - 24;
    case 11: case 12: return camera.info.width - 48;
    default: return camera.info.width;
    }
}

// The value of a saturated pixel of a type-22/23 camera: 16-bit converters
// in classes 8, 9, 11, 12; the 8336-column sensor has 12 bits, the others 14.
inline uint32_t saturation(const CameraRecord& camera) {
    switch (camera.camera_class) {
    case 8: case 9: case 11: case 12: return 65535;
    default: return camera.info.width == 8336 ? 4095 : 16383;
    }
}

// The readout box with the CMOS cameras' binning switch.
class CmosBox : public ReadoutBox {
protected:
    static void bin(CameraRecord& camera, const Binning& b) {
        camera.hw_bin.enabled = b.hardware;
        ASSERT_EQ(set_binning(camera, static_cast<uint8_t>(b.bx), static_cast<uint8_t>(b.by)), OK);
    }
};

}  // namespace cmostest
