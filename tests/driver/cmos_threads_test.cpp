// CMOS readouts against other threads: commands issued while a frame
// transfer holds the camera, and two cameras read at the same time.
#include <omp.h>

#include <atomic>
#include <optional>
#include <thread>

#include "tests/driver/cmos_fixture.h"

namespace {

using namespace cmostest;

using CmosThreads = CmosBox;

// libgomp's own synchronisation is invisible to ThreadSanitizer, so what it
// reports about a kernel's worker team is false; under it the readouts of
// the calling thread run with a team of one. The teams themselves are
// tested with the image kernels.
void one_thread_teams_under_tsan() {
#if defined(__SANITIZE_THREAD__)
    omp_set_num_threads(1);
#endif
}

TEST_F(CmosThreads, CommandsDuringAReadoutAreRefusedAndNeverSent) {
    CameraRecord& camera = connect("3117");
    // Read before the exposure has ended, the transfer waits for the
    // camera's frame with the frame lock held.
    ExposureInfo exposure{2.0, 10, 20, 30, 40, 1};
    ASSERT_EQ(start_exposure_cmos(camera, exposure, false), OK);
    std::vector<uint16_t> image(30 * 40);
    uint32_t read_bytes = 0;
    std::optional<DriverResult> result;  // joined before it is read
    std::thread reader([&] {
        one_thread_teams_under_tsan();
        result = astro_readimage(camera, exposure, image.data(), read_bytes, false);
    });

    // Once the camera has taken the readout request and the transfer holds
    // the lock, nothing else reaches the camera until the frame is read.
    // The request itself holds the frame lock for a moment too, but lets go
    // of it before the command mutex: seen from under the command mutex, a
    // held lock after the request is the transfer's.
    auto transfer_holds_lock = [&] {
        if (state(camera).readouts == 0)
            return false;
        std::lock_guard lock(camera.command_mutex);
        return camera.frame_lock.is_locked();
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!transfer_holds_lock() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(camera.frame_lock.is_locked());
    const uint64_t before = commands(camera);
    float value = 5;
    bool ready = true;
    EXPECT_EQ(get_value(camera, 0, value), BUSY);
    EXPECT_EQ(image_ready(camera, ready), BUSY);
    EXPECT_FALSE(ready);
    EXPECT_EQ(stop_exposure_cmos(camera, 1), BUSY);
    EXPECT_TRUE(camera.reading);
    EXPECT_EQ(commands(camera), before);
    // The refusals left the command mutex free.
    ASSERT_TRUE(camera.command_mutex.try_lock());
    camera.command_mutex.unlock();

    reader.join();
    EXPECT_EQ(result, OK);
    EXPECT_TRUE(image == expected_window(10, 20, 30, 40, 1, 1, {}, coords));
    EXPECT_EQ(commands(camera), before + 1);  // the acknowledgement after the image
    EXPECT_EQ(get_value(camera, 0, value), OK);
}

TEST_F(CmosThreads, TwoCamerasReadAtOnce) {
    CameraRecord& t22 = connect("3232 width=664 height=480");
    CameraRecord& t24 = connect("3136");
    t22.bin_sum = true;
    std::atomic<int> wrong{0};
    auto run_camera = [&wrong](CameraRecord& camera, int columns, int rows) {
        one_thread_teams_under_tsan();
        for (int round = 0; round < 6; ++round) {
            const int b = 1 + round % 3;
            ASSERT_EQ(set_binning(camera, static_cast<uint8_t>(b), static_cast<uint8_t>(b)), OK);
            const int x = 3 * round, y = 5 + round, w = columns / b - x - 1, h = std::min(rows / b - y, 40);
            const Shot shot = shoot(camera, x, y, w, h);
            // Both sum their blocks: type 24 always, type 22 by bin_sum.
            const BinRules rules{true, false, camera.camera_type == 24 ? 65535u : saturation(camera)};
            if (shot.read != OK || shot.image != expected_window(x, y, w, h, b, b, rules, coords))
                ++wrong;
        }
    };
    ASSERT_EQ(set_read_mode(t24, 1), OK);  // the high-gain image: the pattern itself
    std::thread first([&] { run_camera(t22, 640, 480); });
    std::thread second([&] { run_camera(t24, 4096, 4096); });
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
