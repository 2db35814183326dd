// Image downloads of the camera session end to end: streaming while a big
// frame is read, slow clients, pulled cables, and two sessions at once.
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/e2e/camera_session_support.h"

using namespace camera_e2e;

namespace {

using Clock = std::chrono::steady_clock;

// Reads exactly `length` bytes, or fewer when the connection ends or
// nothing comes for `quiet`.
size_t read_bytes(int sd, uint8_t* into, size_t length, std::chrono::milliseconds quiet = 60s) {
    size_t got = 0;
    while (got < length) {
        pollfd wait = {sd, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(quiet.count())) <= 0)
            break;
        const ssize_t n = recv(sd, into + got, length - got, 0);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

}  // namespace

TEST(CameraDownload, ALargeFrameIsStreamedWhileItIsRead) {
    // 10 000 × 6 100: 61 megapixels, 122 MB, delivered at 5 MB/s. (Slowly:
    // the reader runs at real-time priority, and in a TSan build its share
    // of the pattern making could otherwise keep the processing thread off
    // a loaded machine's cores until the readout ends.)
    SimulatedBox sim("plug camera 1201 id=51 width=10000 height=6100 read_rate=5000000\n");
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 51));
    constexpr int32_t W = 10000, H = 6100;
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 0.5, 0, 0, W, H, 1))));

    // Asked for at once, the image follows the readout.
    ASSERT_TRUE(client.send(make_request(14)));
    Bytes image(20 + static_cast<size_t>(W) * H * 2);
    ASSERT_EQ(20u, read_bytes(client.sd(), image.data(), 20));
    ASSERT_EQ(image.size(), get<uint32_t>(image, 8));
    ASSERT_EQ(0, status_of(image));
    // The first megabyte arrives while the camera still delivers the rest:
    // at 5 MB/s the other 121 MB take some 24 seconds more, where a download
    // that began only after the readout would bring them in a moment.
    ASSERT_EQ(1u << 20, read_bytes(client.sd(), image.data() + 20, 1u << 20));
    const auto first = Clock::now();
    const size_t rest = image.size() - 20 - (1u << 20);
    ASSERT_EQ(rest, read_bytes(client.sd(), image.data() + 20 + (1u << 20), rest));
    EXPECT_GT(Clock::now() - first, 5s);
    EXPECT_EQ(0u, pattern_mismatches(image, 0, 0, W, H));
}

TEST(CameraDownload, AClientThatPausesGetsTheWholeImage) {
    // 100 MB: 8192 × 6400 pixels.
    SimulatedBox sim("plug camera 1201 id=52 width=8192 height=6400\n");
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 52));
    constexpr int32_t W = 8192, H = 6400;
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 0.5, 0, 0, W, H, 1))));
    ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));

    ASSERT_TRUE(client.send(make_request(14)));
    Bytes image(20 + static_cast<size_t>(W) * H * 2);
    const size_t half = image.size() / 2;
    ASSERT_EQ(half, read_bytes(client.sd(), image.data(), half));
    std::this_thread::sleep_for(2s);  // the client stops reading
    ASSERT_EQ(image.size() - half, read_bytes(client.sd(), image.data() + half, image.size() - half));
    EXPECT_EQ(0, status_of(image));
    EXPECT_EQ(0u, pattern_mismatches(image, 0, 0, W, H));
    EXPECT_EQ(0, status_of(client.ask(make_request(16)))) << "the session goes on";
}

TEST(CameraDownload, APulledCableEndsTheDownloadAndFreesTheCamera) {
    SimulatedBox sim("plug camera 1201 id=53 width=8192 height=6400\n", Network::lan);
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box, Network::lan);
    ASSERT_EQ(0, connect_camera(client, 53));
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 0.5, 0, 0, 8192, 6400, 1))));
    ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));

    // The download stalls on a full window, then the cable goes.
    ASSERT_TRUE(client.send(make_request(14)));
    Bytes head(20);
    ASSERT_EQ(20u, read_bytes(client.sd(), head.data(), 20));
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(0, sim.box.run_in_peer({"link", "set", "lan0", "down"}));
    const auto pulled = Clock::now();
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    // About two seconds (a second of a full window, then the link check);
    // the bound only tells it from the 23 s of unacknowledged data.
    EXPECT_LT(Clock::now() - pulled, 12s) << "dropped by the link check";
}

// The camera is unplugged while its frame is read and downloaded, and new
// descriptors come up in the daemon meanwhile (connections, another
// camera's node): the download still brings the image's length (zeros after
// the cut), the new connections get their own answers, the other camera
// receives no stray request, and the session goes on.
TEST(CameraDownload, AnUnplugDuringTheReadoutReachesNoOtherDescriptor) {
    SimulatedBox sim("plug camera 1201 id=56 width=4000 height=3000 read_rate=4000000\n");
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 56));
    constexpr int32_t W = 4000, H = 3000;
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 0.1, 0, 0, W, H, 1))));
    ASSERT_TRUE(client.send(make_request(14)));
    Bytes image(20 + static_cast<size_t>(W) * H * 2);
    ASSERT_EQ(20u, read_bytes(client.sd(), image.data(), 20));
    ASSERT_EQ(0, status_of(image));
    ASSERT_EQ(1u << 20, read_bytes(client.sd(), image.data() + 20, 1u << 20)) << "the readout is under way";

    ASSERT_TRUE(sim.box.control("unplug /dev/telva0").starts_with("ok"));
    std::vector<std::unique_ptr<ProtocolClient>> newcomers;
    for (int i = 0; i < 4; ++i)
        newcomers.push_back(std::make_unique<ProtocolClient>(sim.box));
    const std::string answer = sim.box.control("plug camera 3216 id=57");
    ASSERT_TRUE(answer.starts_with("ok ")) << answer;
    const std::string other = answer.substr(3, answer.find('\n') - 3);
    ASSERT_TRUE(sim.box.wait_for_log("Camera " + other + " connected."));
    const unsigned long long before = commands_received(sim.box, other);

    const size_t rest = image.size() - 20 - (1u << 20);
    ASSERT_EQ(rest, read_bytes(client.sd(), image.data() + 20 + (1u << 20), rest));
    EXPECT_EQ(0, image.back()) << "zeros after the cut";
    EXPECT_TRUE(sim.box.wait_for_log("Image readout ended after"));
    EXPECT_EQ(0, image_ready(client)) << "an image cut short is never ready";
    for (auto& newcomer : newcomers) {
        const Bytes listed = newcomer->ask(make_request(1));
        ASSERT_EQ(24u + 66u, listed.size());
        EXPECT_EQ(57u, get<uint32_t>(listed, 24));
    }
    EXPECT_EQ(before, commands_received(sim.box, other)) << "nothing sent to the other camera";
    EXPECT_EQ(1, status_of(client.ask(make_request(16)))) << "the session goes on; its camera is away";
}

TEST(CameraDownload, TwoSessionsAtOnceBesideEnumerationAndHotPlug) {
    SimulatedBox sim("plug camera 1201 id=54 width=3000 height=2000\nplug camera 3216 id=55\n");
    ASSERT_TRUE(cameras_listed(sim.box, 2));
    ProtocolClient big(sim.box), small(sim.box);
    ASSERT_EQ(0, connect_camera(big, 54));
    ASSERT_EQ(0, connect_camera(small, 55));
    ASSERT_EQ(0, set_read_mode(small, 1));

    std::atomic<bool> done{false};
    std::thread bystander([&] {
        // Enumerates and plugs while the two download.
        for (int round = 0; !done; ++round) {
            ProtocolClient lister(sim.box);
            lister.ask(make_request(0xFFFE));
            const std::string answer = sim.box.control("plug wheel");
            if (answer.starts_with("ok "))
                sim.box.control("unplug " + answer.substr(3, answer.find('\n') - 3));
        }
    });
    auto expose = [&](ProtocolClient& client, int32_t w, int32_t h, int rounds) {
        for (int round = 0; round < rounds; ++round) {
            const int32_t x = 3 * round, y = round;
            ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 0.4, x, y, w, h, 1))));
            ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 20s));
            Bytes image = client.ask(make_request(14), 30s);
            ASSERT_EQ(20u + 2u * static_cast<size_t>(w * h), image.size());
            EXPECT_EQ(0u, pattern_mismatches(image, x, y, w, h)) << round;
        }
    };
    std::thread other([&] { expose(small, 500, 400, 3); });
    expose(big, 2000, 1500, 3);
    other.join();
    done = true;
    bystander.join();
}

// A session's image buffer goes back to the system when the session ends:
// sessions one after the other leave the daemon's resident memory where the
// first one left it, not a frame above.
TEST(CameraDownload, EndedSessionsGiveTheirFramesBack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators hold freed memory by design";
#endif
    SimulatedBox sim("plug camera 1201 id=58 width=2000 height=1500\n");
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    constexpr int32_t W = 2000, H = 1500;  // 5 860 kB a frame
    const auto resident_kb = [&] {
        std::ifstream status("/proc/" + std::to_string(sim.pid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.starts_with("VmRSS:"))
                return std::stol(line.substr(6));
        return 0L;
    };
    long after_first = 0;
    for (int round = 0; round < 4; ++round) {
        {
            ProtocolClient client(sim.box);
            ASSERT_EQ(0, connect_camera(client, 58));
            ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 0.3, round, 0, W - 8, H, 1))));
            ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 20s));
            expect_window(client, 14, round, 0, W - 8, H);
        }
        ASSERT_TRUE(cameras_listed(sim.box, 1)) << "the session ended";
        if (round == 0)
            after_first = resident_kb();
    }
    EXPECT_TRUE(eventually([&] { return resident_kb() < after_first + 2000; }))
        << resident_kb() << " kB resident, " << after_first << " kB after the first session";
}
