// Readouts on virtual cameras: cameras plugged, opened and initialised as a
// client's connect does, the camera's view of what it was sent, and the
// images the coords pattern makes.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "driver/camera_init.h"
#include "driver/camera_open.h"
#include "driver/readout.h"
#include "tests/driver/driver_box.h"

class ReadoutBox : public DriverBox {
protected:
    void SetUp() override {
        DriverBox::SetUp();
        shutter_settle_ms = 0;
    }
    void TearDown() override {
        shutter_settle_ms = SHUTTER_SETTLE_MS;
        DriverBox::TearDown();
    }

    // A camera plugged with `options` (its shutter moving at once),
    // opened and initialised; the record lives as long as the test.
    CameraRecord& connect(const std::string& options) {
        const std::string node = run("plug camera " + options + " open_ms=0 close_ms=0");
        records.push_back(std::make_unique<CameraRecord>());
        CameraRecord& camera = *records.back();
        EXPECT_EQ(open_camera(node.c_str(), camera), 0) << options;
        init_camera(camera, camera.info);
        nodes[&camera] = node;
        return camera;
    }

    sim::CameraState state(const CameraRecord& camera) {
        auto dev = device(nodes[&camera]);
        std::lock_guard lock(dev->mutex);
        return dev->camera->state();
    }

    uint64_t commands(const CameraRecord& camera) { return device(nodes[&camera])->commands_received.load(); }

    // The camera's readout streams end after `bytes` bytes, `count` times.
    void cut_stream(const CameraRecord& camera, size_t bytes, int count = 1) {
        run("fault " + nodes[&camera] + " read " + std::to_string(bytes) + " count=" + std::to_string(count));
    }

    std::vector<std::unique_ptr<CameraRecord>> records;
    std::map<const CameraRecord*, std::string> nodes;
};

// The coords pattern: what the daemon must deliver at (x, y).
inline uint16_t pattern(uint32_t x, uint32_t y) { return static_cast<uint16_t>(x + 2 * y); }

// Every pixel of a w × h image against expect(i, j); names the first that
// differs.
inline ::testing::AssertionResult image_is(const uint16_t* image, int w, int h,
                                           const std::function<uint16_t(int, int)>& expect) {
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < w; ++i) {
            const uint16_t want = expect(i, j);
            if (image[j * w + i] != want)
                return ::testing::AssertionFailure() << "pixel (" << i << ", " << j << ") is " << image[j * w + i]
                                                     << ", expected " << want;
        }
    }
    return ::testing::AssertionSuccess();
}

// The window at (x, y) of the pattern, pixel for pixel.
inline std::function<uint16_t(int, int)> window_at(int x, int y) {
    return [x, y](int i, int j) { return pattern(x + i, y + j); };
}

// Software binning of the unbinned pattern: the sum of each bx × by block
// (of the low bytes in the 8-bit modes), held at 65535.
inline std::function<uint16_t(int, int)> block_sums_at(int x, int y, int bx, int by, bool low_byte) {
    return [=](int i, int j) {
        uint32_t sum = 0;
        for (int v = 0; v < by; ++v)
            for (int u = 0; u < bx; ++u) {
                const uint16_t p = pattern((x + i) * bx + u, (y + j) * by + v);
                sum += low_byte ? (p & 0xFF) : p;
            }
        return static_cast<uint16_t>(std::min<uint32_t>(sum, 65535));
    };
}

// Waits (up to 20 s) for a condition another thread brings about.
inline bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
