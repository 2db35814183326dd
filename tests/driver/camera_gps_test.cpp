// GPS time and position through the driver on virtual CMOS cameras with a
// receiver: the exchanges, the clock measurement and the exposure-start
// correction, and cameras without one.
#include <cmath>

#include "driver/camera_open.h"
#include "driver/camera_ops.h"
#include "tests/driver/driver_box.h"

namespace {

constexpr double MINUTE = 0.016666666666666666;

class CameraGps : public DriverBox {
protected:
    // Plugs a camera and opens it into `camera` (closing the one before).
    void plug(const std::string& options) {
        close_camera(camera, true);
        node = run("plug camera " + options);
        EXPECT_EQ(open_camera(node.c_str(), camera), 0);
    }
    void TearDown() override {
        close_camera(camera, true);
        DriverBox::TearDown();
    }
    CameraRecord camera;
    std::string node;
};

double seconds_of_day(const GpsTime& t) { return t.hour * 3600.0 + t.minute * 60.0 + t.second; }

TEST_F(CameraGps, PositionAndTimeOfAReceiverWithAFix) {
    // 2024-06-15 12:00:00 UTC when plugged.
    plug("3120 flags=0x04 gps_epoch=1718452800");
    GpsData data;
    ASSERT_EQ(get_gps_data(camera, data), OK);
    EXPECT_TRUE(data.position.valid);
    EXPECT_DOUBLE_EQ(data.position.latitude, 47 + 12.3456 * MINUTE);
    EXPECT_DOUBLE_EQ(data.position.longitude, 8 + 30.5 * MINUTE);
    EXPECT_DOUBLE_EQ(data.position.altitude, 412.5);
    EXPECT_EQ(data.position.satellites, 9);
    EXPECT_EQ(data.time.year, 2024);
    EXPECT_EQ(data.time.month, 6);
    EXPECT_EQ(data.time.day, 15);
    EXPECT_NEAR(seconds_of_day(data.time), 12 * 3600.0, 0.5);
    // The clock was measured by the receiver: 37 Hz above nominal.
    EXPECT_DOUBLE_EQ(camera.clock_period, 1.0 / 72040037);
}

TEST_F(CameraGps, ExposureStampIsCorrectedForTheRowTiming) {
    plug("3120 flags=0x08 gps_epoch=1718452800");  // class 9, timing variant 2
    ASSERT_EQ(camera.sensor_variant, 2u);
    camera.fh = camera.info.height;
    camera.exp_time_actual = 10;  // longer than the readout lead: only the offset rows count
    GpsTime corrected;
    ASSERT_EQ(get_gps_time(camera, corrected), OK);
    GpsData now;
    ASSERT_EQ(get_gps_data(camera, now), OK);
    const double line = 2496 * camera.clock_period;
    // The stamp is taken now; 6 ticks and 45 lines later than the raw count.
    EXPECT_NEAR(seconds_of_day(corrected) - seconds_of_day(now.time), 45 * line + 6 * camera.clock_period, 0.02);
    EXPECT_GT(seconds_of_day(corrected), seconds_of_day(now.time) - 0.02);

    camera.exp_time_actual = 0;  // shorter than four lines
    ASSERT_EQ(get_gps_time(camera, corrected), OK);
    ASSERT_EQ(get_gps_data(camera, now), OK);
    const double lead = (4224 - 4) * line;
    EXPECT_NEAR(seconds_of_day(corrected) - seconds_of_day(now.time), lead - 4 * line + 45 * line, 0.02);
}

TEST_F(CameraGps, NoFixNoReceiverNoCmos) {
    plug("3136 flags=0x04 gps_fix=0 gps_epoch=1718452800");
    GpsData data;
    ASSERT_EQ(get_gps_data(camera, data), OK);
    EXPECT_FALSE(data.position.valid);
    EXPECT_EQ(data.position.latitude, 0);
    EXPECT_EQ(data.position.satellites, 0);
    EXPECT_EQ(data.time.day, 15);  // the time is there without a fix
    EXPECT_DOUBLE_EQ(camera.clock_period, 1.0 / 25000037);

    // Without a receiver the answers carry no text.
    plug("3120");
    EXPECT_EQ(get_gps_data(camera, data), DriverResult::bad_answer());
    EXPECT_EQ(data.time.year, 0);
    GpsTime time;
    EXPECT_EQ(get_gps_time(camera, time), DriverResult::bad_answer());

    // Other cameras ask for the position only.
    plug("3074 flags=0x04");
    const uint64_t before = device(node)->commands_received.load();
    EXPECT_EQ(get_gps_time(camera, time), NOT_AVAILABLE);
    EXPECT_EQ(get_gps_data(camera, data), DriverResult::bad_answer());
    EXPECT_EQ(device(node)->commands_received.load(), before + 1);

    plug("3120 flags=0x04");
    run("fault " + node + " status 0x2c 0x81 count=1");
    EXPECT_EQ(get_gps_data(camera, data), DriverResult::device_status(0x81));
}

}  // namespace
