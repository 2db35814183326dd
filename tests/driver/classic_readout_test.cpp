// The classic exposures and readouts end to end on virtual cameras with the
// coords pattern: the request bytes the camera got, and every pixel of the
// image against the window the client asked for.
#include "driver/camera_ops.h"
#include "driver/exposure.h"
#include "tests/driver/readout_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using ClassicReadout = ReadoutBox;

constexpr uint16_t UNTOUCHED = 0xEEEE;

// An output buffer of w·h pixels and a guard behind it.
struct Image {
    Image(int w_, int h_) : w(w_), h(h_), pixels(size_t(w_) * h_ + 8, UNTOUCHED) {}
    uint16_t* data() { return pixels.data(); }
    bool guard_intact() const {
        return std::all_of(pixels.end() - 8, pixels.end(), [](uint16_t p) { return p == UNTOUCHED; });
    }
    int w, h;
    std::vector<uint16_t> pixels;
};

TEST_F(ClassicReadout, SmallCameraSendsItsWindowInBothModes) {
    CameraRecord& camera = connect("1042 width=120 height=90");
    ASSERT_TRUE(camera.extended_fw);
    struct Case {
        uint32_t mode;
        double seconds;
        Bytes request;
        uint32_t read_bytes;
    };
    const Case cases[] = {
        {0, -1, {0x07, 5, 0, 7, 0, 37, 0, 15, 0}, 33 * 11 * 2},
        // Pairs: two columns of padding; read_bytes counts 4 bytes a pixel.
        {1, -1, {0x07, 5, 0, 7, 0, 35, 0, 15, 0}, 33 * 11 * 4},
        {1, 0.05, {0x08, 5, 0, 7, 0, 35, 0, 15, 0, 0x90, 0x01}, 33 * 11 * 4},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(set_read_mode(camera, c.mode), OK);
        Image image(33, 11);
        ExposureInfo exposure{c.seconds, 5, 7, 33, 11, 0};
        uint32_t read_bytes = 0;
        const auto start = Clock::now();
        ASSERT_EQ(astro_small_getimage(camera, exposure, image.data(), read_bytes), OK) << c.mode;
        EXPECT_GE(Clock::now() - start, std::chrono::duration<double>(std::max(c.seconds, 0.0)));
        EXPECT_EQ(state(camera).last_readout, c.request);
        EXPECT_EQ(read_bytes, c.read_bytes);
        EXPECT_TRUE(image_is(image.data(), 33, 11, window_at(5, 7))) << "mode " << c.mode;
        EXPECT_TRUE(image.guard_intact());
    }
    EXPECT_FALSE(camera.reading);
    EXPECT_FALSE(camera.frame_lock.is_locked());
}

TEST_F(ClassicReadout, SmallCameraWithoutSubFramesSendsItsSensorAndTheWindowIsCut) {
    CameraRecord& camera = connect("1042 width=40 height=30 subframe=0");
    ASSERT_FALSE(camera.extended_fw);
    for (uint32_t mode : {0u, 1u}) {
        ASSERT_EQ(set_read_mode(camera, mode), OK);
        Image image(10, 5);
        ExposureInfo exposure{mode ? 0.02 : -1, 3, 4, 10, 5, 0};
        uint32_t read_bytes = 0;
        ASSERT_EQ(astro_small_getimage(camera, exposure, image.data(), read_bytes), OK);
        EXPECT_EQ(state(camera).last_readout, mode ? Bytes({0x05, 160, 0}) : Bytes({0x04}));
        EXPECT_EQ(read_bytes, mode ? 200u : 100u);
        EXPECT_TRUE(image_is(image.data(), 10, 5, window_at(3, 4))) << "mode " << mode;
        EXPECT_TRUE(image.guard_intact());
    }
    // A window past the sensor's edge is cut to it.
    Image image(10, 10);
    ExposureInfo exposure{-1, 35, 25, 10, 10, 0};
    uint32_t read_bytes = 0;
    ASSERT_EQ(astro_small_getimage(camera, exposure, image.data(), read_bytes), OK);
    EXPECT_EQ(exposure.w, 5);
    EXPECT_EQ(exposure.h, 5);
    EXPECT_TRUE(image_is(image.data(), 5, 5, window_at(35, 25)));
}

TEST_F(ClassicReadout, SmallCameraTickCountsRoundAndSaturate) {
    CameraRecord& camera = connect("1042 width=40 height=30");
    struct Case {
        double seconds;
        uint16_t ticks;
    };
    // Times whose tick counts are exact in binary: 62.5, 93.75, 31.25.
    const Case cases[] = {{10000, 0xFFFF}, {65535.0 / 8000, 0xFFFF}, {65534.25 / 8000, 65534},
                          {1.0 / 128, 63},  {3.0 / 256, 94},         {1.0 / 256, 31}, {0, 0}};
    for (const Case& c : cases) {
        // The stream is cut before its first byte: only the request counts.
        cut_stream(camera, 0);
        Image image(8, 4);
        ExposureInfo exposure{c.seconds, 1, 2, 8, 4, 0};
        uint32_t read_bytes = 0;
        EXPECT_EQ(astro_small_getimage(camera, exposure, image.data(), read_bytes), DriverResult::short_stream(0));
        const Bytes want{0x08, 1, 0, 2, 0, 12, 0, 8, 0, static_cast<uint8_t>(c.ticks), static_cast<uint8_t>(c.ticks >> 8)};
        EXPECT_EQ(state(camera).last_readout, want) << c.seconds;
    }
    camera.extended_fw = false;
    cut_stream(camera, 0);
    Image image(8, 4);
    ExposureInfo exposure{10000, 0, 0, 8, 4, 0};
    uint32_t read_bytes = 0;
    EXPECT_EQ(astro_small_getimage(camera, exposure, image.data(), read_bytes), DriverResult::short_stream(0));
    EXPECT_EQ(state(camera).last_readout, Bytes({0x05, 0xFF, 0xFF}));
}

TEST_F(ClassicReadout, DualSampleCameraAveragesItsPairsInModeZeroAndSwapsInModeOne) {
    CameraRecord& type3 = connect("1026 width=64 height=48");
    for (uint32_t mode : {0u, 1u}) {
        ASSERT_EQ(set_read_mode(type3, mode), OK);
        Image image(20, 9);
        // Type 3 is timed by the host: its request only ever reads out.
        ExposureInfo exposure{0.5, 6, 4, 20, 9, 1};
        uint32_t read_bytes = 0;
        ASSERT_EQ(astro_big_getimage_single(type3, exposure, image.data(), read_bytes), OK);
        EXPECT_EQ(state(type3).last_readout, Bytes({0x0B, 4, 0, 9, 0, 6, 0, 20, 0}));
        EXPECT_EQ(read_bytes, 20u * 9 * 2);
        EXPECT_TRUE(image_is(image.data(), 20, 9, window_at(6, 4))) << "mode " << mode;
        EXPECT_TRUE(image.guard_intact());
    }

    // Through the background transfer, exposing 30 ms behind the shutter.
    CameraRecord& type5 = connect("1027 width=64 height=48");
    ASSERT_EQ(set_read_mode(type5, 0), OK);
    Image image(20, 9);
    ExposureInfo exposure{0.03, 6, 4, 20, 9, 1};
    std::shared_ptr<BigTransfer> transfer;
    ASSERT_EQ(astro_big_getimage(type5, exposure, image.data(), transfer), OK);
    ASSERT_TRUE(transfer);
    transfer->wait();
    EXPECT_TRUE(transfer->finished());
    EXPECT_EQ(transfer->size(), 20u * 9 * 4);
    EXPECT_EQ(transfer->done_bytes(), transfer->size());
    EXPECT_EQ(state(type5).last_readout, Bytes({0x15, 4, 0, 9, 0, 6, 0, 20, 0, 30, 0, 1}));
    EXPECT_TRUE(image_is(image.data(), 20, 9, window_at(6, 4)));
    EXPECT_TRUE(image.guard_intact());
    EXPECT_FALSE(type5.reading);
    EXPECT_FALSE(type5.frame_lock.is_locked());
}

TEST_F(ClassicReadout, BigCameraReadsSeveralChunksInTheBackgroundAndAtOnce) {
    CameraRecord& camera = connect("1029 width=1400 height=1200");
    // 2.4 MB: two chunks of the reader.
    constexpr int W = 1100, H = 1100;
    Image image(W, H);
    ExposureInfo exposure{-1, 150, 40, W, H, 0};
    std::shared_ptr<BigTransfer> transfer;
    ASSERT_EQ(astro_big_getimage(camera, exposure, image.data(), transfer), OK);
    transfer->wait();
    EXPECT_EQ(transfer->done_bytes(), uint32_t{W} * H * 2);
    EXPECT_TRUE(image_is(image.data(), W, H, window_at(150, 40)));
    EXPECT_EQ(state(camera).last_readout, Bytes({0x0B, 40, 0, 0x4C, 0x04, 150, 0, 0x4C, 0x04}));

    Image single(W, H);
    uint32_t read_bytes = 0;
    exposure = {0.02, 7, 3, W, H, 0};
    ASSERT_EQ(astro_big_getimage_single(camera, exposure, single.data(), read_bytes), OK);
    EXPECT_EQ(state(camera).last_readout, Bytes({0x15, 3, 0, 0x4C, 0x04, 7, 0, 0x4C, 0x04, 20, 0, 0}));
    EXPECT_EQ(read_bytes, uint32_t{W} * H * 2);
    EXPECT_TRUE(image_is(single.data(), W, H, window_at(7, 3)));
    EXPECT_TRUE(single.guard_intact());
}

TEST_F(ClassicReadout, NewInterfaceCropsAlignsAndBinsInSoftware) {
    // Class 4, firmware 7: the camera reads out windows.
    CameraRecord& camera = connect("3075 width=600 height=400");
    struct Case {
        const char* what;
        uint32_t mode;  // 0: 8-bit, 1: 16-bit
        uint8_t bin;
        ExposureInfo window;
        Bytes request;
        std::function<uint16_t(int, int)> expect;
    };
    auto low_bytes = [](int x, int y) { return [x, y](int i, int j) { return uint16_t(pattern(x + i, y + j) & 0xFF); }; };
    const Case cases[] = {
        // Origin 8, 260 columns (the least), counted from the right edge:
        // 600 - 8 - 260 = 332.
        {"16-bit crop", 1, 1, {-1, 10, 6, 50, 20}, {0x09, 0, 0x4C, 0x01, 4, 0, 0x04, 0x01, 24, 0}, window_at(10, 6)},
        {"8-bit crop", 0, 1, {-1, 10, 6, 50, 20}, {0x09, 0, 76, 0, 4, 0, 0x04, 0x02, 24, 0}, low_bytes(10, 6)},
        {"16-bit 2x2", 1, 2, {-1, 3, 2, 20, 10}, {0x09, 0, 0x50, 0x01, 4, 0, 0x04, 0x01, 20, 0},
         block_sums_at(3, 2, 2, 2, false)},
        // Blocks from column 9 of a frame that starts at 8.
        {"8-bit 3x3", 0, 3, {-1, 3, 1, 15, 7}, {0x09, 0, 76, 0, 0, 0, 0x04, 0x02, 24, 0}, block_sums_at(3, 1, 3, 3, true)},
        // At the left edge the mirrored origin is 600 - 260, not 0.
        {"left edge", 1, 1, {-1, 0, 0, 40, 8}, {0x09, 0, 0x54, 0x01, 0, 0, 0x04, 0x01, 8, 0}, window_at(0, 0)},
        {"right edge", 1, 1, {-1, 590, 392, 10, 8}, {0x09, 0, 0, 0, 0x88, 0x01, 0x04, 0x01, 8, 0}, window_at(590, 392)},
        {"full frame", 1, 1, {-1, 0, 0, 600, 400}, {0x09, 0, 0, 0, 0, 0, 0x58, 0x02, 0x90, 0x01}, window_at(0, 0)},
        {"exposed", 1, 1, {0.25, 10, 6, 50, 20, 1}, {0x0A, 1, 0x4C, 0x01, 4, 0, 0x04, 0x01, 24, 0, 0xD0, 0x07, 0, 0},
         window_at(10, 6)},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(set_read_mode(camera, c.mode), OK);
        ASSERT_EQ(set_binning(camera, c.bin, c.bin), OK);
        ExposureInfo exposure = c.window;
        Image image(exposure.w, exposure.h);
        uint32_t read_bytes = 0;
        const auto start = Clock::now();
        ASSERT_EQ(astro_cmos_getimage(camera, exposure, image.data(), read_bytes), OK) << c.what;
        EXPECT_GE(Clock::now() - start, std::chrono::duration<double>(std::max(c.window.exp_time, 0.0))) << c.what;
        EXPECT_EQ(state(camera).last_readout, c.request) << c.what;
        EXPECT_EQ(read_bytes, uint32_t(c.window.w) * c.window.h * 2) << c.what;
        EXPECT_EQ(exposure.w, c.window.w) << c.what;
        EXPECT_TRUE(image_is(image.data(), c.window.w, c.window.h, c.expect)) << c.what;
        EXPECT_TRUE(image.guard_intact()) << c.what;
    }
}

TEST_F(ClassicReadout, NewInterfaceFullFrameGoesStraightIntoTheOutput) {
    CameraRecord& camera = connect("3075 width=600 height=400");
    // A stream cut short shows where the bytes went: straight into the
    // output for a 16-bit full frame, into a read buffer for an 8-bit one.
    for (uint32_t mode : {1u, 0u}) {
        ASSERT_EQ(set_read_mode(camera, mode), OK);
        cut_stream(camera, 1000);
        Image image(600, 400);
        ExposureInfo exposure{-1, 0, 0, 600, 400, 0};
        uint32_t read_bytes = 0;
        EXPECT_EQ(astro_cmos_getimage(camera, exposure, image.data(), read_bytes), DriverResult::short_stream(1000));
        if (mode == 1)
            EXPECT_TRUE(image_is(image.data(), 500, 1, window_at(0, 0)));
        else
            EXPECT_EQ(image.pixels[0], UNTOUCHED);
        EXPECT_EQ(image.pixels[500], UNTOUCHED);
        EXPECT_FALSE(camera.reading);
        EXPECT_FALSE(camera.frame_lock.is_locked());
    }
    EXPECT_TRUE(log->text().find("read() failed: read 1000 bytes") != std::string::npos) << log->text();
}

TEST_F(ClassicReadout, NewInterfaceOtherSensorsAndFirmware) {
    struct Case {
        const char* options;
        ExposureInfo window;
        Bytes request;
        int x, y;  // the window's offset in the frame afterwards
    };
    const Case cases[] = {
        // Firmware 6 sends the whole sensor, whatever was asked.
        {"3076 width=600 height=400 ver128=0x0106", {-1, 10, 6, 50, 20}, {0x09, 0, 0, 0, 0, 0, 0x58, 0x02, 0x90, 0x01}, 10, 6},
        // Type 13 aligns to 8 pixels, at least 8 of each.
        {"3218 width=100 height=64", {-1, 5, 9, 10, 3}, {0x09, 0, 84, 0, 8, 0, 16, 0, 8, 0}, 5, 1},
        // A sensor 330 wide is read to its edge, not to 332.
        {"3074 width=330 height=20", {-1, 0, 0, 330, 20}, {0x09, 0, 0, 0, 0, 0, 0x4A, 0x01, 20, 0}, 0, 0},
    };
    for (const Case& c : cases) {
        CameraRecord& camera = connect(c.options);
        ASSERT_EQ(set_read_mode(camera, 1), OK);
        ExposureInfo exposure = c.window;
        Image image(exposure.w, exposure.h);
        uint32_t read_bytes = 0;
        ASSERT_EQ(astro_cmos_getimage(camera, exposure, image.data(), read_bytes), OK) << c.options;
        EXPECT_EQ(state(camera).last_readout, c.request) << c.options;
        EXPECT_EQ(exposure.x, c.x) << c.options;
        EXPECT_EQ(exposure.y, c.y) << c.options;
        EXPECT_TRUE(image_is(image.data(), c.window.w, c.window.h, window_at(c.window.x, c.window.y))) << c.options;
    }
}

TEST_F(ClassicReadout, ExposuresMoveTheShutterOnlyWhenItMustMove) {
    CameraRecord& old = connect("1029 width=64 height=48");
    const unsigned clears = state(old).clears;
    ExposureInfo light{1, 0, 0, 8, 8, 1}, dark{1, 0, 0, 8, 8, 0};
    ASSERT_EQ(start_exposure(old, light), OK);
    EXPECT_TRUE(state(old).shutter_open);
    EXPECT_TRUE(old.shutter_is_open);
    const unsigned moves = state(old).shutter_moves;
    ASSERT_EQ(start_exposure(old, light), OK);
    EXPECT_EQ(state(old).shutter_moves, moves);
    EXPECT_EQ(state(old).clears, clears + 2);
    ASSERT_EQ(start_exposure(old, dark), OK);
    EXPECT_FALSE(state(old).shutter_open);
    ASSERT_EQ(start_exposure(old, light), OK);
    EXPECT_EQ(end_exposure(old, 1, 0), OK);
    EXPECT_FALSE(state(old).shutter_open);
    EXPECT_FALSE(old.shutter_is_open);
    const uint64_t sent = commands(old);
    EXPECT_EQ(end_exposure(old, 1, 0), OK);  // closed already
    EXPECT_EQ(commands(old), sent);

    // The new interface: the camera clears, opens and closes itself.
    CameraRecord& fresh = connect("3105 width=300 height=40");
    ASSERT_EQ(start_exposure(fresh, light), OK);
    EXPECT_TRUE(state(fresh).exposing);
    EXPECT_TRUE(state(fresh).shutter_open);
    ASSERT_EQ(end_exposure(fresh, 1, 5), OK);
    EXPECT_FALSE(state(fresh).exposing);
    EXPECT_FALSE(state(fresh).shutter_open);
    EXPECT_EQ(state(fresh).end_flag, 5);

    // Firmware 3 has no end command; a CMOS camera has neither.
    CameraRecord& early = connect("3105 width=300 height=40 ver128=0x0103");
    CameraRecord& cmos = connect("3120");
    const uint64_t early_sent = commands(early), cmos_sent = commands(cmos);
    EXPECT_EQ(end_exposure(early, 1, 0), OK);
    EXPECT_EQ(start_exposure(cmos, light), NOT_AVAILABLE);
    EXPECT_EQ(end_exposure(cmos, 1, 0), NOT_AVAILABLE);
    EXPECT_EQ(commands(early), early_sent);
    EXPECT_EQ(commands(cmos), cmos_sent);
}

TEST_F(ClassicReadout, ShortReadsAndBadWindows) {
    CameraRecord& small = connect("1042 width=40 height=30");
    cut_stream(small, 100);
    Image image(10, 5);
    ExposureInfo exposure{-1, 0, 0, 10, 5, 0};
    uint32_t read_bytes = 7;
    EXPECT_EQ(astro_small_getimage(small, exposure, image.data(), read_bytes), DriverResult::short_stream(100));
    EXPECT_EQ(read_bytes, 0u);
    EXPECT_FALSE(small.reading);
    EXPECT_FALSE(small.frame_lock.is_locked());
    float value = 0;
    EXPECT_EQ(get_value(small, 0, value), OK);

    CameraRecord& big = connect("1029 width=64 height=48");
    cut_stream(big, 30);
    EXPECT_EQ(astro_big_getimage_single(big, exposure, image.data(), read_bytes), DriverResult::short_stream(30));
    EXPECT_FALSE(big.reading);
    EXPECT_FALSE(big.frame_lock.is_locked());

    // Windows no request can carry are refused before anything is sent.
    const uint64_t sent = commands(big) + commands(small);
    std::shared_ptr<BigTransfer> transfer;
    for (ExposureInfo bad : {ExposureInfo{-1, 0, 0, 0, 5, 0}, ExposureInfo{-1, -1, 0, 4, 5, 0},
                             ExposureInfo{-1, 0, 0, 70000, 5, 0}}) {
        EXPECT_EQ(astro_small_getimage(small, bad, image.data(), read_bytes), REFUSED);
        EXPECT_EQ(astro_big_getimage_single(big, bad, image.data(), read_bytes), REFUSED);
        EXPECT_EQ(astro_big_getimage(big, bad, image.data(), transfer), REFUSED);
        EXPECT_FALSE(transfer);
    }
    EXPECT_EQ(commands(big) + commands(small), sent);
}

}  // namespace
