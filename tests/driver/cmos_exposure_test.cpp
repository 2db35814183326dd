// start_exposure_cmos, image_ready and stop_exposure_cmos on virtual CMOS
// cameras: the request each alignment rule sends (hand-computed), the
// frame and offset it leaves for the readout, ticks and mode bits, and
// exposures that take their time.
#include <tuple>

#include "tests/driver/cmos_fixture.h"

namespace {

using namespace cmostest;

using CmosExposure = CmosBox;

struct Request {
    uint16_t x0, y0, width, height;
};

struct WindowCase {
    const char* camera;
    Binning binning;
    int x, y, w, h;    // the client's window, binned pixels
    Request request;   // what the camera must receive
    int fw, fh;        // the frame the readout then expects
    int fx, fy;        // the window's offset in it
    const char* rule;
};

// Sensors by default: 3225 (22, class 6) and 3113 (22, class 7) 8336x5640;
// 3232 (class 8) and 3120 (class 9) 6276x4210 with 24 margin columns;
// 3152 (class 11) 11712x8760 and 3153 (class 12) 9576x6388 with 48; 3229
// (23, class 6) and 3117 (23, class 7) 4144x2822; 3136 (24) 4160x4096.
// X, Y below are the window's origin in the camera's orientation.
const WindowCase WINDOW_CASES[] = {
    // X = 8336-101-201 = 8034 -> 8032; width ru(203, 4); Y 51 -> 50, ru(102, 2).
    {"3225", {}, 101, 51, 201, 101, {8032, 50, 204, 102}, 204, 102, 2, 1, "22: x by 4, y by 2, columns mirrored"},
    // X = 8336-202-402 = 7732 -> 7728; width ru(406, 16); Y 102, height 202.
    {"3225", {2, 2, true}, 101, 51, 201, 101, {7728, 102, 416, 202}, 416, 202, 2, 0, "22 binning: variant 7, x by 16"},
    // X = 6276-202-402-24 = 5648; Y 102 -> 96, ru(208, 8); 404 + 24 margin.
    {"3232", {2, 2, true}, 101, 51, 201, 101, {5648, 96, 428, 208}, 428, 208, 0, 3, "22 binning: variant 2, y by 8, class 8"},
    // X 202 -> 200, ru(404, 8) + 24; Y = 4210-102-202 = 3906 -> 3904, ru(204, 4).
    {"3120 width=6280", {2, 2, true}, 101, 51, 201, 101, {200, 3904, 432, 204}, 432, 204, 1, 1,
     "22 binning: variant 3, x by 8, y by 4"},
    // X 202 -> 192, ru(412, 16) + 48; Y = 8760-304 = 8456.
    {"3152", {2, 2, true}, 101, 51, 201, 101, {192, 8456, 464, 202}, 464, 202, 5, 0, "22 binning: variant 4, 48 margin columns"},
    // 3x3: X 21 -> 20, ru(31, 4) + 48; Y = 6388-27-33 = 6328; offset in sensor pixels.
    {"3153", {3, 3, false}, 7, 9, 10, 11, {20, 6328, 80, 34}, 80, 34, 1, 0, "22 binned in software by 3"},
    // Older firmware, B = 15: Y = 5640-20-40 = 5580 -> 15 + ru_down(5565, 2) = 5579, ru(41, 2).
    {"3113 ver128=0x0107", {}, 10, 20, 30, 40, {8, 5579, 32, 42}, 32, 42, 2, 1, "22 old: rows from B plus an even count"},
    // Y = 5600, Y + H = 5640: the last rows are read with the whole frame.
    {"3113 ver128=0x0107", {}, 10, 0, 30, 40, {8, 0, 32, 5640}, 32, 5640, 2, 5600, "22 old: the sensor's last rows"},
    // Y = 5640-5630-5 = 5 < B.
    {"3113 ver128=0x0107", {}, 10, 5630, 30, 5, {8, 0, 32, 5640}, 32, 5640, 2, 5, "22 old: within the first B rows"},
    // Binned, 5644 rows, width not a multiple of 8: x by 4, rows by 8. Y = 16 -> y0 = 15,
    // ru(5625, 8) = 5632 passes 5644 from B: the whole frame.
    {"3113 ver128=0x0107 width=8340 height=5644", {2, 2, true}, 10, 2, 30, 2812, {20, 0, 60, 5644}, 60, 5644, 0, 8,
     "22 old: passing the end from B"},
    // Y = 18 -> y0 = 17, 5632 rows pass by 5: lowered by 6 to 11.
    {"3113 ver128=0x0107 width=8340 height=5644", {2, 2, true}, 10, 1, 30, 2812, {20, 11, 60, 5632}, 60, 5632, 0, 3,
     "22 old: passing the end, lowered"},
    // Height not a multiple of 4: x by 16 (X 20 -> 16, 64); rows by 2, Y = 5342 -> 5341.
    {"3113 ver128=0x0107 height=5642", {2, 2, true}, 10, 100, 30, 50, {16, 5341, 64, 102}, 64, 102, 2, 0,
     "22 old binning: x by 16"},
    // Width a multiple of 8: x by 8 (X 22 -> 16, ru(66, 8)); rows by 4, Y = 5340 -> 5339, ru(101, 4).
    {"3113 ver128=0x0107", {2, 2, true}, 11, 100, 30, 50, {16, 5339, 72, 104}, 72, 104, 3, 0,
     "22 old binning: x by 8, rows by 4"},
    // Class 9, B = 25: Y = 4150 -> 25 + 4124.
    {"3120 ver128=0x0107", {}, 10, 20, 30, 40, {8, 4149, 56, 42}, 56, 42, 2, 1, "22 old: B = 25 outside classes 6, 7"},
    {"3117", {}, 0, 0, 4144, 2822, {0, 0, 4144, 2822}, 4144, 2822, 0, 0, "23: the full frame as it is"},
    // Y = 2822-13-1500 = 1309 -> 1304, ru(1505, 8); X 5 -> 4, ru(101, 4).
    {"3117", {}, 5, 13, 100, 1500, {4, 1304, 104, 1512}, 104, 1512, 1, 5, "23: x by 4, y by 8"},
    // Y = 802 -> 800, 24 rows: fewer than half, so ru(1411, 8) = 1416.
    {"3117", {}, 5, 2000, 100, 20, {4, 800, 104, 1416}, 104, 1416, 1, 2, "23: half the sensor"},
    // Y = 2797 -> 2792; 1416 rows pass the end: y0 = ru_down(1406, 8) = 1400, ru(1417, 8).
    {"3117", {}, 5, 5, 100, 20, {4, 1400, 104, 1424}, 104, 1424, 1, 1397, "23: half the sensor at its end"},
    // A sensor whose half is whole steps: y0 = 2816 - 1408.
    {"3117 height=2816", {}, 5, 5, 100, 20, {4, 1408, 104, 1408}, 104, 1408, 1, 1383, "23: half of 2816 rows"},
    // Class 6 mirrors columns: X = 4144-5-100 = 4039 -> 4036, ru(103, 4).
    {"3229", {}, 5, 13, 100, 1500, {4036, 8, 104, 1512}, 104, 1512, 3, 5, "23, class 6: columns mirrored"},
    // Type 24 rows from the bottom: r = 4096-100 = 3996, fh = 32, y0 = r - fh.
    {"3136", {}, 10, 100, 50, 30, {0, 3964, 4160, 32}, 4160, 32, 10, 0, "24: whole rows, from the bottom"},
    // r = 6 < fh = 8: from row 0, the window 2 rows below the frame's top.
    {"3136", {}, 10, 4090, 50, 6, {0, 0, 4160, 8}, 4160, 8, 10, 2, "24: the sensor's first rows"},
    {"3136", {2, 2, true}, 10, 100, 50, 30, {0, 1916, 2080, 32}, 2080, 32, 10, 0, "24 binned by the camera"},
    // fh = ru(60, 8), r = 4096-200; the column offset in sensor pixels.
    {"3136", {2, 2, false}, 10, 100, 50, 30, {0, 3832, 4160, 64}, 4160, 64, 20, 0, "24 binned in software"},
    // 3x3: Y = 4089, H = 6: fh = 8, r = 7.
    {"3136", {3, 3, false}, 0, 1363, 40, 2, {0, 0, 4160, 8}, 4160, 8, 0, 1, "24 binned by 3 at the first rows"},
    {"3136 ver128=0x0103", {}, 10, 100, 50, 30, {0, 0, 4160, 4096}, 4160, 4096, 10, 100, "24 old: the full frame"},
};

TEST_F(CmosExposure, RequestsFollowEachAlignmentRule) {
    for (const WindowCase& c : WINDOW_CASES) {
        CameraRecord& camera = connect(c.camera);
        bin(camera, c.binning);
        ExposureInfo exposure;
        exposure.exp_time = 0.01;
        exposure.x = c.x;
        exposure.y = c.y;
        exposure.w = c.w;
        exposure.h = c.h;
        ASSERT_EQ(start_exposure_cmos(camera, exposure, false), OK) << c.rule;
        const sim::CameraState s = state(camera);
        ASSERT_TRUE(s.exposure) << c.rule;
        EXPECT_EQ(s.exposure->x0, c.request.x0) << c.rule;
        EXPECT_EQ(s.exposure->y0, c.request.y0) << c.rule;
        EXPECT_EQ(s.exposure->width, c.request.width) << c.rule;
        EXPECT_EQ(s.exposure->height, c.request.height) << c.rule;
        EXPECT_EQ(camera.fw, c.fw) << c.rule;
        EXPECT_EQ(camera.fh, c.fh) << c.rule;
        EXPECT_EQ(exposure.x, c.fx) << c.rule;
        EXPECT_EQ(exposure.y, c.fy) << c.rule;
        EXPECT_EQ(exposure.w, c.w) << c.rule;
        EXPECT_EQ(exposure.h, c.h) << c.rule;
    }
}

TEST_F(CmosExposure, TicksModeBitsAndWindowsOutsideTheSensor) {
    CameraRecord& t22 = connect("3113");
    CameraRecord& t24 = connect("3136 flags=0x10");
    struct Case {
        CameraRecord* camera;
        double seconds;
        uint32_t ticks;
    };
    const Case cases[] = {
        {&t22, 1.5, 15000},  {&t22, 0.00005, 1},       {&t22, 0.00004, 0},        {&t22, -1, 0},
        {&t22, 1e6, 0xFFFFFFFF}, {&t24, 1.0, 48450}, {&t24, 2e6, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        ExposureInfo exposure;
        exposure.exp_time = c.seconds;
        exposure.w = exposure.h = 16;
        ASSERT_EQ(start_exposure_cmos(*c.camera, exposure, false), OK) << c.seconds;
        EXPECT_EQ(state(*c.camera).exposure->ticks, c.ticks) << c.seconds;
        const double clock = c.camera == &t24 ? 48449.61240310078 : 10000.0;
        EXPECT_DOUBLE_EQ(c.camera->exp_time_actual, c.ticks / clock) << c.seconds;
        EXPECT_EQ(stop_exposure_cmos(*c.camera, 0), OK);
    }

    // Bit 0 the shutter; bit 1 the start variant, where the camera's flag
    // bit 4 allows it.
    struct Mode {
        CameraRecord* camera;
        uint8_t shutter;
        bool variant;
        uint8_t mode;
    };
    for (const Mode& m : {Mode{&t22, 1, false, 1}, Mode{&t22, 0, true, 0}, Mode{&t22, 1, true, 1},
                          Mode{&t24, 0, true, 2}, Mode{&t24, 1, true, 3}, Mode{&t24, 1, false, 1}}) {
        ExposureInfo exposure;
        exposure.w = exposure.h = 16;
        exposure.shutter = m.shutter;
        ASSERT_EQ(start_exposure_cmos(*m.camera, exposure, m.variant), OK);
        EXPECT_EQ(state(*m.camera).exposure->mode, m.mode) << int(m.shutter) << m.variant;
    }

    // A window that reaches past the sensor, or has nothing in it, is
    // refused before anything is sent.
    const uint64_t before = commands(t22);
    for (const auto& [x, y, w, h] : {std::tuple{100000, 0, 50, 10}, std::tuple{0, -20, 50, 10}, std::tuple{0, 0, 0, 10},
                                     std::tuple{0, 0, 10, 0}, std::tuple{0, 0, -5, 10}, std::tuple{8300, 0, 37, 10},
                                     std::tuple{0, 5600, 10, 41}, std::tuple{0x7FFFFFFF, 0, 2, 1}}) {
        ExposureInfo bad{0, x, y, w, h, 0};
        EXPECT_EQ(start_exposure_cmos(t22, bad, false), REFUSED) << x << "," << y << " " << w << "x" << h;
    }
    EXPECT_EQ(commands(t22), before);

    // A request the camera refuses leaves the record and the window as
    // they were: the frame the camera holds is still the last one.
    const int32_t fw = t22.fw, fh = t22.fh;
    const double actual = t22.exp_time_actual;
    run("fault " + nodes[&t22] + " status 0x24 0x81 count=1");
    ExposureInfo refused{0.5, 1001, 3, 40, 20, 1};
    EXPECT_EQ(start_exposure_cmos(t22, refused, false), DriverResult::device_status(0x81));
    EXPECT_EQ(t22.fw, fw);
    EXPECT_EQ(t22.fh, fh);
    EXPECT_EQ(t22.exp_time_actual, actual);
    EXPECT_EQ(refused.x, 1001);
    EXPECT_EQ(refused.w, 40);
}

TEST_F(CmosExposure, ExposuresTakeTheirTimeAndEndEarlyOnRequest) {
    CameraRecord& camera = connect("3117");
    ExposureInfo exposure;
    exposure.exp_time = 0.3;
    exposure.x = 10;
    exposure.y = 20;
    exposure.w = 30;
    exposure.h = 40;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(start_exposure_cmos(camera, exposure, false), OK);
    bool ready = true;
    ASSERT_EQ(image_ready(camera, ready), OK);
    EXPECT_FALSE(ready);
    ASSERT_TRUE(wait_ready(camera));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

    // Ended early and kept: ready at once, and the frame reads.
    exposure = {100, 10, 20, 30, 40, 1};
    ASSERT_EQ(start_exposure_cmos(camera, exposure, false), OK);
    EXPECT_EQ(stop_exposure_cmos(camera, 1), OK);
    ASSERT_EQ(image_ready(camera, ready), OK);
    EXPECT_TRUE(ready);
    std::vector<uint16_t> image(30 * 40);
    uint32_t read_bytes = 0;
    ASSERT_EQ(astro_readimage(camera, exposure, image.data(), read_bytes, false), OK);
    EXPECT_EQ(read_bytes, 30u * 40 * 2);
    EXPECT_TRUE(image == expected_window(10, 20, 30, 40, 1, 1, {}, coords));
    ASSERT_EQ(image_ready(camera, ready), OK);
    EXPECT_FALSE(ready);  // read once

    // Aborted: never ready, and a readout finds no frame.
    exposure = {100, 10, 20, 30, 40, 1};
    ASSERT_EQ(start_exposure_cmos(camera, exposure, false), OK);
    EXPECT_EQ(stop_exposure_cmos(camera, 0), OK);
    ASSERT_EQ(image_ready(camera, ready), OK);
    EXPECT_FALSE(ready);
    EXPECT_EQ(astro_readimage(camera, exposure, image.data(), read_bytes, false), DriverResult::short_stream(0));
    EXPECT_TRUE(log->has_line("read() failed: read 0 bytes: Connection timed out"));
    EXPECT_FALSE(camera.reading);
    EXPECT_FALSE(camera.frame_lock.is_locked());

    // A bad status leaves `ready` false.
    run("fault " + nodes[&camera] + " status 0x25 0x81 count=1");
    ready = true;
    EXPECT_EQ(image_ready(camera, ready), DriverResult::device_status(0x81));
    EXPECT_FALSE(ready);
}

}  // namespace
