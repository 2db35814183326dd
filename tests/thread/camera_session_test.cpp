// The camera session's requests on a virtual camera, in-process: the busy
// rules, the value cache, short and unknown requests, and the exposure
// states with their image reads.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "registry/registry.h"
#include "tests/driver/driver_box.h"
#include "thread/camera_session.h"
#include "thread/wheel_session.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

Bytes request(uint32_t command, size_t size = 20) {
    Bytes bytes(size, 0);
    const uint64_t magic = REQUEST_MAGIC;
    std::memcpy(bytes.data(), &magic, 8);
    std::memcpy(bytes.data() + 12, &command, 4);
    return bytes;
}

template <typename T>
Bytes with(Bytes bytes, size_t offset, T value) {
    if (bytes.size() < offset + sizeof value)
        bytes.resize(offset + sizeof value);
    std::memcpy(bytes.data() + offset, &value, sizeof value);
    return bytes;
}

template <typename T>
T field(const Bytes& bytes, size_t offset) {
    T value{};
    if (offset + sizeof value <= bytes.size())
        std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

Bytes exposure(uint32_t command, double seconds, int32_t x, int32_t y, int32_t w, int32_t h) {
    Bytes bytes = with(request(command, 41), 16, seconds);
    bytes = with(bytes, 24, x);
    bytes = with(bytes, 28, y);
    bytes = with(bytes, 32, w);
    bytes = with(bytes, 36, h);
    return with<uint8_t>(bytes, 40, 1);
}

// A camera claimed by a client, with a session over it (timers running).
class CameraSessionTest : public DriverBox {
protected:
    void open(const std::string& plug) {
        clear_registries();
        node = run("plug camera " + plug);
        add_camera(node.c_str());
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
        ASSERT_TRUE(register_client(pair[0], sockaddr_in{}, false));
        camera = claim_camera(0xFFFFFFFF, pair[0]).record;
        ASSERT_NE(nullptr, camera);
        session = std::make_unique<CameraSession>(*camera);
        ASSERT_TRUE(start_session_timers(*session));
    }

    void TearDown() override {
        session.reset();
        if (camera != nullptr)
            release_camera(pair[0]);
        for (int sd : pair)
            if (sd >= 0)
                close(sd);
        clear_registries();
        DriverBox::TearDown();
    }

    CameraAnswer ask(const Bytes& bytes) { return serve_camera_request(*session, Request(bytes)); }
    int32_t status(const Bytes& bytes) { return field<int32_t>(ask(bytes).response.bytes(), 16); }
    uint64_t commands() { return device(node)->commands_received.load(); }

    std::string node;
    int pair[2] = {-1, -1};
    CameraRecord* camera = nullptr;
    std::unique_ptr<CameraSession> session;
};

}  // namespace

TEST_F(CameraSessionTest, BusyCameraIsNotTouched) {
    open("3216");
    const Bytes voltage = with<int32_t>(request(TCP_CMD_GETVALUE), 16, 10);
    const Bytes answered = ask(voltage).response.bytes();
    ASSERT_EQ(24u, answered.size());
    const float volts = field<float>(answered, 20);
    EXPECT_NEAR(12.0f, volts, 0.1f);

    camera->reading = true;  // an image transfer runs
    const uint64_t before = commands();
    const Bytes cached = ask(voltage).response.bytes();
    EXPECT_EQ(0, field<int32_t>(cached, 16));
    EXPECT_EQ(volts, field<float>(cached, 20));
    EXPECT_EQ(0.0f, field<float>(ask(with<int32_t>(request(TCP_CMD_GETVALUE), 16, 0)).response.bytes(), 20))
        << "nothing cached yet for the sensor";
    for (uint32_t refused : {TCP_CMD_SETFILTER, TCP_CMD_SETREADMODE, TCP_CMD_SETTEMPERATURE, TCP_CMD_SETGAIN,
                             TCP_CMD_GETAUXSTATE, TCP_CMD_ISGUIDING, TCP_CMD_GETGPSTIME, TCP_CMD_SETTEMPRAMP})
        EXPECT_EQ(-1, status(request(refused, 24))) << refused;
    EXPECT_EQ(-1, status(request(TCP_CMD_SETBINNING, 21)));
    EXPECT_EQ(0, status(request(TCP_CMD_OPENSHUTTER))) << "skipped, still 0";
    EXPECT_EQ(0, status(with<uint8_t>(request(TCP_CMD_SETOVERSCAN), 16, 2)));
    EXPECT_TRUE(camera->overscan);
    EXPECT_EQ(0, status(request(TCP_CMD_ISCONNECTED)));
    EXPECT_EQ(before, commands()) << "the camera was not touched";

    camera->reading = false;
    status(with<uint8_t>(request(TCP_CMD_SETFILTER, 20), 16, 0));
    EXPECT_GT(commands(), before);
}

TEST_F(CameraSessionTest, ShortUnknownAndOddRequests) {
    open("3216");
    EXPECT_EQ(-1, status(request(TCP_CMD_STARTEXPOSURE, 30))) << "cut short";
    EXPECT_EQ(-1, status(request(TCP_CMD_GUIDE, 22)));
    const Bytes unknown = ask(request(15)).response.bytes();
    EXPECT_EQ(20u, unknown.size());
    EXPECT_EQ(-1, field<int32_t>(unknown, 16));
    EXPECT_TRUE(log->has_line("Unknown command: 15"));
    EXPECT_EQ(20u, ask(request(TCP_CMD_GETVERSION)).response.bytes().size());
    const Bytes value = ask(with<int32_t>(request(TCP_CMD_GETVALUE), 16, 99)).response.bytes();
    EXPECT_EQ(2, field<int32_t>(value, 16)) << "no such reading";
    EXPECT_EQ(0.0f, field<float>(value, 20));
    const Bytes period = ask(request(TCP_CMD_GETCLOCKPERIOD)).response.bytes();
    ASSERT_EQ(28u, period.size());
    EXPECT_EQ(camera->clock_period, field<double>(period, 20));
    EXPECT_EQ(0, status(with<uint8_t>(request(TCP_CMD_SETBINMODE), 16, 1)));
    EXPECT_TRUE(camera->bin_sum && camera->bin_saturate);
    EXPECT_EQ(0, status(with<uint8_t>(request(TCP_CMD_SETHWBINNING), 16, 1)));
    EXPECT_TRUE(camera->hw_bin.enabled);
}

TEST_F(CameraSessionTest, DualSamplePowerComesFromTheTimer) {
    set_session_time_scale(0.01);  // a sample every 90 ms
    open("1026");
    session->power_value = 0.25f;
    const uint64_t before = commands();
    const Bytes power = ask(with<int32_t>(request(TCP_CMD_GETVALUE), 16, 11)).response.bytes();
    EXPECT_EQ(0, field<int32_t>(power, 16));
    EXPECT_EQ(before, commands());
    // The cooler reports nothing before its first set point; then the timer samples it.
    ASSERT_EQ(0, status(with<float>(request(TCP_CMD_SETTEMPERATURE), 16, -10.0f)));
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (session->power_value.load() == 0.25f && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    EXPECT_NE(0.25f, session->power_value.load());
    set_session_time_scale(1.0);
}

TEST_F(CameraSessionTest, ExposureStatesAndReads) {
    open("1043");  // class 2: short exposures are read before the answer
    EXPECT_EQ(-1, status(with<uint8_t>(request(TCP_CMD_ABORTEXPOSURE), 16, 1))) << "nothing runs";
    CameraAnswer empty = ask(request(TCP_CMD_READIMAGE));
    EXPECT_FALSE(empty.stream_image) << "no buffer yet";
    EXPECT_EQ(20u, field<uint32_t>(empty.response.bytes(), 8));

    EXPECT_EQ(0, status(exposure(TCP_CMD_STARTEXPOSURE, 0.1, 2, 3, 40, 20)));
    const Bytes ready = ask(request(TCP_CMD_IMAGEREADY)).response.bytes();
    ASSERT_EQ(21u, ready.size());
    EXPECT_EQ(1, ready[20]);
    CameraAnswer image = ask(request(TCP_CMD_READIMAGE));
    EXPECT_TRUE(image.stream_image);
    EXPECT_EQ(0, field<int32_t>(image.response.bytes(), 16));
    EXPECT_EQ(20u + 40 * 20 * 2, field<uint32_t>(image.response.bytes(), 8));
    EXPECT_EQ(40u * 20 * 2, session->image_size);
    const uint16_t* pixels = session->image_buffer.get();
    EXPECT_EQ(2 + 2 * 3, pixels[0]);
    EXPECT_EQ(2 + 39 + 2 * (3 + 19), pixels[40 * 20 - 1]);

    // A start while the buffer is in use by a transfer is refused and
    // leaves the image alone.
    camera->reading = true;
    EXPECT_EQ(-1, status(exposure(TCP_CMD_STARTEXPOSURE, 0.1, 0, 0, 400, 300)));
    EXPECT_EQ(40u * 20 * 2, session->image_size);
    EXPECT_EQ(pixels, session->image_buffer.get());
    camera->reading = false;

    // A timed exposure discarded by an abort: the read is refused at once.
    EXPECT_EQ(0, status(exposure(TCP_CMD_STARTEXPOSURE, 20, 0, 0, 40, 20)));
    EXPECT_EQ(0, ask(request(TCP_CMD_IMAGEREADY)).response.bytes()[20]);
    EXPECT_EQ(0, status(with<uint8_t>(request(TCP_CMD_ABORTEXPOSURE), 16, 0)));
    CameraAnswer refused = ask(request(TCP_CMD_READIMAGE));
    EXPECT_FALSE(refused.stream_image);
    EXPECT_EQ(-1, field<int32_t>(refused.response.bytes(), 16));
    EXPECT_EQ(20u, field<uint32_t>(refused.response.bytes(), 8));

    // Kept by the abort: read at once.
    EXPECT_EQ(0, status(exposure(TCP_CMD_STARTEXPOSURE, 20, 1, 1, 30, 10)));
    EXPECT_EQ(0, status(with<uint8_t>(request(TCP_CMD_ABORTEXPOSURE), 16, 1)));
    EXPECT_EQ(1, ask(request(TCP_CMD_IMAGEREADY)).response.bytes()[20]);
    EXPECT_TRUE(ask(request(TCP_CMD_READIMAGE)).stream_image);

    // Windows that make no image.
    EXPECT_EQ(-1, status(exposure(TCP_CMD_STARTEXPOSURE, NAN, 0, 0, 10, 10)));
    EXPECT_EQ(-1, status(exposure(TCP_CMD_STARTEXPOSURE, 1, -1, 0, 10, 10)));
    EXPECT_EQ(-1, status(exposure(TCP_CMD_STARTEXPOSURE, 1, 0, 0, 10, -10)));
    EXPECT_EQ(-1, status(exposure(TCP_CMD_STARTEXPOSURE, 1, 0, 0, 65536, 32768)));
}

TEST_F(CameraSessionTest, RefusedReadsAndRequestsCutShort) {
    open("3216");
    // No image yet, and after a refused start: the header alone with -1.
    for (const Bytes& before : {request(TCP_CMD_ISCONNECTED), exposure(TCP_CMD_STARTEXPOSURE, -1, 0, 0, 40, 20)}) {
        ask(before);
        const CameraAnswer refused = ask(request(TCP_CMD_READIMAGE));
        EXPECT_FALSE(refused.stream_image);
        EXPECT_EQ(-1, field<int32_t>(refused.response.bytes(), 16));
        EXPECT_EQ(20u, field<uint32_t>(refused.response.bytes(), 8));
    }

    // Cut short before the field the command reads: refused, nothing changed.
    camera->overscan = camera->bothgains = true;
    for (uint32_t command : {TCP_CMD_SETOVERSCAN, TCP_CMD_SETBOTHGAINS, TCP_CMD_SETHWBINNING, TCP_CMD_SETBINMODE,
                             TCP_CMD_READIMAGE2, TCP_CMD_GETVALUE, TCP_CMD_ABORTEXPOSURE, TCP_CMD_SETFILTER}) {
        const Bytes answer = ask(request(command, 16)).response.bytes();
        EXPECT_EQ(-1, field<int32_t>(answer, 16)) << command;
        EXPECT_EQ(answer.size(), field<uint32_t>(answer, 8)) << command;
    }
    EXPECT_TRUE(camera->overscan && camera->bothgains);
    EXPECT_EQ(20u, ask(request(TCP_CMD_READIMAGE2, 16)).response.bytes().size());
    WheelRecord wheel;  // never touched: the requests are refused first
    for (const Bytes& cut : {request(TCP_CMD_WHEELSETPOSITION, 19), request(TCP_CMD_WHEELSETPOSITIONS, 20)})
        EXPECT_EQ(-1, field<int32_t>(serve_wheel_request(wheel, Request(cut)), 16));
}

TEST_F(CameraSessionTest, ACmosReadoutThatFailsIsRefused) {
    open("3113");
    ASSERT_EQ(0, status(exposure(TCP_CMD_STARTEXPOSURE2, 0.01, 0, 0, 100, 50)));
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (ask(request(TCP_CMD_IMAGEREADY)).response.bytes()[20] != 1 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    run("fault " + node + " read 100");
    const CameraAnswer failed = ask(request(TCP_CMD_READIMAGE2));
    EXPECT_FALSE(failed.stream_image);
    EXPECT_EQ(-1, field<int32_t>(failed.response.bytes(), 16)) << "not the bytes the stream brought";
    EXPECT_EQ(20u, field<uint32_t>(failed.response.bytes(), 8));
}
