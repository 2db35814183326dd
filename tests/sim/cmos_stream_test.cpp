// The virtual CMOS cameras' exposures and raw frame streams, read through
// the camera driver's requests: words checked by hand against the layout
// each class streams, and the exposure's timing and end.
#include <fcntl.h>

#include <chrono>

#include "sim/cmos_readout.h"
#include "sim_fixture.h"

namespace {

using simtest::exchange;
using simtest::SimBox;

struct Camera {
    SimBox& sim;
    int fd;

    Camera(SimBox& box, const std::string& options)
        : sim(box), fd(box.platform->node_open(box.run("plug camera " + options).c_str(), O_RDWR)) {}

    uint8_t send(std::vector<uint8_t> request, size_t capacity = 1) {
        const auto answer = exchange(*sim.platform, fd, std::move(request), capacity);
        EXPECT_EQ(answer.result, 0);
        return answer.received ? answer.response[0] : 0;
    }

    // [0x24] with the window and ticks; the status byte.
    uint8_t expose(uint16_t x0, uint16_t y0, uint16_t width, uint16_t height, uint32_t ticks = 0) {
        return send({0x24, 0x01, uint8_t(x0), uint8_t(x0 >> 8), uint8_t(y0), uint8_t(y0 >> 8), uint8_t(width),
                     uint8_t(width >> 8), uint8_t(height), uint8_t(height >> 8), uint8_t(ticks), uint8_t(ticks >> 8),
                     uint8_t(ticks >> 16), uint8_t(ticks >> 24)});
    }

    bool ready() {
        const auto answer = exchange(*sim.platform, fd, {0x25}, 2);
        EXPECT_EQ(answer.received, 2u);
        return answer.response[1] != 0;
    }

    // The frame's words after [command] (0x27 or 0x28), read in chunks of
    // `chunk` bytes; empty when nothing comes.
    std::vector<uint16_t> frame(uint8_t command = 0x27, size_t chunk = 1 << 20) {
        exchange(*sim.platform, fd, {command}, 0);
        std::vector<uint8_t> bytes;
        std::vector<uint8_t> buffer(chunk);
        for (;;) {
            const ssize_t n = sim.platform->node_read(fd, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
        }
        std::vector<uint16_t> words(bytes.size() / 2);
        for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        return words;
    }
};

constexpr uint16_t DARK = sim::CMOS_DARK_LEVEL;

TEST(VirtualCmosCamera, Types22And23StreamTheWindowInTheirOrientation) {
    SimBox sim;
    // Class 9 (rows mirrored, 24 margin columns): 40 image columns, 32 rows.
    Camera class9(sim, "3120 width=64 height=32");
    ASSERT_EQ(class9.expose(4, 2, 24 + 8, 3), 0x80);
    std::vector<uint16_t> words = class9.frame();
    ASSERT_EQ(words.size(), 3u * 32);
    for (int c = 0; c < 24; ++c) EXPECT_EQ(words[c], DARK);
    // Camera row 2 is image row 29: x + 58 from column 4 on.
    EXPECT_EQ(words[24], 4 + 58);
    EXPECT_EQ(words[31], 11 + 58);
    EXPECT_EQ(words[2 * 32 + 24], 4 + 2 * 27);  // camera row 4, image row 27

    // Class 6 (columns mirrored): camera column c is image column 39 - c.
    Camera class6(sim, "3225 width=40 height=32");
    ASSERT_EQ(class6.expose(4, 2, 8, 2), 0x80);
    words = class6.frame(0x27, 7);  // odd chunks: words split across reads
    ASSERT_EQ(words.size(), 16u);
    EXPECT_EQ(words[0], 35 + 4);
    EXPECT_EQ(words[7], 28 + 4);
    EXPECT_EQ(words[8], 35 + 6);

    // Past the sensor's edge: the dark level.
    Camera class7(sim, "3113 width=40 height=32");
    ASSERT_EQ(class7.expose(36, 30, 8, 2), 0x80);
    words = class7.frame();
    ASSERT_EQ(words.size(), 16u);
    EXPECT_EQ(words[0], 36 + 2);  // camera row 30 is image row 1
    EXPECT_EQ(words[3], 39 + 2);
    EXPECT_EQ(words[4], DARK);
    EXPECT_EQ(words[8], 36);      // image row 0
    EXPECT_EQ(words[12], DARK);

    // Binned 2x2 from an odd origin: cells of the fixed grid from the first
    // whole one, (2, 3), i.e. image columns 4-5 and rows 24-25: binned
    // pixel (2, 12).
    ASSERT_EQ(class7.send({0x01, 2, 2, 0}), 0x80);
    ASSERT_EQ(class7.expose(3, 5, 8, 4), 0x80);
    words = class7.frame();
    ASSERT_EQ(words.size(), 8u);
    EXPECT_EQ(words[0], 2 + 2 * 12);
    EXPECT_EQ(words[7], 5 + 2 * 11);
    // Class 8 binned: 12 margin cells, columns mirrored (image 40 wide).
    Camera class8(sim, "3232 width=64 height=32");
    ASSERT_EQ(class8.send({0x01, 2, 2, 0}), 0x80);
    ASSERT_EQ(class8.expose(0, 0, 24 + 4, 2), 0x80);
    words = class8.frame();
    ASSERT_EQ(words.size(), 14u);
    EXPECT_EQ(words[11], DARK);
    EXPECT_EQ(words[12], 19);  // image columns 38-39: binned column 19, row 0
    EXPECT_EQ(words[13], 18);
}

TEST(VirtualCmosCamera, WindowsTheSensorCannotReadAreRefused) {
    SimBox sim;
    Camera class9(sim, "3120 width=64 height=32");  // 40 image columns
    EXPECT_EQ(class9.expose(0, 0, 24, 4), 0x81);       // margin only
    EXPECT_EQ(class9.expose(30, 0, 24 + 26, 4), 0x81); // 16 columns past the edge
    EXPECT_EQ(class9.expose(30, 0, 24 + 25, 4), 0x80);
    ASSERT_EQ(class9.send({0x01, 2, 2, 0}), 0x80);
    EXPECT_EQ(class9.expose(0, 0, 24 + 8, 3), 0x81);   // half a cell
    Camera t24(sim, "3136 width=64 height=16");
    EXPECT_EQ(t24.expose(0, 14, 64, 3), 0x81);         // type 24 never passes the edge
    EXPECT_EQ(t24.send({0x24, 0, 0}), 0x81);           // too short
}

TEST(VirtualCmosCamera, Type24StreamsTheGainImagesOfItsReadoutMode) {
    SimBox sim;
    Camera camera(sim, "3136 width=64 height=16");
    const sim::HdrCoefficients k{21650, -1950};  // the calibration block's
    // Mode 0: the high-gain image (the pattern), then the low-gain one.
    // Camera row 2 is image row 13 (rows from the bottom up).
    ASSERT_EQ(camera.expose(0, 2, 64, 3), 0x80);
    std::vector<uint16_t> words = camera.frame();
    ASSERT_EQ(words.size(), 2u * 3 * 64);
    EXPECT_EQ(words[0], 26);
    EXPECT_EQ(words[63], 63 + 26);   // overscan columns carry the image too
    EXPECT_EQ(words[64], 24);        // image row 12
    EXPECT_EQ(words[3 * 64], sim::low_gain_value(26, k));
    EXPECT_EQ(words[3 * 64 + 63], sim::low_gain_value(89, k));
    // Mode 1 (parameter 1): the high-gain image alone; 2: the low-gain one.
    ASSERT_EQ(camera.send({0x03, 1}), 0x80);
    ASSERT_EQ(camera.expose(0, 2, 64, 3), 0x80);
    words = camera.frame();
    ASSERT_EQ(words.size(), 3u * 64);
    EXPECT_EQ(words[5], 31);
    ASSERT_EQ(camera.send({0x03, 2}), 0x80);
    ASSERT_EQ(camera.expose(0, 2, 64, 3), 0x80);
    words = camera.frame();
    ASSERT_EQ(words.size(), 3u * 64);
    EXPECT_EQ(words[5], sim::low_gain_value(31, k));
    // Binned 2x2, counted in cells: 32 columns, 8 rows.
    ASSERT_EQ(camera.send({0x03, 1}), 0x80);
    ASSERT_EQ(camera.send({0x01, 2, 2, 0}), 0x80);
    EXPECT_EQ(camera.expose(0, 7, 32, 2), 0x81);
    ASSERT_EQ(camera.expose(0, 1, 32, 2), 0x80);
    words = camera.frame();
    ASSERT_EQ(words.size(), 2u * 32);
    EXPECT_EQ(words[3], 3 + 2 * 6);  // cell row 1 is binned image row 6
}

TEST(VirtualCmosCamera, FramesComeOnceAndNotBeforeTheExposureHasEnded) {
    SimBox sim;
    Camera camera(sim, "3117 width=40 height=32");
    // 2000 ticks of 100 us: a frame asked for at once streams 0.2 s later.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(camera.expose(0, 0, 8, 8, 2000), 0x80);
    EXPECT_FALSE(camera.ready());
    EXPECT_EQ(camera.frame().size(), 64u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_FALSE(camera.ready());
    EXPECT_TRUE(camera.frame().empty());  // read once

    // [0x28] streams the frame and starts the next exposure of the window.
    ASSERT_EQ(camera.expose(0, 0, 8, 8, 0), 0x80);
    EXPECT_EQ(camera.frame(0x28).size(), 64u);
    EXPECT_TRUE(camera.ready());
    EXPECT_EQ(camera.frame().size(), 64u);
}

}  // namespace
