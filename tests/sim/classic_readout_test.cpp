// The classic virtual cameras' readout streams: their layouts byte for
// byte, any byte range alike, the sample pairs, windows the camera refuses,
// and the delivery rate.
#include <fcntl.h>

#include <chrono>

#include "sim/classic_readout.h"
#include "sim_fixture.h"

namespace {

using simtest::exchange;
using simtest::SimBox;

uint16_t coords(uint32_t x, uint32_t y) { return static_cast<uint16_t>(x + 2 * y); }

std::vector<uint8_t> whole(const sim::ReadoutStream& stream) {
    std::vector<uint8_t> bytes(stream.size);
    stream.fill(0, bytes.data(), bytes.size());
    return bytes;
}

TEST(ClassicStreams, LayoutsByteForByte) {
    // Class 2, 2 x 1 window at (3, 1): 5 rows of 8 bytes padding and 2
    // big-endian samples; the last 4 rows padding only.
    const auto small = whole(sim::small_stream(coords, {3, 1, 2, 1}, false));
    ASSERT_EQ(small.size(), 5u * 6 * 2);
    EXPECT_EQ(std::vector<uint8_t>(small.begin(), small.begin() + 12),
              (std::vector<uint8_t>{0xFA, 0xDE, 0xFA, 0xDE, 0xFA, 0xDE, 0xFA, 0xDE, 0, 5, 0, 6}));
    EXPECT_TRUE(std::all_of(small.begin() + 12, small.end(), [](uint8_t b) { return b == 0xFA || b == 0xDE; }));

    // Pairs: 8 bytes of padding are two of them.
    const auto pairs = whole(sim::small_stream(coords, {300, 0, 1, 1}, true));
    ASSERT_EQ(pairs.size(), 5u * 3 * 4);
    const auto [first, second] = sim::sample_pair(300, 300, 0);
    EXPECT_EQ(std::vector<uint8_t>(pairs.begin() + 8, pairs.begin() + 12),
              (std::vector<uint8_t>{uint8_t(first >> 8), uint8_t(first), uint8_t(second >> 8), uint8_t(second)}));

    // Big cameras: little-endian, big-endian, pairs; row by row.
    EXPECT_EQ(whole(sim::big_stream(coords, {1, 2, 2, 2}, sim::BigSamples::little16)),
              (std::vector<uint8_t>{5, 0, 6, 0, 7, 0, 8, 0}));
    EXPECT_EQ(whole(sim::big_stream(coords, {1, 2, 2, 1}, sim::BigSamples::big16)), (std::vector<uint8_t>{0, 5, 0, 6}));
    EXPECT_EQ(whole(sim::big_stream(coords, {1, 2, 2, 1}, sim::BigSamples::pairs)).size(), 8u);

    // New interface: the low byte in the 8-bit modes.
    EXPECT_EQ(whole(sim::new_interface_stream(coords, {254, 0, 3, 1}, true)), (std::vector<uint8_t>{254, 255, 0}));
}

TEST(ClassicStreams, AnyByteRangeIsFilledAlike) {
    const sim::ReadoutStream streams[] = {
        sim::small_stream(coords, {3, 1, 7, 5}, false),
        sim::small_stream(coords, {3, 1, 7, 5}, true),
        sim::big_stream(coords, {2, 9, 5, 4}, sim::BigSamples::pairs),
        sim::new_interface_stream(coords, {2, 9, 5, 4}, false),
    };
    for (const auto& stream : streams) {
        const std::vector<uint8_t> all = whole(stream);
        std::vector<uint8_t> pieces(stream.size, 0);
        uint64_t at = 0;
        for (size_t n = 1; at < stream.size; n = n % 7 + 1) {
            const size_t length = std::min<uint64_t>(n, stream.size - at);
            stream.fill(at, pieces.data() + at, length);
            at += length;
        }
        EXPECT_EQ(pieces, all);
    }
}

TEST(ClassicStreams, SamplePairsFloorToTheValueAndGiveAwayShortcuts) {
    for (uint32_t v = 0; v <= 65535; ++v) {
        const uint32_t x = v % 13, y = v / 13;
        const auto [a, b] = sim::sample_pair(static_cast<uint16_t>(v), x, y);
        ASSERT_EQ((a + b) / 2, v) << v;
        // One sample alone, or the mean rounded up, is another pixel
        // wherever the range leaves room.
        if (v < 65535) {
            ASSERT_NE((a + b + 1) / 2, v) << v;
        }
        if (v > 0 && v < 65534) {
            ASSERT_NE(a, v) << v;
            ASSERT_NE(b, v) << v;
        }
    }
    // Which sample is the bigger alternates.
    EXPECT_LT(sim::sample_pair(1000, 0, 0).first, 1000);
    EXPECT_GT(sim::sample_pair(1000, 1, 0).first, 1000);
}

TEST(ClassicStreams, RefusedWindowLeavesNothingToRead) {
    SimBox sim;
    auto& p = *sim.platform;
    const int fd = p.node_open(sim.run("plug camera 3075 width=600 height=400").c_str(), O_RDWR);
    uint8_t byte = 0;
    // 8-bit mode (the default): at least 516 columns, 4-aligned.
    ASSERT_EQ(exchange(p, fd, {0x09, 0, 0, 0, 0, 0, 0x04, 0x02, 8, 0}, 0).result, 0);
    ASSERT_EQ(p.node_read(fd, &byte, 1), 1);
    for (const std::vector<uint8_t>& refused : {
             std::vector<uint8_t>{0x09, 0, 0, 0, 0, 0, 0x04, 0x01, 8, 0},     // 260 columns
             std::vector<uint8_t>{0x09, 0, 0, 0, 0, 0, 0x05, 0x02, 8, 0},     // 517
             std::vector<uint8_t>{0x09, 0, 90, 0, 0, 0, 0x04, 0x02, 8, 0},    // past the edge
             std::vector<uint8_t>{0x09, 0, 0, 0, 0, 0, 0x04, 0x02, 6, 0}}) {  // 6 rows
        ASSERT_EQ(exchange(p, fd, refused, 0).result, 0);
        errno = 0;
        EXPECT_EQ(p.node_read(fd, &byte, 1), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
    }
    p.node_close(fd);
}

TEST(ClassicStreams, ReadRateSpacesTheBytes) {
    SimBox sim;
    auto& p = *sim.platform;
    const int fd = p.node_open(sim.run("plug camera 1029 width=500 height=100 read_rate=1000000").c_str(), O_RDWR);
    ASSERT_EQ(exchange(p, fd, {0x0B, 0, 0, 100, 0, 0, 0, 0xF4, 0x01}, 0).result, 0);
    std::vector<uint8_t> bytes(500 * 100 * 2);
    const auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at < bytes.size(); at += 10000)
        ASSERT_EQ(p.node_read(fd, bytes.data() + at, 10000), 10000);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    p.node_close(fd);
}

}  // namespace
