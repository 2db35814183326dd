// The exposure road of the camera session end to end: refused starts that
// leave the running exposure alone, late expiries, 0 s timed exposures,
// reads sent before the image, and a daemon ended during a padded download.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <thread>

#include "tests/e2e/camera_session_support.h"

using namespace camera_e2e;

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

TEST(CameraExposure, RefusedStartsLateExpiriesAndEarlyReads) {
    SimulatedBox sim("plug camera 3216 id=61\nplug camera 1026 id=62\n");
    ASSERT_TRUE(cameras_listed(sim.box, 2));
    {
        ProtocolClient client(sim.box);
        ASSERT_EQ(0, connect_camera(client, 61));
        ASSERT_EQ(0, set_read_mode(client, 1));

        // Starts refused while an exposure runs change nothing of it: at its
        // expiry its own window is read into its own buffer.
        ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 1, 0, 0, 40, 30, 1))));
        EXPECT_EQ(-1, status_of(client.ask(exposure_request(11, -1, 5, 5, 1000, 1000, 1))));
        EXPECT_EQ(-1, status_of(client.ask(exposure_request(11, 1, -5, 5, 1000, 1000, 1))));
        ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));
        expect_window(client, 14, 0, 0, 40, 30);

        // A start that lands while the last exposure's expiry is due (its
        // camera commands take 3 s) does not get that expiry: the new 3 s
        // dark frame takes its 3 s.
        ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 1, 0, 0, 40, 30, 1))));
        ASSERT_TRUE(sim.box.control("fault /dev/telva0 delay 1500 count=2").starts_with("ok"));
        ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 3, 2, 1, 50, 20, 0), 15s)));
        const auto started = Clock::now();
        ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));
        EXPECT_GT(Clock::now() - started, 2500ms) << "ended by the older exposure's expiry";
        expect_window(client, 14, 2, 1, 50, 20);
    }

    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 62));
    // A type-3 camera times every exposure on the host, 0 s ones too.
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 0, 0, 0, 40, 30, 1))));
    ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));
    Bytes zero_s = client.ask(make_request(14), 30s);
    ASSERT_EQ(20u + 40u * 30u * 2u, zero_s.size());
    EXPECT_EQ(0, status_of(zero_s));

    // A read sent early on a long exposure waits for it, but an abort sent
    // behind it ends the wait: the read is refused, then the abort served.
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 30, 0, 0, 40, 30, 1))));
    ASSERT_TRUE(client.send(make_request(14)));
    ASSERT_TRUE(client.silent(300ms)) << "the read waits for the exposure";
    ASSERT_TRUE(client.send(one_byte_request(12, 0)));
    Bytes refused = client.read_response();
    ASSERT_EQ(20u, refused.size());
    EXPECT_EQ(14u, get<uint32_t>(refused, 12));
    EXPECT_EQ(-1, status_of(refused));
    Bytes aborted = client.read_response();
    EXPECT_EQ(12u, get<uint32_t>(aborted, 12));
    EXPECT_EQ(0, status_of(aborted));

    // A client that leaves while its read waits frees the camera at once,
    // not after the exposure.
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 60, 0, 0, 40, 30, 1))));
    ASSERT_TRUE(client.send(make_request(14)));
    ASSERT_TRUE(client.silent(300ms));
    client.close();
    EXPECT_TRUE(cameras_listed(sim.box, 2));
}

TEST(CameraExposure, ADaemonEndedDuringAPaddedDownloadEndsCleanly) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a process that ends under its sessions leaves their transfer threads unjoined by design, "
                    "which the thread sanitizer reports as leaks";
#endif
    SimulatedBox sim("plug camera 1201 id=63 width=8192 height=6400 read_rate=5000000\n");
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 63));
    // The stream breaks off after 3 MB, while the image is sent: the rest
    // of the 100 MB follows as zeros.
    ASSERT_TRUE(sim.box.control("fault /dev/telva0 read 3000000").starts_with("ok"));
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 0.5, 0, 0, 8192, 6400, 1))));
    ASSERT_TRUE(client.send(make_request(14)));
    std::vector<uint8_t> chunk(1 << 20);
    size_t got = 0;
    while (got < (20u << 20)) {
        pollfd wait = {client.sd(), POLLIN, 0};
        ASSERT_EQ(1, poll(&wait, 1, 30000));
        const ssize_t n = recv(client.sd(), chunk.data(), chunk.size(), 0);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    ASSERT_TRUE(sim.box.wait_for_log("Image readout ended after"));
    // The client keeps reading while the daemon ends, so the session sends
    // zeros right through the exit handlers.
    std::thread reader([&] {
        std::vector<uint8_t> sink(1 << 16);
        while (recv(client.sd(), sink.data(), sink.size(), 0) > 0) {
        }
    });
    kill(sim.pid, SIGTERM);
    auto ended = sim.box.wait_exit(sim.pid, 10s);
    shutdown(client.sd(), SHUT_RDWR);
    reader.join();
    ASSERT_TRUE(ended && ended->exited);
    EXPECT_EQ(0, ended->status);
}
