// Wire bytes of the client protocol and the framing of the request stream.
#include <gtest/gtest.h>

#include <random>

#include "thread/protocol.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes request(uint32_t command, size_t size = 20) {
    Bytes bytes(size, 0);
    const uint64_t magic = REQUEST_MAGIC;
    std::memcpy(bytes.data(), &magic, 8);
    const uint32_t length = static_cast<uint32_t>(size);
    std::memcpy(bytes.data() + 8, &length, 4);
    std::memcpy(bytes.data() + 12, &command, 4);
    return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace

TEST(Protocol, VersionResponseBytes) {
    const Bytes expected = {0x01, 0x00, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x19, 0x00, 0x00, 0x00, 0x15,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3D, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(expected, version_response().bytes());
}

TEST(Protocol, StartExposureRequestAndItsAnswer) {
    const Bytes wire = {0x01, 0x00, 0xF5, 0xE4, 0xD3, 0xC2, 0xB1, 0xA0, 0x29, 0x00, 0x00, 0x00, 0x0B, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00, 0x32, 0x00, 0x00, 0x00, 0x01};
    Frame frame = find_frame(wire);
    ASSERT_EQ(Frame::Kind::complete, frame.kind);
    EXPECT_EQ(41u, frame.size);
    Request parsed(wire);  // all 41 bytes are the request
    EXPECT_EQ(REQUEST_MAGIC, parsed.magic());
    EXPECT_EQ(TCP_CMD_STARTEXPOSURE, parsed.command());
    EXPECT_EQ(1.5, parsed.field<double>(16));
    EXPECT_EQ(0, parsed.field<int32_t>(24));
    EXPECT_EQ(100, parsed.field<int32_t>(32));
    EXPECT_EQ(50, parsed.field<int32_t>(36));
    EXPECT_EQ(1, parsed.field<uint8_t>(40));
    EXPECT_FALSE(parsed.field<uint8_t>(41).has_value());

    const Bytes answer = {0x01, 0x00, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x14, 0x00,
                          0x00, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(answer, Response(TCP_CMD_STARTEXPOSURE, 0).bytes());
}

TEST(Protocol, ResponseLengths) {
    const std::pair<uint32_t, size_t> lengths[] = {
        {1, 24}, {10, 24}, {23, 24}, {1024, 24}, {0xFFFE, 24}, {0xFFFF, 24}, {2, 86}, {13, 21}, {19, 21},
        {21, 25}, {27, 48}, {28, 77}, {34, 28}, {1027, 28}, {1025, 64}, {11, 20}, {15, 20}, {0x12345678, 20},
    };
    for (auto [command, length] : lengths) {
        EXPECT_EQ(length, response_length(command)) << command;
        EXPECT_EQ(length, refusal(command).bytes().size()) << command;
        EXPECT_EQ(-1, Request(refusal(command).bytes()).field<int32_t>(16));
    }
}

TEST(Protocol, EnumerationHeadCountsItsEntries) {
    Response head(TCP_CMD_ENUMCAMERAS, 0);
    head.set<int32_t>(20, 2);
    head.append(Bytes(132, 0xAB));
    EXPECT_EQ(24u + 132u, head.bytes().size());
    EXPECT_EQ(156u, Request(head.bytes()).field<uint32_t>(8));
}

TEST(Framing, SplitRequestWaitsForItsLastByte) {
    Bytes whole = request(TCP_CMD_STARTEXPOSURE, 41);
    for (size_t cut = 0; cut < whole.size(); ++cut)
        EXPECT_EQ(Frame::Kind::incomplete, find_frame(std::span(whole).first(cut)).kind) << cut;
    EXPECT_EQ(Frame::Kind::complete, find_frame(whole).kind);
}

TEST(Framing, CoalescedRequestsComeOneByOne) {
    Bytes stream = concat({request(TCP_CMD_ENUMCAMERAS), request(TCP_CMD_SETBINNING, 21), request(TCP_CMD_GETVERSION)});
    std::vector<uint32_t> seen;
    std::span<const uint8_t> rest(stream);
    while (!rest.empty()) {
        Frame frame = find_frame(rest);
        ASSERT_EQ(Frame::Kind::complete, frame.kind);
        seen.push_back(Request(rest.first(frame.size)).command());
        rest = rest.subspan(frame.consumed);
    }
    EXPECT_EQ((std::vector<uint32_t>{1, 3, 21}), seen);
}

TEST(Framing, BytesBeyondTheParametersBelongToTheRequest) {
    // A client that sends the 20-byte header padded to 32 bytes, then the next request.
    Bytes stream = concat({request(TCP_CMD_GETVERSION, 32), request(TCP_CMD_ENUMWHEELS)});
    Frame frame = find_frame(stream);
    ASSERT_EQ(Frame::Kind::complete, frame.kind);
    EXPECT_EQ(20u, frame.size);
    EXPECT_EQ(32u, frame.consumed);
    // Trailing bytes that end in part of a magic wait for the rest of it.
    Bytes partial = concat({request(TCP_CMD_GETVERSION), Bytes{0x01, 0x00, 0xF5}});
    EXPECT_EQ(20u, find_frame(partial).consumed);
}

TEST(Framing, ShortRequestIsTruncatedByTheNextOne) {
    Bytes short_exposure = request(TCP_CMD_STARTEXPOSURE, 41);
    short_exposure.resize(30);
    Bytes stream = concat({short_exposure, request(TCP_CMD_GETVERSION)});
    Frame frame = find_frame(stream);
    ASSERT_EQ(Frame::Kind::truncated, frame.kind);
    EXPECT_EQ(30u, frame.consumed);
    Request cut(std::span<const uint8_t>(stream).first(frame.size));
    EXPECT_EQ(TCP_CMD_STARTEXPOSURE, cut.command());
    EXPECT_FALSE(cut.field<uint8_t>(40).has_value());
    EXPECT_EQ(Frame::Kind::complete, find_frame(std::span(stream).subspan(30)).kind);
}

TEST(Framing, AnyBytesAlwaysMakeProgress) {
    // Whatever arrives, a buffer of 41 bytes or more always yields a frame, so
    // a connection never holds more than one request's worth of bytes.
    std::mt19937 random(12345);
    for (int round = 0; round < 2000; ++round) {
        Bytes noise(41 + random() % 8192);
        for (uint8_t& byte : noise)
            byte = static_cast<uint8_t>(random());
        if (round % 3 == 0)  // plant magics to exercise truncation
            std::memcpy(noise.data() + random() % (noise.size() - 8), request(0).data(), 8);
        std::span<const uint8_t> rest(noise);
        while (rest.size() >= 41) {
            Frame frame = find_frame(rest);
            ASSERT_NE(Frame::Kind::incomplete, frame.kind);
            ASSERT_GT(frame.consumed, 0u);
            ASSERT_LE(frame.size, frame.consumed);
            ASSERT_LE(frame.consumed, rest.size());
            rest = rest.subspan(frame.consumed);
        }
    }
}
