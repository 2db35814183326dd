// The drivers' locks under concurrent callers: commands to one camera, two
// uploads to one node, and a wheel moved while its counts are read.
#include <fcntl.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "driver/camera_abi.h"
#include "driver/camera_open.h"
#include "driver/firmware_upload.h"
#include "driver/transport.h"
#include "driver/wheel_ops.h"
#include "tests/driver/driver_box.h"

namespace {

using DriverThreads = DriverBox;

constexpr uint16_t VERSIONS[] = {0x0108, 0x0203, 0x0001, 0x0007};

TEST_F(DriverThreads, CommandsToOneCameraNeverOverlap) {
    const std::string node = run("plug camera 3120 ver128=0x0108 ver129=0x0203 ver130=1 ver131=7");
    CameraRecord camera;
    ASSERT_EQ(open_camera(node.c_str(), camera), 0);
    const auto virtual_camera = device(node);
    // Every exchange lasts a while, so unserialised ones would overlap.
    run("fault " + node + " delay 2");

    constexpr int THREADS = 4, ROUNDS = 10;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            const uint8_t request[] = {0x0F, static_cast<uint8_t>(128 + t)};
            for (int round = 0; round < ROUNDS; ++round) {
                uint8_t answer[3] = {};
                size_t received = 0;
                // No transfer runs, so no command may be refused either.
                if (usb_camera_command_us(camera, request, sizeof request, answer, sizeof answer, received) != OK ||
                    received != 3 || (answer[1] | answer[2] << 8) != VERSIONS[t])
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(virtual_camera->most_commands_in_flight.load(), 1);

    // The box does see overlap when the requests bypass the transport.
    virtual_camera->most_commands_in_flight = 0;
    threads.clear();
    std::barrier start(THREADS);
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            uint8_t request = 0x0F, answer[3];
            CommandRecord record{reinterpret_cast<uintptr_t>(&request), 1, reinterpret_cast<uintptr_t>(answer), 3};
            platform::current().node_ioctl(camera.node.get()->fd(), CAMERA_IOCTL_COMMAND, &record);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_GT(virtual_camera->most_commands_in_flight.load(), 1);
}

TEST_F(DriverThreads, CommandsRacingAnImageTransferAreRefusedOrServed) {
    const std::string node = run("plug camera 3120");
    CameraRecord camera;
    ASSERT_EQ(open_camera(node.c_str(), camera), 0);
    std::atomic<bool> done{false};
    std::atomic<int> served{0}, refused{0}, other{0};
    std::thread poller([&] {
        const uint8_t request[] = {0x0F, 128};
        while (!done) {
            uint8_t answer[3];
            const DriverResult result = camera_command(camera, request, sizeof request, answer, sizeof answer);
            (result == OK ? served : result == BUSY ? refused : other)++;
        }
    });
    // Transfers taken on this thread and ended on another, as the
    // background reader does.
    for (int transfer = 0; transfer < 200; ++transfer) {
        camera.frame_lock.lock();
        std::thread([&] { camera.frame_lock.unlock(); }).join();
    }
    while (served == 0 || refused == 0) {
        camera.frame_lock.lock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        camera.frame_lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
    poller.join();
    EXPECT_EQ(other.load(), 0);
    EXPECT_FALSE(camera.frame_lock.is_locked());
}

TEST_F(DriverThreads, TwoUploadsToOneNodeTakeTurns) {
    ASSERT_EQ(platform::current().hotplug_open(), platform::HotplugOpen::ok);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string node = run("plug camera 1201 nofw");
        // Slow requests: unserialised, both would find the camera without
        // firmware and their records would interleave into a broken image.
        run("fault " + node + " delay 5");
        events();
        int results[2] = {0, 0};
        std::barrier start(2);
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                results[t] = upload_firmware(node.c_str());
            });
        }
        for (auto& thread : threads)
            thread.join();
        // One loads the image; the other finds the node gone, either at
        // open or once it has the lock.
        if (results[1] == -1)
            std::swap(results[0], results[1]);
        EXPECT_EQ(results[0], -1) << attempt;
        EXPECT_TRUE(results[1] == 1 || results[1] == -ENOENT) << attempt << ": " << results[1];
        int added = 0;
        for (const std::string& event : events())
            added += event.rfind("add /dev/telva", 0) == 0;
        EXPECT_EQ(added, 1) << attempt;
    }
}

TEST_F(DriverThreads, WheelMovesWhileItsCountsAreRead) {
    const std::string path = run("plug wheel filters=5 filters2=7 move_ms=0");
    WheelRecord wheel;
    ASSERT_EQ(open_wheel(path.c_str(), wheel), 0);
    std::atomic<int> failures{0};
    std::thread session([&] {
        for (int i = 0; i < 50; ++i) {
            int first = 0, second = 0;
            if (wheel_get_counts(wheel, first, second) != OK || first != 5 || second != 7)
                ++failures;
        }
    });
    std::thread alpaca([&] {
        for (uint32_t i = 0; i < 50; ++i) {
            if (wheel_set_position(wheel, i % 12) != OK)
                ++failures;
        }
    });
    session.join();
    alpaca.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(close_wheel(wheel, true), 0);
}

}  // namespace
