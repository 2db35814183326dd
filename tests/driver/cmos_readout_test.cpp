// astro_readimage on virtual CMOS cameras with the coords pattern: every
// delivered window compared pixel by pixel with the pattern at the client's
// coordinates (binned ones where the camera bins), or with the block means
// and sums computed here where the daemon bins; the type-24 modes and
// options; start-next; and failed transfers.
#include <cstdlib>

#include "driver/camera_params.h"
#include "sim/cmos_readout.h"
#include "tests/driver/cmos_fixture.h"

namespace {

using namespace cmostest;

using CmosReadout = CmosBox;

std::string describe(const std::string& camera, const Binning& b, int x, int y, int w, int h) {
    return camera + " bin " + std::to_string(b.bx) + "x" + std::to_string(b.by) + (b.hardware ? " hw" : "") +
           " window " + std::to_string(x) + "," + std::to_string(y) + " " + std::to_string(w) + "x" + std::to_string(h);
}

TEST_F(CmosReadout, Types22And23DeliverThePatternInEveryClassAndBinning) {
    // Small sensors keep full frames cheap; the last ones keep the default
    // sensors, whose timing variants choose other hardware steps. Odd
    // halves (482 rows) and older firmware (its odd first rows) included.
    const char* cameras[] = {
        "3225 width=640 height=480",  "3113 width=640 height=480",  "3232 width=664 height=480",
        "3120 width=664 height=480",  "3152 width=688 height=480",  "3153 width=688 height=482",
        "3229 width=640 height=480",  "3117 width=640 height=482",  "3225 width=640 height=480 ver128=0x0107",
        "3120 width=664 height=480 ver128=0x0107", "3113 width=644 height=484 ver128=0x0104",
    };
    const Binning binnings[] = {{1, 1, false}, {2, 2, false}, {3, 2, false}, {2, 2, true}};
    for (const char* options : cameras) {
        CameraRecord& camera = connect(options);
        for (const Binning& b : binnings) {
            bin(camera, b);
            const int cw = image_columns(camera) / b.bx, ch = camera.info.height / b.by;
            struct Win {
                int x, y, w, h;
            };
            const Win windows[] = {{0, 0, cw, ch},   {0, 0, 37, 21},    {cw - 41, ch - 19, 41, 19},
                                   {13, 29, 50, 33}, {cw / 2, 7, 1, 1}, {3, ch - 40, cw - 5, 17}};
            for (const Win& win : windows) {
                const std::string what = describe(options, b, win.x, win.y, win.w, win.h);
                const Shot shot = shoot(camera, win.x, win.y, win.w, win.h);
                ASSERT_EQ(shot.start, OK) << what;
                ASSERT_EQ(shot.read, OK) << what;
                const std::vector<uint16_t> want =
                    b.hardware ? expected_window(win.x, win.y, win.w, win.h, 1, 1, {}, coords)
                               : expected_window(win.x, win.y, win.w, win.h, b.bx, b.by, {false, false, saturation(camera)},
                                                 coords);
                EXPECT_TRUE(shot.image == want) << what << differences(shot.image, want, win.w);
            }
        }
    }
    // The default sensors, in windows: the timing variants' steps.
    for (const char* options : {"3232", "3152", "3113", "3153"}) {
        CameraRecord& camera = connect(options);
        for (const Binning& b : {Binning{2, 2, true}, Binning{3, 3, false}}) {
            bin(camera, b);
            const int cw = image_columns(camera) / b.bx, ch = camera.info.height / b.by;
            for (const auto& [x, y] : {std::pair{101, 51}, std::pair{cw - 60, ch - 30}}) {
                const Shot shot = shoot(camera, x, y, 60, 30);
                ASSERT_EQ(shot.read, OK) << describe(options, b, x, y, 60, 30);
                const std::vector<uint16_t> want =
                    expected_window(x, y, 60, 30, b.hardware ? 1 : b.bx, b.hardware ? 1 : b.by, {}, coords);
                EXPECT_TRUE(shot.image == want) << describe(options, b, x, y, 60, 30) << differences(shot.image, want, 60);
            }
        }
    }
}

TEST_F(CmosReadout, SoftwareBinningSumsMeansAndSaturatedBlocks) {
    // The 8336-column sensor saturates at 4095, which the coords pattern
    // reaches on the line x + 2y = 4095.
    CameraRecord& twelve_bit = connect("3225");
    ASSERT_EQ(saturation(twelve_bit), 4095u);
    // A 16-bit sensor reaches 65535 at x + 2y = 65535: row 30000, column 5535.
    CameraRecord& sixteen_bit = connect("3232 height=32768");
    struct Case {
        CameraRecord* camera;
        int x, y, w, h;  // binned pixels
    };
    const Case cases[] = {{&twelve_bit, 1990, 20, 40, 30}, {&sixteen_bit, 2750, 14990, 30, 20}};
    for (const Case& c : cases) {
        for (const bool sum : {false, true}) {
            for (const bool saturate : {false, true}) {
                c.camera->bin_sum = sum;
                c.camera->bin_saturate = saturate;
                bin(*c.camera, {2, 2, false});
                const Shot shot = shoot(*c.camera, c.x, c.y, c.w, c.h);
                ASSERT_EQ(shot.read, OK);
                const BinRules rules{sum, saturate, saturation(*c.camera)};
                const std::vector<uint16_t> want = expected_window(c.x, c.y, c.w, c.h, 2, 2, rules, coords);
                EXPECT_TRUE(shot.image == want) << "class " << c.camera->camera_class << " sum " << sum << " saturate "
                                                << saturate << differences(shot.image, want, c.w);
            }
        }
    }
    // One block by hand: (2024, 11) covers columns 4048-4049 of rows 22-23,
    // pixels 4092, 4093, 4094 and 4095: sum 16374, mean 4093.
    twelve_bit.bin_sum = false;
    twelve_bit.bin_saturate = true;
    Shot shot = shoot(twelve_bit, 2024, 11, 1, 1);
    ASSERT_EQ(shot.read, OK);
    EXPECT_EQ(shot.image, std::vector<uint16_t>{4095});  // mean would be 4093
    twelve_bit.bin_sum = true;
    shot = shoot(twelve_bit, 2024, 11, 1, 1);
    EXPECT_EQ(shot.image, std::vector<uint16_t>{16380});  // min(4·4095, 65535), not the sum
    twelve_bit.bin_saturate = false;
    shot = shoot(twelve_bit, 2024, 11, 1, 1);
    EXPECT_EQ(shot.image, std::vector<uint16_t>{16374});  // below the cap of 16380
}

// What a type-24 camera's client sees in each readout mode, from the two
// gain images the virtual camera sends (the high-gain image is the pattern,
// the low-gain one the values whose merge comes nearest it).
struct Hdr {
    int32_t gain, offset;

    uint16_t merge(uint64_t v) const {
        return static_cast<uint16_t>(std::clamp<int64_t>(offset + ((int64_t{gain} * int64_t(v)) >> 10), 0, 65535));
    }
    uint16_t low(uint16_t p) const { return sim::low_gain_value(p, {gain, offset}); }
    uint16_t combined(uint16_t p) const { return p <= 3600 ? p : merge(low(p)); }

    // Output pixel (i, j) of the window at (x, y) binned b × b in `mode`.
    uint16_t pixel(int mode, int x, int y, int i, int j, int b) const {
        uint64_t sum = 0;
        for (int v = 0; v < b; ++v) {
            for (int u = 0; u < b; ++u) {
                const uint16_t p = coords(int64_t{x + i} * b + u, int64_t{y + j} * b + v);
                sum += mode == 0 ? combined(p) : mode == 1 ? p : low(p);
            }
        }
        return mode == 3 ? merge(sum) : static_cast<uint16_t>(std::min<uint64_t>(sum, 65535));
    }

    std::vector<uint16_t> window(int mode, int x, int y, int w, int h, int b = 1) const {
        std::vector<uint16_t> image;
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) image.push_back(pixel(mode, x, y, i, j, b));
        return image;
    }
};

TEST_F(CmosReadout, Type24ModesCombineCopyAndTransformTheGainImages) {
    CameraRecord& camera = connect("3136");
    // init_camera took the coefficients from the camera's calibration block.
    ASSERT_EQ(camera.hdr_gain, 21650);
    ASSERT_EQ(camera.hdr_offset, -1950);
    const Hdr hdr{camera.hdr_gain, camera.hdr_offset};
    // Values from 3560 to 3740: both sides of the combination's threshold.
    const int x = 1000, y = 1280, w = 100, h = 40;
    for (int mode = 0; mode <= 3; ++mode) {
        ASSERT_EQ(set_read_mode(camera, static_cast<uint32_t>(mode)), OK);
        const Shot shot = shoot(camera, x, y, w, h);
        ASSERT_EQ(shot.read, OK) << "mode " << mode;
        const std::vector<uint16_t> want = hdr.window(mode, x, y, w, h);
        EXPECT_TRUE(shot.image == want) << "mode " << mode << differences(shot.image, want, w);
        if (mode != 0 && mode != 3)
            continue;
        // The merged values give the pattern back as near as the gain's step allows.
        for (size_t k = 0; k < shot.image.size(); ++k) {
            const int p = coords(x + int(k) % w, y + int(k) / w);
            if (mode == 0 && p <= 3600) {
                ASSERT_EQ(shot.image[k], p);
            }
            ASSERT_LE(std::abs(shot.image[k] - p), 11) << "mode " << mode << " at " << k;
        }
    }
    // Binned by the daemon: merged values summed, the low-gain sum scaled.
    // The last windows reach the sensor's first rows, below the 8-row
    // alignment, and 3x3 blocks don't divide the frame's rows.
    struct Case {
        int b, x, y, w, h;
    };
    const Case cases[] = {{2, 500, 640, 50, 20}, {2, 30, 2045, 40, 3}, {3, 333, 426, 40, 13}, {3, 7, 1363, 30, 2}};
    for (const Case& c : cases) {
        bin(camera, {c.b, c.b, false});
        for (int mode : {0, 1, 3}) {
            ASSERT_EQ(set_read_mode(camera, static_cast<uint32_t>(mode)), OK);
            const Shot shot = shoot(camera, c.x, c.y, c.w, c.h);
            ASSERT_EQ(shot.read, OK);
            const std::vector<uint16_t> want = hdr.window(mode, c.x, c.y, c.w, c.h, c.b);
            EXPECT_TRUE(shot.image == want) << c.b << "x" << c.b << " at " << c.x << "," << c.y << " mode " << mode
                                            << differences(shot.image, want, c.w);
        }
    }
    // Binned by the camera: its cells carry the pattern on the binned grid.
    bin(camera, {2, 2, true});
    for (const auto& [cx, cy] : {std::pair{500, 640}, std::pair{11, 2040}}) {
        for (int mode : {0, 1}) {
            ASSERT_EQ(set_read_mode(camera, static_cast<uint32_t>(mode)), OK);
            const Shot shot = shoot(camera, cx, cy, 50, 8);
            ASSERT_EQ(shot.read, OK);
            const std::vector<uint16_t> want = hdr.window(mode, cx, cy, 50, 8);
            EXPECT_TRUE(shot.image == want) << "hw at " << cx << "," << cy << differences(shot.image, want, 50);
        }
    }
}

TEST_F(CmosReadout, Type24OverscanColumnsOnlyWhenAskedFor) {
    CameraRecord& camera = connect("3136");
    ASSERT_EQ(set_read_mode(camera, 1), OK);
    // The whole width without overscan: cut to the 4096 image columns.
    Shot shot = shoot(camera, 0, 7, 4160, 3);
    ASSERT_EQ(shot.read, OK);
    EXPECT_EQ(shot.exposure.w, 4096);
    EXPECT_TRUE(shot.image == expected_window(0, 7, 4096, 3, 1, 1, {}, coords));
    // Any other window is taken as asked, overscan columns and all.
    shot = shoot(camera, 0, 7, 4100, 3);
    EXPECT_EQ(shot.exposure.w, 4100);
    EXPECT_TRUE(shot.image == expected_window(0, 7, 4100, 3, 1, 1, {}, coords));
    camera.overscan = true;
    shot = shoot(camera, 0, 7, 4160, 3);
    EXPECT_EQ(shot.exposure.w, 4160);
    EXPECT_TRUE(shot.image == expected_window(0, 7, 4160, 3, 1, 1, {}, coords));
    shot = shoot(camera, 4050, 900, 110, 5);
    EXPECT_TRUE(shot.image == expected_window(4050, 900, 110, 5, 1, 1, {}, coords));
    // Binned by the camera, the image columns are 2048 of its 2080.
    camera.overscan = false;
    bin(camera, {2, 2, true});
    shot = shoot(camera, 0, 3, 2080, 8);
    ASSERT_EQ(shot.read, OK);
    EXPECT_EQ(shot.exposure.w, 2048);
    EXPECT_TRUE(shot.image == expected_window(0, 3, 2048, 8, 1, 1, {}, coords));
}

TEST_F(CmosReadout, Type24BothGainsStacksTheTwoImages) {
    // The client's image is twice the sensor's height: the low-gain image
    // above the high-gain one. Binned by the camera to keep it small.
    CameraRecord& camera = connect("3136");
    camera.bothgains = true;
    bin(camera, {2, 2, true});
    ASSERT_EQ(set_read_mode(camera, 0), OK);
    const Shot shot = shoot(camera, 0, 0, 2080, 4096);
    ASSERT_EQ(shot.read, OK);
    EXPECT_EQ(state(camera).exposure->height, 2048);  // half the frame's rows
    ASSERT_EQ(shot.exposure.w, 2048);
    ASSERT_EQ(shot.exposure.h, 4096);
    const Hdr hdr{camera.hdr_gain, camera.hdr_offset};
    size_t wrong = 0;
    for (int j = 0; j < 4096; ++j) {
        for (int i = 0; i < 2048; ++i) {
            const uint16_t want = j < 2048 ? hdr.low(coords(i, j)) : coords(i, j - 2048);
            wrong += shot.image[size_t(j) * 2048 + size_t(i)] != want;
        }
    }
    EXPECT_EQ(wrong, 0u);
}

TEST_F(CmosReadout, StartNextOnlyWhereTheFirmwareHasIt) {
    const std::vector<uint16_t> want = expected_window(10, 20, 30, 40, 1, 1, {}, coords);
    std::vector<uint16_t> image(30 * 40);
    uint32_t read_bytes = 7;

    // Version 6 answers start-next support (gbp 16 needs more than 5), but
    // the readout needs more than 6: refused before anything is sent.
    CameraRecord& t22 = connect("3120 ver131=6");
    uint8_t supported = 0;
    ASSERT_EQ(gbp(&t22, 16, &supported), 0);
    EXPECT_EQ(supported, 1);
    ExposureInfo exposure{0, 10, 20, 30, 40, 1};
    ASSERT_EQ(start_exposure_cmos(t22, exposure, false), OK);
    ASSERT_TRUE(wait_ready(t22));
    uint64_t before = commands(t22);
    EXPECT_EQ(astro_readimage(t22, exposure, image.data(), read_bytes, true), REFUSED);
    EXPECT_EQ(read_bytes, 0u);
    EXPECT_EQ(commands(t22), before);
    ASSERT_EQ(astro_readimage(t22, exposure, image.data(), read_bytes, false), OK);
    EXPECT_TRUE(image == want);
    CameraRecord& t24 = connect("3136 ver131=11");
    before = commands(t24);
    EXPECT_EQ(astro_readimage(t24, exposure, image.data(), read_bytes, true), REFUSED);
    EXPECT_EQ(commands(t24), before);

    // Type 23 always has it: the frame comes, the next exposure of the same
    // window starts at once, and its frame reads like any other.
    CameraRecord& t23 = connect("3117");
    exposure = {0.05, 10, 20, 30, 40, 1};
    ASSERT_EQ(start_exposure_cmos(t23, exposure, false), OK);
    ASSERT_TRUE(wait_ready(t23));
    ASSERT_EQ(astro_readimage(t23, exposure, image.data(), read_bytes, true), OK);
    EXPECT_TRUE(image == want);
    EXPECT_EQ(state(t23).exposures, 2u);
    ASSERT_TRUE(wait_ready(t23));
    std::fill(image.begin(), image.end(), 0);
    ASSERT_EQ(astro_readimage(t23, exposure, image.data(), read_bytes, false), OK);
    EXPECT_TRUE(image == want);
    EXPECT_EQ(state(t23).exposures, 2u);
}

TEST_F(CmosReadout, FailedAndShortTransfers) {
    CameraRecord& camera = connect("3232 width=664 height=480");
    std::vector<uint16_t> image(30 * 40, 0xDEAD);
    uint32_t read_bytes = 9;
    ExposureInfo exposure{0, 10, 20, 30, 40, 1};
    // No exposure since the camera was opened: no frame to ask for.
    uint64_t before = commands(camera);
    EXPECT_EQ(astro_readimage(camera, exposure, image.data(), read_bytes, false), REFUSED);
    EXPECT_EQ(commands(camera), before);

    ASSERT_EQ(start_exposure_cmos(camera, exposure, false), OK);
    ASSERT_TRUE(wait_ready(camera));
    run("fault " + nodes[&camera] + " read 100 count=1");
    EXPECT_EQ(astro_readimage(camera, exposure, image.data(), read_bytes, false), DriverResult::short_stream(100));
    EXPECT_EQ(read_bytes, 0u);
    EXPECT_FALSE(camera.reading);
    EXPECT_FALSE(camera.frame_lock.is_locked());
    EXPECT_TRUE(log->has_line("read() failed: read 100 bytes: Connection timed out"));

    exposure = {0, 10, 20, 30, 40, 1};
    ASSERT_EQ(start_exposure_cmos(camera, exposure, false), OK);
    ASSERT_TRUE(wait_ready(camera));
    run("fault " + nodes[&camera] + " ioctl command count=1");
    EXPECT_EQ(astro_readimage(camera, exposure, image.data(), read_bytes, false), FAILED);
    EXPECT_FALSE(camera.reading);
    EXPECT_FALSE(camera.frame_lock.is_locked());
    // The frame is still there for a readout that works.
    ASSERT_EQ(astro_readimage(camera, exposure, image.data(), read_bytes, false), OK);
    EXPECT_TRUE(image == expected_window(10, 20, 30, 40, 1, 1, {}, coords));
}

// Every window a start takes is read whole: the w × h the start answers
// with (the window asked for; type 24 cuts its whole width without overscan
// to the image columns), nothing less. Windows reaching past the image
// (the reported width of classes 9 and 11 takes in margin columns) are
// refused by the start, before anything is sent.
TEST_F(CmosReadout, EveryStartedWindowIsReadWhole) {
    for (const char* plug_line : {"3120", "3120 ver128=0x0107 width=628 height=420", "3152 width=664 height=480",
                             "3225 width=664 height=480", "3117 width=664 height=480", "3136 width=640 height=400"}) {
        CameraRecord& camera = connect(plug_line);
        const bool t24 = camera.camera_type == 24;
        const int columns = t24 ? camera.info.width : image_columns(camera);
        for (const Binning& b : {Binning{1, 1, false}, Binning{2, 2, true}, Binning{3, 3, false}}) {
            bin(camera, b);
            const int cols = columns / b.bx, rows = camera.info.height / b.by;
            struct Case {
                int x, y, w, h;
            };
            for (const Case& c : {Case{0, 0, cols, 12}, Case{cols - 1, rows - 9, 1, 9}, Case{5, 3, cols - 5, 21},
                                  Case{0, rows - 30, camera.info.width / b.bx, 30}, Case{1, 0, cols, 4},
                                  Case{0, 5, cols, 6},
                                  Case{0, 1, 8, rows}}) {
                const std::string what = std::string(plug_line) + " bin " + std::to_string(b.bx) + (b.hardware ? " hw" : "") +
                                         " window " + std::to_string(c.x) + "," + std::to_string(c.y) + " " +
                                         std::to_string(c.w) + "x" + std::to_string(c.h);
                const bool fits = c.x + c.w <= cols && c.y + c.h <= rows;
                const uint64_t before = commands(camera);
                const Shot shot = shoot(camera, c.x, c.y, c.w, c.h);
                if (!fits) {
                    EXPECT_EQ(shot.start, REFUSED) << what;
                    EXPECT_EQ(commands(camera), before) << what;
                    continue;
                }
                ASSERT_EQ(shot.start, OK) << what;
                ASSERT_EQ(shot.read, OK) << what;
                const int w = t24 && c.x == 0 && c.w * b.bx == columns ? (columns - 64) / b.bx : c.w;
                EXPECT_EQ(shot.started.w, w) << what;
                EXPECT_EQ(shot.started.h, c.h) << what;
                EXPECT_EQ(shot.exposure.w, w) << what;
                EXPECT_EQ(shot.exposure.h, c.h) << what;
                EXPECT_EQ(shot.image.size(), size_t(w) * size_t(c.h)) << what;
            }
        }
    }
}

}  // namespace
