// The image kernels on small frames whose pixel values tell where they came
// from (value = x + 16·y unless a case needs otherwise), so a wrong flip,
// origin, stride, cap or rounding shows as a wrong number.
#include <gtest/gtest.h>
#include <omp.h>

#include <cstring>
#include <vector>

#include "driver/image_kernels.h"

namespace {

using Pixels = std::vector<uint16_t>;

// A cols × rows frame of value(x, y).
template <typename F>
Pixels frame_of(int cols, int rows, F value) {
    Pixels f(size_t(cols) * rows);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) f[size_t(y) * cols + x] = static_cast<uint16_t>(value(x, y));
    return f;
}

Pixels coords(int cols, int rows) {
    return frame_of(cols, rows, [](int x, int y) { return x + 16 * y; });
}

// Output buffers start poisoned, so an unwritten pixel shows.
Pixels poisoned(size_t n) { return Pixels(n, 0xDEAD); }

// Runs `kernel` with a team of 1 thread and of 3, and checks both agree.
template <typename K>
Pixels with_teams(size_t n, K kernel) {
    const int saved = omp_get_max_threads();
    Pixels one = poisoned(n), three = poisoned(n);
    omp_set_num_threads(1);
    EXPECT_TRUE(kernel(one.data()));
    omp_set_num_threads(3);
    EXPECT_TRUE(kernel(three.data()));
    omp_set_num_threads(saved);
    EXPECT_EQ(one, three);
    return one;
}

// --- geometry --------------------------------------------------------------

TEST(ImageGeometry, WindowsAreClampedToTheFrame) {
    EXPECT_EQ(clamp_window({2, 3, 4, 5}, 10, 10), (Window{2, 3, 4, 5}));
    EXPECT_EQ(clamp_window({8, 9, 4, 5}, 10, 10), (Window{8, 9, 2, 1}));
    EXPECT_EQ(clamp_window({12, 40, 4, 5}, 10, 10), (Window{9, 9, 1, 1}));
    EXPECT_EQ(clamp_window({-3, -1, 20, -2}, 10, 10), (Window{0, 0, 10, 0}));
    EXPECT_EQ(clamp_window({3, 3, 3, 3}, 0, 5), (Window{0, 3, 0, 2}));
}

// --- class 2 ---------------------------------------------------------------

// A class-2 transfer for a w × h window: padding bytes 0xEE, pixel (x, y)
// stored big-endian (as a pair of samples in pair mode).
std::vector<uint8_t> small_transfer(int w, int h, bool pairs, uint16_t (*s0)(int, int),
                                    uint16_t (*s1)(int, int)) {
    const SmallFrameLayout lay = small_frame_layout(w, h, pairs);
    std::vector<uint8_t> t(lay.transfer_bytes, 0xEE);
    auto put = [&](size_t at, uint16_t v) {
        t[at] = static_cast<uint8_t>(v >> 8);
        t[at + 1] = static_cast<uint8_t>(v);
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t at = lay.first + y * lay.row_bytes + x * (pairs ? 4 : 2);
            put(at, s0(x, y));
            if (pairs)
                put(at + 2, s1(x, y));
        }
    return t;
}

TEST(SmallFrame, BigEndianRowsSkipThePadding) {
    auto v = [](int x, int y) { return static_cast<uint16_t>(0x0100 * (x + 1) + y); };
    const auto t = small_transfer(5, 3, false, v, nullptr);
    EXPECT_EQ(t.size(), 7u * 9 * 2);  // 9 columns of 7 rows
    Pixels out = poisoned(15);
    ASSERT_TRUE(convert_small_frame(t.data(), t.size(), 5, 3, false, out.data()));
    EXPECT_EQ(out, frame_of(5, 3, v));
    EXPECT_FALSE(convert_small_frame(t.data(), t.size() - 1, 5, 3, false, out.data()));
}

TEST(SmallFrame, PairModeGivesTheFloorMeanOfEachPair) {
    // The samples differ by 3 and carry high bytes, so an unswapped sample,
    // a pair read one byte off or a rounded-up mean all change the value.
    auto s0 = [](int x, int y) { return static_cast<uint16_t>(0x0200 * (x + 1) + 3 * y); };
    auto s1 = [](int x, int y) { return static_cast<uint16_t>(0x0200 * (x + 1) + 3 * y + 3); };
    const auto t = small_transfer(4, 3, true, s0, s1);
    EXPECT_EQ(t.size(), 7u * 6 * 4);  // 6 pairs of 7 rows
    Pixels out = poisoned(12);
    ASSERT_TRUE(convert_small_frame(t.data(), t.size(), 4, 3, true, out.data()));
    EXPECT_EQ(out, frame_of(4, 3, [](int x, int y) { return 0x0200 * (x + 1) + 3 * y + 1; }));
    // Saturated samples do not overflow the mean.
    auto top = [](int, int) { return uint16_t{0xFFFF}; };
    const auto s = small_transfer(2, 1, true, top, top);
    ASSERT_TRUE(convert_small_frame(s.data(), s.size(), 2, 1, true, out.data()));
    EXPECT_EQ(out[0], 0xFFFF);
    EXPECT_FALSE(convert_small_frame(t.data(), t.size() - 1, 4, 3, true, out.data()));
}

// --- streamed conversion ---------------------------------------------------

TEST(Stream, SamplePairsConvertedInRaggedChunksMatchTheWhole) {
    // Pixel i: samples 0x1000 + 2i and 0x1000 + 2i + 5 → mean 0x1000 + 2i + 2.
    const size_t pixels = 37;
    std::vector<uint8_t> in;
    for (size_t i = 0; i < pixels; ++i)
        for (uint16_t s : {uint16_t(0x1000 + 2 * i), uint16_t(0x1000 + 2 * i + 5)}) {
            in.push_back(static_cast<uint8_t>(s >> 8));
            in.push_back(static_cast<uint8_t>(s));
        }
    Pixels out = poisoned(pixels);
    size_t done = 0;
    // Chunks end inside pixels: only whole pixels are converted each time.
    for (size_t arrived : {5ul, 6ul, 13ul, 64ul, 100ul, in.size()}) {
        done = convert_stream(StreamFormat::sample_pairs, in.data(), done, arrived, out.data());
        EXPECT_EQ(done, arrived / 4 * 4);
        if (done / 4 < pixels) {
            EXPECT_EQ(out[done / 4], 0xDEAD) << "pixel past the arrived bytes written";
        }
    }
    for (size_t i = 0; i < pixels; ++i) EXPECT_EQ(out[i], 0x1000 + 2 * i + 2) << i;
}

TEST(Stream, BigEndianIsSwappedAndNativeCopied) {
    const std::vector<uint8_t> in = {0x12, 0x34, 0xAB, 0xCD, 0x00, 0xFF};
    Pixels out = poisoned(3);
    EXPECT_EQ(convert_stream(StreamFormat::big_endian16, in.data(), 0, 3, out.data()), 2u);
    EXPECT_EQ(convert_stream(StreamFormat::big_endian16, in.data(), 2, 6, out.data()), 6u);
    EXPECT_EQ(out, (Pixels{0x1234, 0xABCD, 0x00FF}));
    Pixels copy = poisoned(3);
    EXPECT_EQ(convert_stream(StreamFormat::native16, in.data(), 0, 3, copy.data()), 3u);
    EXPECT_EQ(convert_stream(StreamFormat::native16, in.data(), 3, 6, copy.data()), 6u);
    EXPECT_EQ(memcmp(copy.data(), in.data(), 6), 0);
    // Nothing new: nothing done, position kept.
    EXPECT_EQ(convert_stream(StreamFormat::sample_pairs, in.data(), 4, 4, out.data()), 4u);
}

// --- new-interface cameras -------------------------------------------------

TEST(NewInterface, BytesAreWidenedAndWindowsCopied) {
    std::vector<uint8_t> bytes(7 * 5);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(250 - i);
    Pixels wide = poisoned(bytes.size());
    widen_u8(bytes.data(), bytes.size(), wide.data());
    for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(wide[i], 250 - i);

    Pixels out = poisoned(6);
    ASSERT_TRUE(copy_window_u8(bytes.data(), 7, 5, {4, 3, 3, 2}, out.data()));
    EXPECT_EQ(out, (Pixels{250 - 25, 250 - 26, 250 - 27, 250 - 32, 250 - 33, 250 - 34}));

    const Pixels f = coords(7, 5);
    ASSERT_TRUE(copy_window_u16(f.data(), 7, 5, {4, 3, 3, 2}, out.data()));
    EXPECT_EQ(out, (Pixels{52, 53, 54, 68, 69, 70}));
    EXPECT_FALSE(copy_window_u16(f.data(), 7, 5, {5, 3, 3, 2}, out.data()));
    EXPECT_FALSE(copy_window_u8(bytes.data(), 7, 5, {4, 4, 3, 2}, out.data()));
}

TEST(NewInterface, BlocksAreSummedNotAveraged) {
    // 7 × 5 in 2 × 2 blocks: 3 × 2 whole blocks; the odd column and row stay out.
    const Pixels f = coords(7, 5);
    Pixels out = poisoned(4);
    ASSERT_TRUE(sum_blocks_u16(f.data(), 7, 5, 2, 2, {1, 0, 2, 2}, out.data()));
    // Block (X, Y) sums x = 8X + 2 and y = 8Y + 2.
    auto sum = [](int X, int Y) { return uint16_t(8 * X + 2 + 16 * (8 * Y + 2)); };
    EXPECT_EQ(out, (Pixels{sum(1, 0), sum(2, 0), sum(1, 1), sum(2, 1)}));
    EXPECT_EQ(sum(2, 1), 178);
    EXPECT_FALSE(sum_blocks_u16(f.data(), 7, 5, 2, 2, {2, 0, 2, 2}, out.data()));

    std::vector<uint8_t> bytes(6 * 3, 255);
    out = poisoned(2);
    ASSERT_TRUE(sum_blocks_u8(bytes.data(), 6, 3, 3, 3, {0, 0, 2, 1}, out.data()));
    EXPECT_EQ(out, (Pixels{9 * 255, 9 * 255}));

    const Pixels bright = frame_of(4, 2, [](int x, int) { return x < 2 ? 20000 : 16000; });
    ASSERT_TRUE(sum_blocks_u16(bright.data(), 4, 2, 2, 2, {0, 0, 2, 1}, out.data()));
    EXPECT_EQ(out, (Pixels{65535, 64000}));
}

// --- CMOS types 22 and 23 --------------------------------------------------

TEST(CmosFrames, TheMarginIsNotPartOfTheFrame) {
    const Pixels f = coords(10, 6);
    const CmosFrame frame{f.data(), 10, 6, 2};
    // Eight usable columns: four 2 × 2 blocks a row, not five.
    EXPECT_EQ(clamp_to_cmos_frame(frame, {0, 0, 100, 100}, 2, 2), (Window{0, 0, 4, 3}));
    EXPECT_EQ(clamp_to_cmos_frame(frame, {0, 0, 100, 100}, 1, 1), (Window{0, 0, 8, 6}));
    // A window measured with the margin would run past the last row.
    Pixels out = poisoned(15);
    const CmosBinning bin2{2, 2, false, false, 16383};
    EXPECT_FALSE(cmos_bin(frame, {0, 0, 5, 3}, bin2, RowOrder::reversed, out.data()));
    EXPECT_FALSE(cmos_copy(frame, {1, 0, 8, 1}, RowOrder::reversed, out.data()));
    EXPECT_EQ(out, poisoned(15));
}

TEST(CmosFrames, UnbinnedCopiesMirrorRowsOrReverseTheirOrder) {
    const Pixels f = coords(9, 5);  // stride 9, margin 3: usable columns 3..8
    const CmosFrame frame{f.data(), 9, 5, 3};
    const Window win{1, 1, 3, 2};   // frame columns 4..6, rows 1..2
    const Pixels reversed = with_teams(6, [&](uint16_t* out) {
        return cmos_copy(frame, win, RowOrder::reversed, out);
    });
    EXPECT_EQ(reversed, (Pixels{36, 37, 38, 20, 21, 22}));
    const Pixels mirrored = with_teams(6, [&](uint16_t* out) {
        return cmos_copy(frame, win, RowOrder::mirrored, out);
    });
    EXPECT_EQ(mirrored, (Pixels{22, 21, 20, 38, 37, 36}));
}

TEST(CmosFrames, MeanBinningOfBothOrders) {
    // Stride 11, margin 2, 9 × 7 usable: 2 × 2 blocks give 4 × 3, the last
    // column and row left out. Block (X, Y) of the usable frame starts at
    // frame column 2 + 2X, row 2Y: sum 4(2 + 2X) + 2 + 16(8Y + 2) →
    // floor mean 2X + 32Y + 10 (the .5 dropped).
    const Pixels f = coords(11, 7);
    const CmosFrame frame{f.data(), 11, 7, 2};
    const CmosBinning mean{2, 2, false, false, 16383};
    const Window win{1, 1, 3, 2};
    auto at = [](int X, int Y) { return uint16_t(2 * X + 32 * Y + 10); };
    const Pixels reversed = with_teams(6, [&](uint16_t* out) {
        return cmos_bin(frame, win, mean, RowOrder::reversed, out);
    });
    EXPECT_EQ(reversed, (Pixels{at(1, 2), at(2, 2), at(3, 2), at(1, 1), at(2, 1), at(3, 1)}));
    const Pixels mirrored = with_teams(6, [&](uint16_t* out) {
        return cmos_bin(frame, win, mean, RowOrder::mirrored, out);
    });
    EXPECT_EQ(mirrored, (Pixels{at(3, 1), at(2, 1), at(1, 1), at(3, 2), at(2, 2), at(1, 2)}));
    EXPECT_FALSE(cmos_bin(frame, {1, 1, 4, 2}, mean, RowOrder::reversed, poisoned(8).data()));
}

TEST(CmosFrames, MeansRoundDownAtEveryBlockSize) {
    // Sums of 9k + 8 must give k, sums of 9k exactly k, at the top of the range too.
    auto block = [](int n, uint16_t rest, uint16_t last) {
        Pixels f(size_t(n) * n, rest);
        f.back() = last;
        return f;
    };
    uint16_t out = 0;
    for (int n : {3, 5, 16, 17}) {
        const uint32_t cells = uint32_t(n) * n;
        for (uint16_t base : {uint16_t(0), uint16_t(1), uint16_t(1000), uint16_t(65534)}) {
            for (uint32_t extra : {0u, cells - 1, 1u}) {
                if (base == 65534 && extra > 1)
                    continue;
                const Pixels f = block(n, base, uint16_t(base + extra));
                const CmosFrame frame{f.data(), size_t(n), n, 0};
                ASSERT_TRUE(cmos_bin(frame, {0, 0, 1, 1}, {n, n, false, false, 65535},
                                     RowOrder::reversed, &out));
                EXPECT_EQ(out, base + extra / cells) << n << " " << base << " " << extra;
            }
        }
        const Pixels top = block(n, 65535, 65535);
        const CmosFrame frame{top.data(), size_t(n), n, 0};
        ASSERT_TRUE(cmos_bin(frame, {0, 0, 1, 1}, {n, n, false, false, 65535},
                             RowOrder::reversed, &out));
        EXPECT_EQ(out, 65535);
    }
}

TEST(CmosFrames, SumsAreCappedAtTheSaturationOfTheBlock) {
    // Three 3 × 3 blocks over a 10 × 3 frame (column 9 unused): 9 × 1000,
    // 9 × 5000 past the cap 9·C = 36855 at C = 4095 (pixels above C can come
    // in), and 9 × 9000 past 65535, the cap at C = 65535.
    const Pixels f = frame_of(10, 3, [](int x, int) { return x < 3 ? 1000 : x < 6 ? 5000 : 9000; });
    const CmosFrame frame{f.data(), 10, 3, 0};
    Pixels out = poisoned(3);
    ASSERT_TRUE(cmos_bin(frame, {0, 0, 3, 1}, {3, 3, true, false, 4095}, RowOrder::reversed,
                         out.data()));
    EXPECT_EQ(out, (Pixels{9000, 36855, 36855}));
    ASSERT_TRUE(cmos_bin(frame, {0, 0, 3, 1}, {3, 3, true, false, 65535}, RowOrder::reversed,
                         out.data()));
    EXPECT_EQ(out, (Pixels{9000, 45000, 65535}));
}

TEST(CmosFrames, OneSaturatedPixelSaturatesItsBlock) {
    // 2 × 2 blocks of a 6 × 4 frame of 100s; C = 16383 sits in block (1, 0)
    // at its bottom-right pixel, C − 1 in block (2, 1); block (0, 1) holds
    // pixels above C, which are not "equal to C".
    Pixels f(6 * 4, 100);
    f[1 * 6 + 3] = 16383;
    f[2 * 6 + 5] = 16382;
    f[3 * 6 + 0] = 20000;
    const CmosFrame frame{f.data(), 6, 4, 0};
    const Window win{0, 0, 3, 2};
    auto run = [&](bool sum, bool saturate, RowOrder order) {
        return with_teams(6, [&](uint16_t* out) {
            return cmos_bin(frame, win, {2, 2, sum, saturate, 16383}, order, out);
        });
    };
    // Reversed order: output row 0 is block row 1.
    EXPECT_EQ(run(false, true, RowOrder::reversed),
              (Pixels{(300 + 20000) / 4, 100, (300 + 16382) / 4, 100, 16383, 100}));
    EXPECT_EQ(run(true, true, RowOrder::reversed),
              (Pixels{20300, 400, 16682, 400, 65532, 400}));
    // Without bin_saturate the block is an ordinary mean or capped sum.
    EXPECT_EQ(run(false, false, RowOrder::mirrored),
              (Pixels{100, (300 + 16383) / 4, 100, (300 + 16382) / 4, 100, (300 + 20000) / 4}));
    EXPECT_EQ(run(true, false, RowOrder::mirrored),
              (Pixels{400, 16683, 400, 16682, 400, 20300}));
    // C = 65535 with summing: the cap is 65535 itself.
    Pixels g(2 * 2, 7);
    g[0] = 65535;
    uint16_t out = 0;
    ASSERT_TRUE(cmos_bin({g.data(), 2, 2, 0}, {0, 0, 1, 1}, {2, 2, true, true, 65535},
                         RowOrder::reversed, &out));
    EXPECT_EQ(out, 65535);
    ASSERT_TRUE(cmos_bin({g.data(), 2, 2, 0}, {0, 0, 1, 1}, {2, 2, false, true, 65535},
                         RowOrder::reversed, &out));
    EXPECT_EQ(out, 65535);
}

TEST(CmosFrames, TeamsOfAnySizeGiveTheSameImage) {
    // Odd sizes, every block width with its own code path and the generic one.
    const Pixels f = frame_of(203, 61, [](int x, int y) { return (x * 131 + y * 977) % 17000; });
    for (int b : {1, 2, 3, 4, 5}) {
        const CmosFrame frame{f.data(), 203, 61, 24};
        for (bool sum : {false, true})
            for (bool sat : {false, true})
                for (RowOrder order : {RowOrder::mirrored, RowOrder::reversed}) {
                    const Window win = clamp_to_cmos_frame(frame, {1, 2, 999, 999}, b, 2);
                    with_teams(size_t(win.w) * win.h, [&](uint16_t* out) {
                        return cmos_bin(frame, win, {b, 2, sum, sat, 16383}, order, out);
                    });
                }
    }
}

// --- type 24 ---------------------------------------------------------------

const GainCoefficients K{21703, -1899};

TEST(GainFrames, PlainFramesComeBottomUpFromTheWindowColumn) {
    // 6 × 5 frame; window x 2, y 1, 3 × 2: output row r is frame row 5 − 1 − 1 − r.
    const Pixels f = coords(6, 5);
    const GainFrame frame{f.data(), nullptr, 6, 5};
    const Pixels out = with_teams(6, [&](uint16_t* o) {
        return convert_gain_frame(frame, {2, 1, 3, 2}, 1, 1, GainMode::plain, K, o);
    });
    EXPECT_EQ(out, (Pixels{50, 51, 52, 34, 35, 36}));
    Pixels o = poisoned(6);
    EXPECT_FALSE(convert_gain_frame(frame, {2, 4, 3, 2}, 1, 1, GainMode::plain, K, o.data()));
    EXPECT_FALSE(convert_gain_frame(frame, {0, 0, 2, 2}, 1, 1, GainMode::combine, K, o.data()));
}

TEST(GainFrames, CombinationKeepsTheLowGainPixelUpTo3600) {
    EXPECT_EQ(combine_gains(3600, 9999, K), 3600);
    EXPECT_EQ(combine_gains(0, 9999, K), 0);
    // 21703·200 >> 10 = 4238, less 1899.
    EXPECT_EQ(combine_gains(3601, 200, K), 2339);
    EXPECT_EQ(combine_gains(3601, 4000, K), 65535);  // 84777 − 1899 capped
    // A merged value below zero is black, not a 16-bit wrap to white.
    EXPECT_EQ(combine_gains(3601, 50, K), 0);
    EXPECT_EQ(combine_gains(40000, 65535, {INT32_MAX, 0}), 65535);
    EXPECT_EQ(transform_gain(200, K), 2339);
    EXPECT_EQ(transform_gain(50, K), 0);
    EXPECT_EQ(transform_gain(4000, K), 65535);
    EXPECT_EQ(transform_gain(1000, {-1024, 70000}), 65535);
    EXPECT_EQ(transform_gain(65535, {-1024, 70000}), 4465);
}

TEST(GainFrames, CombinedAndTransformedFrames) {
    // a: row 0 = 3600, 3601, 5000; row 1 = 50, 4000, 3601. b: 200 · (x + 1) + y.
    const Pixels a = {3600, 3601, 5000, 50, 4000, 3601};
    const Pixels b = frame_of(3, 2, [](int x, int y) { return 200 * (x + 1) + y; });
    const GainFrame frame{a.data(), b.data(), 3, 2};
    auto merged = [&](int x, int y) { return combine_gains(a[y * 3 + x], b[y * 3 + x], K); };
    const Pixels combined = with_teams(6, [&](uint16_t* o) {
        return convert_gain_frame(frame, {0, 0, 3, 2}, 1, 1, GainMode::combine, K, o);
    });
    EXPECT_EQ(combined, (Pixels{50, merged(1, 1), merged(2, 1), 3600, merged(1, 0), merged(2, 0)}));
    // (21703·b >> 10) − 1899 for b = 401, 601, 400, 600.
    EXPECT_EQ(combined, (Pixels{50, 6599, 10838, 3600, 6578, 10817}));
    const Pixels transformed = with_teams(6, [&](uint16_t* o) {
        return convert_gain_frame(frame, {0, 0, 3, 2}, 1, 1, GainMode::transform, K, o);
    });
    EXPECT_EQ(transformed, (Pixels{0, 65535, 65535, 65535, 65535, 65535}));
    const Pixels dim = {300, 100};
    uint16_t one = 0;
    ASSERT_TRUE(convert_gain_frame({dim.data(), nullptr, 2, 1}, {1, 0, 1, 1}, 1, 1,
                                   GainMode::transform, K, &one));
    EXPECT_EQ(one, 220);  // (21703·100 >> 10) − 1899
}

TEST(GainFrames, BinnedBlocksAreSummedAndCapped) {
    // 5 × 5 frames, 2 × 2 blocks: 2 × 2 binned rows; row 4 and column 4 unused.
    // Output row r is binned row 2 − y − 1 − r.
    const Pixels a = frame_of(5, 5, [](int x, int y) { return y >= 2 && x < 2 ? 4000 : 10 * x + y; });
    const Pixels b = frame_of(5, 5, [](int x, int) { return 300 + x; });
    const GainFrame frame{a.data(), b.data(), 5, 5};
    // Plain: block (X, Y) of a sums 10x = 80X + 20 and y = 8Y + 2; block
    // (0, 1) is 4 × 4000.
    auto plain_sum = [](int X, int Y) { return 80 * X + 8 * Y + 22; };
    const Pixels plain = with_teams(4, [&](uint16_t* o) {
        return convert_gain_frame(frame, {0, 0, 2, 2}, 2, 2, GainMode::plain, K, o);
    });
    EXPECT_EQ(plain, (Pixels{16000, uint16_t(plain_sum(1, 1)), uint16_t(plain_sum(0, 0)),
                             uint16_t(plain_sum(1, 0))}));
    // Combine: block (0, 1) merges b = 300, 301 twice each: 2·(6358 − 1899) +
    // 2·(6379 − 1899) = 17878; the others are kept a values.
    const Pixels combined = with_teams(4, [&](uint16_t* o) {
        return convert_gain_frame(frame, {0, 0, 2, 2}, 2, 2, GainMode::combine, K, o);
    });
    EXPECT_EQ(combined, (Pixels{17878, uint16_t(plain_sum(1, 1)), uint16_t(plain_sum(0, 0)),
                                uint16_t(plain_sum(1, 0))}));
    // A block of four merged values near the top caps at 65535.
    const Pixels hot(16, 60000), partner(16, 3200);
    uint16_t one = 0;
    ASSERT_TRUE(convert_gain_frame({hot.data(), partner.data(), 4, 4}, {1, 0, 1, 1}, 2, 2,
                                   GainMode::combine, K, &one));
    EXPECT_EQ(one, 65535);
    // Transform scales the block sum: (21703·16000 >> 10) − 1899 caps; the
    // window row y = 1 is binned row 0.
    ASSERT_TRUE(convert_gain_frame(frame, {1, 1, 1, 1}, 2, 2, GainMode::transform, K, &one));
    EXPECT_EQ(one, transform_gain(uint64_t(plain_sum(1, 0)), K));
    EXPECT_EQ(one, 262);  // (21703·102 >> 10) − 1899
    ASSERT_TRUE(convert_gain_frame(frame, {0, 0, 1, 1}, 2, 2, GainMode::transform, K, &one));
    EXPECT_EQ(one, 65535);
    ASSERT_TRUE(convert_gain_frame({hot.data(), nullptr, 4, 4}, {0, 0, 1, 1}, 2, 2,
                                   GainMode::plain, K, &one));
    EXPECT_EQ(one, 65535);
}

TEST(GainFrames, TeamsOfAnySizeGiveTheSameImage) {
    const Pixels a = frame_of(157, 45, [](int x, int y) { return (x * 701 + y * 313) % 9000; });
    const Pixels b = frame_of(157, 45, [](int x, int y) { return (x * 37 + y * 91) % 4000; });
    const GainFrame frame{a.data(), b.data(), 157, 45};
    for (int bin : {1, 2, 3})
        for (GainMode mode : {GainMode::plain, GainMode::combine, GainMode::transform})
            for (GainCoefficients k : {K, GainCoefficients{1 << 20, -5}}) {
                const Window win = clamp_window({3, 1, 999, 999}, 157 / bin, 45 / bin);
                const Pixels out = with_teams(size_t(win.w) * win.h, [&](uint16_t* o) {
                    return convert_gain_frame(frame, win, bin, bin, mode, k, o);
                });
                if (bin == 1 && mode == GainMode::combine) {
                    EXPECT_EQ(out[0], combine_gains(a[43 * 157 + 3], b[43 * 157 + 3], k));
                }
            }
}

}  // namespace
