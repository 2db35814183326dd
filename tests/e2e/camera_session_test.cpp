// The camera session end to end on the virtual box: exposures of the three
// kinds of camera, image readiness and download, temperature ramps, the
// value cache, abort, and the connection state.
#include <cmath>
#include <sstream>

#include "tests/e2e/camera_session_support.h"

using namespace camera_e2e;

namespace {

const Bytes START_1_5_S = {0x01, 0x00, 0xF5, 0xE4, 0xD3, 0xC2, 0xB1, 0xA0, 0x29, 0x00, 0x00, 0x00, 0x0B, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00, 0x32, 0x00, 0x00, 0x00, 0x01};
const Bytes STARTED = {0x01, 0x00, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x14, 0x00,
                       0x00, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace

TEST(CameraSession, TimedExposureByTheBytes) {
    SimulatedBox sim("plug camera 3216 id=41\n");
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 41));
    ASSERT_EQ(0, set_read_mode(client, 1));

    ASSERT_EQ(START_1_5_S, exposure_request(11, 1.5, 0, 0, 100, 50, 1));
    EXPECT_EQ(STARTED, client.ask(START_1_5_S));
    EXPECT_EQ(0, image_ready(client)) << "the exposure runs";
    ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));
    expect_window(client, 14, 0, 0, 100, 50);

    // A second exposure of another window in the same buffer.
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 0.5, 30, 20, 64, 40, 0))));
    ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));
    expect_window(client, 14, 30, 20, 64, 40);
}

TEST(CameraSession, CmosExposureWithTheSecondCodes) {
    SimulatedBox sim("plug camera 3113 id=42\n");
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 42));

    Bytes started = client.ask(exposure_request(30, 1.5, 0, 0, 100, 50, 1));
    ASSERT_EQ(20u, started.size());
    EXPECT_EQ(30u, get<uint32_t>(started, 12));
    EXPECT_EQ(0, status_of(started));
    EXPECT_EQ(0, image_ready(client));
    ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));
    expect_window(client, 31, 0, 0, 100, 50);
}

TEST(CameraSession, ShortExposureOfAClass2CameraIsAnsweredWithItsImageOrNone) {
    SimulatedBox sim("plug camera 1043 id=43 read_rate=100000\n");
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 43));

    EXPECT_EQ(0, status_of(client.ask(exposure_request(11, 0.1, 0, 0, 100, 50, 1), 15s)));
    EXPECT_EQ(1, image_ready(client)) << "the image is in the buffer when the start is answered";
    expect_window(client, 14, 0, 0, 100, 50);

    // Unplugged while its 2.5 s readout runs: no image.
    ASSERT_TRUE(client.send(exposure_request(11, 0.1, 0, 0, 400, 300, 1)));
    ASSERT_TRUE(client.silent(300ms)) << "answered after the readout";
    ASSERT_TRUE(sim.box.control("unplug /dev/telva0").starts_with("ok"));
    EXPECT_NE(0, status_of(client.read_response()));
    EXPECT_EQ(0, image_ready(client));
    Bytes refused = client.ask(make_request(14));
    ASSERT_EQ(20u, refused.size());
    EXPECT_EQ(-1, status_of(refused));
}

TEST(CameraSession, TemperatureRamps) {
    // Ramp timers 50 times faster: a step every 0.2 s.
    SimulatedBox sim("plug camera 3216 id=44 cool_rate=1000000\n", Network::loopback, {"--sim-time-scale", "0.02"});
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 44));
    const std::string node = "/dev/telva0";

    auto set_rate = [&](float rate) {
        Bytes request = make_request(7);
        put<float>(request, 16, rate);
        return status_of(client.ask(request));
    };
    auto set_temperature = [&](float celsius) {
        Bytes request = make_request(6);
        put<float>(request, 16, celsius);
        return status_of(client.ask(request));
    };
    auto sensor = [&] {
        Bytes request = make_request(10);
        put<int32_t>(request, 16, 0);
        return get<float>(client.ask(request), 20);
    };

    // Rate 0: at once.
    ASSERT_EQ(0, set_rate(0));
    ASSERT_EQ(0, set_temperature(0.0f));
    ASSERT_EQ(1u, set_points(sim.box, node).size());
    ASSERT_TRUE(eventually([&] { return std::fabs(sensor()) < 0.05f; }));

    // 1 degree a minute, 5 below: 30 steps of 1/6, the first before the answer.
    const float start = sensor();
    ASSERT_EQ(0, set_rate(1.0f));
    ASSERT_EQ(0, set_temperature(start - 5.0f));
    std::vector<SetPoint> points = set_points(sim.box, node);
    ASSERT_EQ(2u, points.size());
    EXPECT_NEAR(start - 1.0 / 6, points[1].celsius, 0.01);
    ASSERT_TRUE(eventually([&] { return set_points(sim.box, node).size() >= 31; }, 30s));
    points = set_points(sim.box, node);
    ASSERT_EQ(31u, points.size()) << "no step after the last";
    for (size_t k = 1; k <= 30; ++k)
        EXPECT_NEAR(start - k / 6.0, points[k].celsius, 0.01) << k;
    for (size_t k = 2; k <= 30; ++k)
        EXPECT_GE(points[k].at_ms - points[k - 1].at_ms, 100) << "a step per period of 200 ms, " << k;

    // 2 degrees a minute, 3 above: ceil(-1.5) = -1 minute, 6 steps of 0.5.
    ASSERT_TRUE(eventually([&] { return std::fabs(sensor() - (start - 5.0f)) < 0.05f; }));
    const float low = sensor();
    ASSERT_EQ(0, set_rate(2.0f));
    ASSERT_EQ(0, set_temperature(low + 3.0f));
    ASSERT_TRUE(eventually([&] { return set_points(sim.box, node).size() >= 37; }, 30s));
    points = set_points(sim.box, node);
    for (size_t k = 1; k <= 6; ++k)
        EXPECT_NEAR(low + 0.5 * k, points[30 + k].celsius, 0.01) << k;

    // Switching the ramp off sets the next point at once.
    ASSERT_EQ(0, set_rate(0));
    ASSERT_EQ(0, set_temperature(-10.0f));
    points = set_points(sim.box, node);
    ASSERT_EQ(38u, points.size());
    EXPECT_NEAR(-10.0, points.back().celsius, 0.01);
}

TEST(CameraSession, AbortIsConnectedAndRefusals) {
    SimulatedBox sim("plug camera 3216 id=45\n");
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 45));

    EXPECT_EQ(0, status_of(client.ask(make_request(16))));
    EXPECT_EQ(-1, status_of(client.ask(one_byte_request(12, 1)))) << "nothing to abort";

    // Keep: the image is read at once.
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 30, 10, 5, 40, 30, 1))));
    EXPECT_EQ(0, image_ready(client));
    EXPECT_EQ(0, status_of(client.ask(one_byte_request(12, 1), 15s)));
    EXPECT_EQ(1, image_ready(client));
    expect_window(client, 14, 10, 5, 40, 30);

    // Discard: no image, and a read of it is refused instead of waiting for
    // bytes that never come; the session goes on.
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 30, 0, 0, 40, 30, 1))));
    EXPECT_EQ(0, status_of(client.ask(one_byte_request(12, 0))));
    EXPECT_EQ(0, image_ready(client));
    Bytes refused = client.ask(make_request(14));
    ASSERT_EQ(20u, refused.size());
    EXPECT_EQ(-1, status_of(refused));
    EXPECT_EQ(20u, get<uint32_t>(refused, 8)) << "the length counts what follows: nothing";
    EXPECT_EQ(-1, status_of(client.ask(one_byte_request(12, 0)))) << "nothing runs any more";

    // Windows that make no image.
    EXPECT_EQ(-1, status_of(client.ask(exposure_request(11, -1, 0, 0, 40, 30, 1))));
    EXPECT_EQ(-1, status_of(client.ask(exposure_request(11, 1, 0, 0, 0, 30, 1))));
    EXPECT_EQ(-1, status_of(client.ask(exposure_request(11, 1, 0, 0, 70000, 70000, 1))));
    EXPECT_EQ(-1, status_of(client.ask(make_request(11, 30)))) << "a start cut short";

    // Unplugged while held.
    ASSERT_TRUE(sim.box.control("unplug /dev/telva0").starts_with("ok"));
    EXPECT_TRUE(eventually([&] { return status_of(client.ask(make_request(16))) == 1; }));
}

TEST(CameraSession, ValuesFromTheCacheAndPowerSamples) {
    // A dual-sample camera whose big frame is delivered slowly.
    SimulatedBox sim("plug camera 1026 id=46 width=3000 height=2000 read_rate=4000000\n", Network::loopback,
                     {"--sim-time-scale", "0.02"});
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 46));
    const std::string node = "/dev/telva0";

    auto value = [&](int32_t index) {
        Bytes request = make_request(10);
        put<int32_t>(request, 16, index);
        return client.ask(request);
    };
    Bytes voltage = value(10);
    ASSERT_EQ(24u, voltage.size());
    ASSERT_EQ(0, status_of(voltage));
    const float volts = get<float>(voltage, 20);
    EXPECT_NEAR(12.0f, volts, 0.1f);

    // Cooler power: the power timer's sample (every 180 ms here; the camera
    // reports none before its first set point).
    Bytes set_point = make_request(6);
    put<float>(set_point, 16, 0.0f);
    ASSERT_EQ(0, status_of(client.ask(set_point)));
    ASSERT_TRUE(eventually([&] { return get<float>(value(11), 20) > 0.5f; }, 10s));
    EXPECT_EQ(0, status_of(value(11)));

    // During the slow readout the camera is busy: the cached voltage, no command.
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 0.5, 0, 0, 3000, 2000, 1))));
    ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));
    const auto before = commands_received(sim.box, node);
    Bytes cached = value(10);
    EXPECT_EQ(0, status_of(cached));
    EXPECT_EQ(volts, get<float>(cached, 20));
    Bytes refused = client.ask(one_byte_request(4, 1));
    EXPECT_EQ(-1, status_of(refused)) << "a filter move is refused while busy";
    EXPECT_EQ(before, commands_received(sim.box, node));
    Bytes image = client.ask(make_request(14), 60s);
    ASSERT_EQ(20u + 3000u * 2000u * 2u, image.size());
    EXPECT_EQ(0, status_of(image));
}

TEST(CameraSession, AStartWhileTheBufferIsBeingFilledIsRefused) {
    SimulatedBox sim("plug camera 1201 id=47 read_rate=8000000\n");
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 47));
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 0.3, 0, 0, 4096, 4096, 1))));
    ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));
    // 32 MiB at 8 MB/s: the transfer runs for seconds yet.
    EXPECT_EQ(-1, status_of(client.ask(exposure_request(11, 0.3, 0, 0, 4096, 4096, 1))));
    Bytes image = client.ask(make_request(14), 60s);
    ASSERT_EQ(20u + 4096u * 4096u * 2u, image.size());
    EXPECT_EQ(0u, pattern_mismatches(image, 0, 0, 4096, 4096));
    EXPECT_EQ(0, status_of(client.ask(exposure_request(11, 0.3, 0, 0, 100, 100, 1)))) << "free again";
}

TEST(CameraSession, ABufferThatCannotGrowIsNotASuccess) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit does not mix with sanitizer shadow memory";
#else
    SimulatedBox sim("plug camera 3216 id=48\n", Network::loopback, {}, {"/usr/bin/prlimit", "--as=2000000000"});
    ASSERT_TRUE(cameras_listed(sim.box, 1));
    ProtocolClient client(sim.box);
    ASSERT_EQ(0, connect_camera(client, 48));
    // Refused while an exposure runs, which goes on with its own window.
    ASSERT_EQ(0, status_of(client.ask(exposure_request(11, 1, 3, 2, 60, 40, 1))));
    EXPECT_EQ(-1, status_of(client.ask(exposure_request(11, 1, 0, 0, 65535, 32767, 1))));
    EXPECT_TRUE(sim.box.wait_for_log("Cannot allocate an image buffer"));
    ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));
    expect_window(client, 14, 3, 2, 60, 40);
    EXPECT_EQ(0, status_of(client.ask(exposure_request(11, 0.5, 0, 0, 100, 50, 1))));
    ASSERT_TRUE(eventually([&] { return image_ready(client) == 1; }, 15s));
    expect_window(client, 14, 0, 0, 100, 50);
#endif
}
