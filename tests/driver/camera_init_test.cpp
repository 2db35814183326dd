// init_camera on virtual cameras: the shutter times measured from the
// camera's own travel times, version words, the class-2 flags, the CMOS
// reset and clock, and the class-10 calibration words.
#include "driver/camera_init.h"
#include "driver/camera_open.h"
#include "tests/driver/driver_box.h"

namespace {

class CameraInit : public DriverBox {
protected:
    // Plugs, opens and initialises a camera into `camera`.
    void connect(const std::string& options) {
        node = run("plug camera " + options);
        ASSERT_EQ(open_camera(node.c_str(), camera), 0);
        init_camera(camera, camera.info);
    }

    sim::CameraState state() {
        auto dev = device(node);
        std::lock_guard lock(dev->mutex);
        return dev->camera->state();
    }

    CameraRecord camera;
    std::string node;
};

TEST_F(CameraInit, ShutterTimesAreMeasuredTwiceAndAveraged) {
    const auto start = std::chrono::steady_clock::now();
    connect("1029 open_ms=60 close_ms=25");
    // Two openings, two closings and the pause between them.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2 * 60 + 2 * 25 + 200));
    EXPECT_GE(camera.shutter_open_ms, 60u);
    EXPECT_LE(camera.shutter_open_ms, 70u);
    EXPECT_GE(camera.shutter_close_ms, 25u);
    EXPECT_LE(camera.shutter_close_ms, 35u);
    EXPECT_EQ(state().shutter_moves, 4u);
    EXPECT_FALSE(state().shutter_open);

    // No shutter on class 2: nothing to time.
    connect("1042 open_ms=60 close_ms=60");
    EXPECT_EQ(camera.shutter_open_ms, 0u);
    EXPECT_EQ(camera.shutter_close_ms, 0u);
    EXPECT_EQ(state().shutter_moves, 0u);
}

TEST_F(CameraInit, VersionWordsAndFlags) {
    connect("3076 ver128=0x0203 ver129=0x0405 ver130=6 ver131=0x0107 open_ms=0 close_ms=0");
    EXPECT_EQ(camera.ver128_hi, 2);
    EXPECT_EQ(camera.ver128_lo, 3);
    EXPECT_EQ(camera.ver129_hi, 4);
    EXPECT_EQ(camera.ver129_lo, 5);
    EXPECT_EQ(camera.ver130, 6);
    EXPECT_EQ(camera.ver131, 0x0107);
    EXPECT_TRUE(camera.fixed_read_mode);  // type 10
    EXPECT_FALSE(camera.temp_format);
    EXPECT_EQ(state().clears, 1u);

    // Class 2: the sub-frame firmware answer and the temperature format;
    // the last two words are not asked for.
    connect("1042 flags=0x02 ver130=6 ver131=7");
    EXPECT_TRUE(camera.extended_fw);
    EXPECT_TRUE(camera.temp_format);
    EXPECT_FALSE(camera.fixed_read_mode);
    EXPECT_EQ(camera.ver128_hi, 1);
    EXPECT_EQ(camera.ver128_lo, 2);
    EXPECT_EQ(camera.ver130, 0);
    EXPECT_EQ(camera.ver131, 0);

    // Words the camera won't give are 0.
    node = run("plug camera 3075 ver128=0x0107 ver131=2");
    ASSERT_EQ(open_camera(node.c_str(), camera), 0);
    camera.ver128_lo = 99;
    run("fault " + node + " status 0x0f 0x81");
    init_camera(camera, camera.info);
    EXPECT_EQ(camera.ver128_lo, 0);
    EXPECT_EQ(camera.ver131, 0);
    EXPECT_FALSE(camera.fixed_read_mode);  // type 9
}

TEST_F(CameraInit, CmosCamerasUnbinAndSetTheirClock) {
    struct Case {
        const char* pid;
        double period;
    };
    const Case cases[] = {{"3136", 1 / 25e6}, {"3113", 1 / 72e6}, {"3120", 1 / 72.04e6}, {"3229", 1 / 72.04e6}};
    for (const Case& c : cases) {
        node = run(std::string("plug camera ") + c.pid);
        ASSERT_EQ(open_camera(node.c_str(), camera), 0);
        camera.hw_bin = {2, 2, true};
        camera.clock_period = 1;
        {
            auto dev = device(node);
            std::lock_guard lock(dev->mutex);
            const uint8_t two_by_two[] = {0x01, 2, 2, 0};
            dev->camera->command(two_by_two);
        }
        init_camera(camera, camera.info);
        EXPECT_DOUBLE_EQ(camera.clock_period, c.period) << c.pid;
        EXPECT_EQ(state().hw_bin_x, 1) << c.pid;
        EXPECT_EQ(camera.hw_bin.x, 1) << c.pid;
        EXPECT_EQ(camera.hw_bin.y, 1) << c.pid;
        EXPECT_TRUE(camera.hw_bin.enabled) << c.pid;  // the client's choice stays
    }
    connect("3120");
    EXPECT_TRUE(camera.fixed_read_mode);
    connect("1201");
    EXPECT_DOUBLE_EQ(camera.clock_period, DEFAULT_CLOCK_PERIOD);
}

TEST_F(CameraInit, CalibrationWordsAreTakenOnlyWhenBothArePlausible) {
    struct Case {
        const char* options;
        int32_t gain, offset;
    };
    const Case cases[] = {
        {"3136", 21650, -1950},
        {"3136 cal_gain=30000 cal_offset=0x0100", 30000, 256},
        {"3136 cal_gain=0", DEFAULT_HDR_GAIN, DEFAULT_HDR_OFFSET},
        {"3136 cal_gain=0xFFFF", DEFAULT_HDR_GAIN, DEFAULT_HDR_OFFSET},
        {"3136 cal_offset=0", DEFAULT_HDR_GAIN, DEFAULT_HDR_OFFSET},
        {"3136 cal_offset=0xFFFF", DEFAULT_HDR_GAIN, DEFAULT_HDR_OFFSET},
        {"3138 cal_offset=0xFFFF", 24925, -3654},
        {"3138", 21650, -1950},
        {"3120", DEFAULT_HDR_GAIN, DEFAULT_HDR_OFFSET},  // not class 10
    };
    for (const Case& c : cases) {
        connect(c.options);
        EXPECT_EQ(camera.hdr_gain, c.gain) << c.options;
        EXPECT_EQ(camera.hdr_offset, c.offset) << c.options;
    }
    node = run("plug camera 3137");
    ASSERT_EQ(open_camera(node.c_str(), camera), 0);
    run("fault " + node + " status 0x12 0x81");
    init_camera(camera, camera.info);
    EXPECT_EQ(camera.hdr_gain, DEFAULT_HDR_GAIN);
}

}  // namespace
