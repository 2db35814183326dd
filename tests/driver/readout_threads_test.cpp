// Readouts beside other threads: commands refused while a transfer runs,
// the background reader's short streams, two cameras at once, and a
// transfer waited for or destroyed while it runs.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <optional>

#include "driver/camera_ops.h"
#include "tests/driver/readout_fixture.h"

namespace {

using ReadoutThreads = ReadoutBox;

TEST_F(ReadoutThreads, CommandsDuringAReadoutAreRefusedAndNeverSent) {
    // A synchronous readout waiting for its exposure on another thread.
    CameraRecord& small = connect("1042 width=64 height=48");
    std::vector<uint16_t> image(64 * 48);
    std::optional<DriverResult> result;
    std::thread reader([&] {
        ExposureInfo exposure{0.3, 0, 0, 64, 48, 0};
        uint32_t read_bytes = 0;
        result = astro_small_getimage(small, exposure, image.data(), read_bytes);
    });
    ASSERT_TRUE(eventually([&] { return state(small).readouts == 1 && small.frame_lock.is_locked(); }));
    uint64_t sent = commands(small);
    float value = 0;
    EXPECT_EQ(get_value(small, 0, value), BUSY);
    EXPECT_EQ(clear_sensor(small), BUSY);
    EXPECT_EQ(commands(small), sent);
    reader.join();
    EXPECT_EQ(result, OK);
    EXPECT_TRUE(image_is(image.data(), 64, 48, window_at(0, 0)));
    EXPECT_EQ(get_value(small, 0, value), OK);

    // The background transfer of a camera that delivers 4 MB/s.
    CameraRecord& big = connect("1029 width=1000 height=1000 read_rate=4000000");
    std::vector<uint16_t> frame(1000 * 1000);
    ExposureInfo exposure{-1, 0, 0, 1000, 1000, 0};
    std::shared_ptr<BigTransfer> transfer;
    ASSERT_EQ(astro_big_getimage(big, exposure, frame.data(), transfer), OK);
    EXPECT_TRUE(big.reading);
    sent = commands(big);
    EXPECT_EQ(get_value(big, 0, value), BUSY);
    EXPECT_EQ(commands(big), sent);
    transfer->wait();
    EXPECT_FALSE(big.reading);
    EXPECT_EQ(get_value(big, 0, value), OK);
    EXPECT_TRUE(image_is(frame.data(), 1000, 1000, window_at(0, 0)));
}

TEST_F(ReadoutThreads, NoCommandReachesACameraThatIsSending) {
    // A poller asks all the time while readouts start and end: each of its
    // commands is served before a readout request or after the image.
    CameraRecord& small = connect("1042 width=64 height=48");
    CameraRecord& big = connect("1029 width=300 height=200");
    std::atomic<bool> done{false};
    std::atomic<int> other{0};
    auto poll = [&done, &other](CameraRecord& camera) {
        return [&done, &other, &camera] {
            while (!done) {
                float value = 0;
                const DriverResult result = get_value(camera, 0, value);
                if (result != OK && result != BUSY)
                    ++other;
            }
        };
    };
    std::thread small_poller(poll(small)), big_poller(poll(big));
    std::vector<uint16_t> image(300 * 200);
    for (int round = 0; round < 30; ++round) {
        ExposureInfo exposure{-1, 0, 0, 64, 48, 0};
        uint32_t read_bytes = 0;
        EXPECT_EQ(astro_small_getimage(small, exposure, image.data(), read_bytes), OK);
        exposure = {-1, 0, 0, 300, 200, 0};
        std::shared_ptr<BigTransfer> transfer;
        ASSERT_EQ(astro_big_getimage(big, exposure, image.data(), transfer), OK);
        transfer->wait();
    }
    done = true;
    small_poller.join();
    big_poller.join();
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(device(nodes[&small])->commands_amid_stream.load(), 0u);
    EXPECT_EQ(device(nodes[&big])->commands_amid_stream.load(), 0u);
}

TEST_F(ReadoutThreads, ShortStreamEndsTheBackgroundReader) {
    CameraRecord& camera = connect("1029 width=1200 height=1200");
    // 2.2 MB cut after the first 2 MiB chunk and a little of the second.
    cut_stream(camera, 2100000);
    std::vector<uint16_t> image(1100 * 1000, 0xEEEE);
    ExposureInfo exposure{-1, 0, 0, 1100, 1000, 0};
    std::shared_ptr<BigTransfer> transfer;
    ASSERT_EQ(astro_big_getimage(camera, exposure, image.data(), transfer), OK);
    transfer->wait();
    EXPECT_TRUE(transfer->finished());
    EXPECT_EQ(transfer->done_bytes(), 2100000u);
    EXPECT_LT(transfer->done_bytes(), transfer->size());
    EXPECT_EQ(transfer->result(), DriverResult::short_stream(2100000));
    EXPECT_EQ(image[1050000 - 1], pattern((1050000 - 1) % 1100, (1050000 - 1) / 1100));
    EXPECT_EQ(image[1050000], 0xEEEE);
    EXPECT_FALSE(camera.reading);
    EXPECT_FALSE(camera.frame_lock.is_locked());
    EXPECT_TRUE(log->text().find("read() failed: read ") != std::string::npos) << log->text();
    float value = 0;
    EXPECT_EQ(get_value(camera, 0, value), OK);
}

// The camera is unplugged while its stream is read, synchronously or in the
// background: the read under way fails, the readout ends short and lets go
// of the camera.
TEST_F(ReadoutThreads, UnplugDuringAReadEndsTheReadoutShort) {
    CameraRecord& small = connect("1042 width=400 height=300 read_rate=100000");  // 2.5 s
    std::vector<uint16_t> image(400 * 300);
    std::optional<DriverResult> result;
    std::thread reader([&] {
        ExposureInfo exposure{-1, 0, 0, 400, 300, 0};
        uint32_t read_bytes = 0;
        result = astro_small_getimage(small, exposure, image.data(), read_bytes);
    });
    ASSERT_TRUE(eventually([&] { return device(nodes[&small])->pending_read.unread.load(); }));
    run("unplug " + nodes[&small]);
    reader.join();
    EXPECT_EQ(result, DriverResult::short_stream(0));

    CameraRecord& big = connect("1029 width=2000 height=2000 read_rate=4000000");  // 2 s
    ExposureInfo exposure{-1, 0, 0, 2000, 2000, 0};
    std::vector<uint16_t> frame(2000 * 2000);
    std::shared_ptr<BigTransfer> transfer;
    ASSERT_EQ(astro_big_getimage(big, exposure, frame.data(), transfer), OK);
    ASSERT_TRUE(eventually([&] { return transfer->done_bytes() > 0; }));
    run("unplug " + nodes[&big]);
    transfer->wait();
    EXPECT_LT(transfer->done_bytes(), transfer->size());
    EXPECT_EQ(transfer->result(), DriverResult::short_stream(transfer->done_bytes()));
    for (CameraRecord* camera : {&small, &big}) {
        EXPECT_FALSE(camera->reading);
        EXPECT_FALSE(camera->frame_lock.is_locked());
    }
}

TEST_F(ReadoutThreads, TwoCamerasTransferAtOnce) {
    CameraRecord* cameras[2] = {&connect("1029 width=1100 height=1000 read_rate=20000000"),
                                &connect("1026 width=700 height=800 read_rate=20000000")};
    ASSERT_EQ(set_read_mode(*cameras[1], 0), OK);  // two samples a pixel
    std::vector<uint16_t> images[2] = {std::vector<uint16_t>(1100 * 1000), std::vector<uint16_t>(700 * 800)};
    const ExposureInfo windows[2] = {{-1, 0, 0, 1100, 1000, 0}, {-1, 0, 0, 700, 800, 0}};
    std::optional<DriverResult> results[2];
    std::atomic<int> running{0};
    std::barrier start(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            ExposureInfo exposure = windows[t];
            std::shared_ptr<BigTransfer> transfer;
            results[t] = astro_big_getimage(*cameras[t], exposure, images[t].data(), transfer);
            if (!transfer)
                return;
            ++running;
            // Both run before either is done: each has its own arguments.
            while (running < 2 && !transfer->finished())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            transfer->wait();
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < 2; ++t) {
        EXPECT_EQ(results[t], OK);
        EXPECT_TRUE(image_is(images[t].data(), windows[t].w, windows[t].h, window_at(0, 0))) << t;
        EXPECT_FALSE(cameras[t]->reading);
    }
}

TEST_F(ReadoutThreads, TransferIsWaitedForOrDestroyedWhileItRuns) {
    CameraRecord& camera = connect("1029 width=1000 height=600 read_rate=8000000");
    std::vector<uint16_t> image(1000 * 600);
    ExposureInfo exposure{-1, 0, 0, 1000, 600, 0};
    std::shared_ptr<BigTransfer> transfer;
    ASSERT_EQ(astro_big_getimage(camera, exposure, image.data(), transfer), OK);
    // Dropped at once: the destructor waits, and then every pixel is in.
    transfer.reset();
    EXPECT_FALSE(camera.reading);
    EXPECT_FALSE(camera.frame_lock.is_locked());
    EXPECT_TRUE(image_is(image.data(), 1000, 600, window_at(0, 0)));

    // Two threads wait for one transfer; waiting again returns at once.
    std::fill(image.begin(), image.end(), 0);
    ASSERT_EQ(astro_big_getimage(camera, exposure, image.data(), transfer), OK);
    std::thread other([&] { transfer->wait(); });
    transfer->wait();
    other.join();
    transfer->wait();
    EXPECT_TRUE(transfer->finished());
    EXPECT_EQ(transfer->result(), OK);
    EXPECT_EQ(transfer->done_bytes(), transfer->size());
    EXPECT_TRUE(image_is(image.data(), 1000, 600, window_at(0, 0)));
}

// The camera is closed and unplugged (as the hot-plug removal does) while
// its background transfer runs: descriptor 0, and the socket pair that takes
// the lowest numbers free afterwards, belong to somebody else. The reader
// reaches none of them; the transfer ends short.
TEST_F(ReadoutThreads, UnplugDuringATransferReachesNoOtherDescriptor) {
    const char bait[64] = "bytes of somebody else";
    const int saved_stdin = dup(0);
    int pairs[2][2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pairs[1]), 0);
    ASSERT_EQ(dup2(pairs[1][0], 0), 0);
    ASSERT_EQ(write(pairs[1][1], bait, sizeof bait), static_cast<ssize_t>(sizeof bait));

    CameraRecord& camera = connect("1029 width=2000 height=2000 read_rate=4000000");
    std::vector<uint16_t> frame(2000 * 2000);
    ExposureInfo exposure{-1, 0, 0, 2000, 2000, 0};
    std::shared_ptr<BigTransfer> transfer;
    ASSERT_EQ(astro_big_getimage(camera, exposure, frame.data(), transfer), OK);
    ASSERT_TRUE(eventually([&] { return transfer->done_bytes() > 0; }));

    // The removal closes the camera while a read is in progress, before
    // the box's unplug fails that read.
    ASSERT_EQ(close_camera(camera, false), 0);
    run("unplug " + nodes[&camera]);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pairs[0]), 0);
    ASSERT_EQ(write(pairs[0][1], bait, sizeof bait), static_cast<ssize_t>(sizeof bait));

    // Their writers are gone: a stray read would take the bytes, then end.
    for (auto& pair : pairs)
        close(pair[1]);
    transfer->wait();
    EXPECT_LT(transfer->done_bytes(), transfer->size());
    EXPECT_FALSE(camera.frame_lock.is_locked());
    char peek[128];
    EXPECT_EQ(recv(pairs[0][0], peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT), 64) << "the socket on a freed number";
    EXPECT_EQ(recv(0, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT), 64) << "descriptor 0";
    dup2(saved_stdin, 0);
    close(saved_stdin);
    for (auto& pair : pairs)
        close(pair[0]);
}

}  // namespace
