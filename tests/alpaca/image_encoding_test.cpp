#include "alpaca/image_encoding.h"

#include <gtest/gtest.h>
#include <jansson.h>
#include <ulfius.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace AlpacaServer;

namespace {

// The whole body, read in pieces of `piece` bytes starting from `start`
// and then wrapping around to the beginning.
std::string drain(BodyStream& s, size_t piece = 1 << 16) {
    std::string out(s.size(), '\0');
    uint64_t at = 0;
    while (at < s.size()) {
        size_t n = s.read(at, reinterpret_cast<uint8_t*>(out.data()) + at,
                          std::min<uint64_t>(piece, s.size() - at));
        EXPECT_GT(n, 0u) << "at " << at;
        if (n == 0) break;
        at += n;
    }
    uint8_t extra;
    EXPECT_EQ(s.read(s.size(), &extra, 1), 0u);
    return out;
}

uint32_t u32_at(const std::string& b, size_t at) {
    return uint8_t(b[at]) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
           uint32_t(uint8_t(b[at + 3])) << 24;
}

// The JSON body as built value by value with Jansson and serialised by the
// framework's JSON body call.
struct Reference {
    std::string jansson;
    std::string ulfius;
};

Reference reference_json(FrameView f, uint32_t client, uint32_t server) {
    json_t* o = json_object();
    json_object_set_new(o, "ErrorNumber", json_integer(0));
    json_object_set_new(o, "ErrorMessage", json_string(""));
    json_object_set_new(o, "Type", json_integer(2));
    json_object_set_new(o, "Rank", json_integer(2));
    json_t* value = json_array();
    for (int x = 0; x < f.width; ++x) {
        json_t* col = json_array();
        for (int y = 0; y < f.height; ++y)
            json_array_append_new(
                col, json_integer(f.pixels[size_t(f.height - 1 - y) * size_t(f.width) + size_t(x)]));
        json_array_append_new(value, col);
    }
    json_object_set_new(o, "Value", value);
    json_object_set_new(o, "ClientTransactionID", json_integer(client));
    json_object_set_new(o, "ServerTransactionID", json_integer(server));
    Reference r;
    char* text = json_dumps(o, JSON_COMPACT);
    r.jansson = text;
    free(text);
    struct _u_response response;
    ulfius_init_response(&response);
    EXPECT_EQ(ulfius_set_json_body_response(&response, 200, o), U_OK);
    r.ulfius.assign(static_cast<const char*>(response.binary_body), response.binary_body_length);
    ulfius_clean_response(&response);
    json_decref(o);
    return r;
}

}  // namespace

// Rows (a b), (c d), (e f) leave bottom row first, transposed: e c a f d b.
TEST(AlpacaImage, WireOrderOfBothForms) {
    const uint16_t a = 0x1234, b = 2, c = 3, d = 4, e = 0x1234, f = 65535;
    const std::vector<uint16_t> px{a, b, c, d, e, f};
    const FrameView frame{px.data(), 2, 3};

    ImageBytesStream bin(frame, 0, "", 7, 9);
    const std::string body = drain(bin);
    ASSERT_EQ(body.size(), 44u + 12u);
    const uint32_t header[11] = {1, 0, 7, 9, 44, 8, 8, 2, 2, 3, 0};
    for (size_t i = 0; i < 11; ++i) EXPECT_EQ(u32_at(body, 4 * i), header[i]) << "field " << i;
    const uint16_t order[6] = {e, c, a, f, d, b};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(uint8_t(body[44 + 2 * i]), order[i] & 0xff) << i;
        EXPECT_EQ(uint8_t(body[45 + 2 * i]), order[i] >> 8) << i;
    }
    EXPECT_EQ(uint8_t(body[44]), 0x34);
    EXPECT_EQ(uint8_t(body[45]), 0x12);

    ImageJsonStream json(frame, 0, "", 7, 9);
    EXPECT_EQ(drain(json),
              R"({"ErrorNumber":0,"ErrorMessage":"","Type":2,"Rank":2,)"
              R"("Value":[[4660,3,4660],[65535,4,2]],"ClientTransactionID":7,"ServerTransactionID":9})");
}

TEST(AlpacaImage, FailureForms) {
    const std::vector<uint16_t> px{1, 2};
    const FrameView frame{px.data(), 2, 1};
    ImageBytesStream bin(frame, 1031, "Not connected", 5, 6);
    const std::string body = drain(bin);
    ASSERT_EQ(body.size(), 57u);
    EXPECT_EQ(u32_at(body, 4), 1031u);
    EXPECT_EQ(body.substr(44), "Not connected");

    ImageBytesStream longer(frame, 1280, std::string(300, 'x'), 5, 6);
    EXPECT_EQ(longer.size(), 44u + 255u);

    ImageJsonStream json(frame, 1031, "Not \"connected\"", 5, 4294967295u);
    EXPECT_EQ(drain(json, 3),
              R"({"ErrorNumber":1031,"ErrorMessage":"Not \"connected\"",)"
              R"("ClientTransactionID":5,"ServerTransactionID":4294967295})");
}

// Empty frames: the header alone; "Value" of width empty arrays.
TEST(AlpacaImage, ZeroOrNegativeDimensions) {
    const struct {
        int w, h;
        const char* value;
    } cases[] = {{0, 0, "[]"}, {0, 5, "[]"}, {3, 0, "[[],[],[]]"}, {-1, 4, "[]"}, {2, -3, "[[],[]]"}};
    const uint16_t px = 1;
    for (const auto& c : cases) {
        const FrameView frame{&px, c.w, c.h};
        ImageBytesStream bin(frame, 0, "", 1, 2);
        const std::string body = drain(bin);
        ASSERT_EQ(body.size(), 44u) << c.w << "x" << c.h;
        EXPECT_EQ(u32_at(body, 32), uint32_t(c.w));
        EXPECT_EQ(u32_at(body, 36), uint32_t(c.h));
        ImageJsonStream json(frame, 0, "", 1, 2);
        EXPECT_EQ(drain(json), std::string(R"({"ErrorNumber":0,"ErrorMessage":"","Type":2,"Rank":2,"Value":)") +
                                   c.value + R"(,"ClientTransactionID":1,"ServerTransactionID":2})")
            << c.w << "x" << c.h;
    }
}

// Random pixels: both forms match a straightforward construction, whatever
// the size of the pieces and when read out of order. 640x480 is whole strips
// and tiles; 45x13 has a partial strip and partial tiles both ways.
class AlpacaImageFrames : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(AlpacaImageFrames, StreamsMatchReferenceAtAnyOffset) {
    const auto [w, h] = GetParam();
    std::mt19937 rng(12345);
    std::vector<uint16_t> px(size_t(w) * h);
    for (auto& v : px) v = uint16_t(rng() >> (rng() % 16));  // all digit counts
    const FrameView frame{px.data(), w, h};

    const Reference ref = reference_json(frame, 123456, 4000000000u);
    EXPECT_EQ(ref.jansson, ref.ulfius);
    std::string bin_ref(44, '\0');
    for (int x = 0; x < w; ++x)
        for (int y = 0; y < h; ++y) {
            const uint16_t v = px[size_t(h - 1 - y) * w + size_t(x)];
            bin_ref += char(v & 0xff);
            bin_ref += char(v >> 8);
        }

    for (int kind = 0; kind < 2; ++kind) {
        SCOPED_TRACE(kind == 0 ? "imagebytes" : "json");
        std::unique_ptr<BodyStream> s;
        if (kind == 0)
            s = std::make_unique<ImageBytesStream>(frame, 0, "", 123456, 4000000000u);
        else
            s = std::make_unique<ImageJsonStream>(frame, 0, "", 123456, 4000000000u);
        const std::string full = drain(*s);
        if (kind == 0)
            EXPECT_EQ(full.substr(44), bin_ref.substr(44));
        else
            EXPECT_EQ(full, ref.ulfius);
        for (size_t piece : {size_t(1), size_t(3), size_t(4097), s->block_size()}) EXPECT_EQ(drain(*s, piece), full) << piece;
        // Out of order: odd offsets, backwards, across strip boundaries.
        for (uint64_t off : {full.size() - 1, uint64_t(45), full.size() / 2 + 1, uint64_t(0), uint64_t(43),
                             std::min<uint64_t>(44 + 2 * uint64_t(ColumnStrips::kStripColumns) * h - 1, full.size() - 1), full.size() / 3}) {
            uint8_t buf[7] = {};
            const size_t n = s->read(off, buf, sizeof buf);
            ASSERT_EQ(n, std::min<uint64_t>(sizeof buf, full.size() - off)) << off;
            EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), full.substr(off, n)) << off;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AlpacaImageFrames,
                         testing::Values(std::make_pair(640, 480), std::make_pair(45, 13)));

// Through the framework's stream response: the size it is told and the bytes
// its callback hands out, to the end marker.
TEST(AlpacaImage, StreamResponseCarriesTheBody) {
    // The frame is owned by the stream alone once the request is done.
    auto px = std::make_shared<std::vector<uint16_t>>(std::vector<uint16_t>{1, 2, 3, 4, 5, 6});
    FrameView frame{px->data(), 3, 2, px};
    px.reset();
    const std::string expected =
        R"({"ErrorNumber":0,"ErrorMessage":"","Type":2,"Rank":2,"Value":[[4,1],[5,2],[6,3]],)"
        R"("ClientTransactionID":3,"ServerTransactionID":4})";
    struct _u_response response;
    ulfius_init_response(&response);
    ASSERT_EQ(set_stream_body(&response, 200, std::make_unique<ImageJsonStream>(frame, 0, "", 3, 4)), U_OK);
    frame = FrameView{};
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.stream_size, expected.size());
    std::string got;
    char buf[10];
    for (;;) {
        const ssize_t n = response.stream_callback(response.stream_user_data, got.size(), buf, sizeof buf);
        if (n < 0) {
            EXPECT_EQ(n, U_STREAM_END);
            break;
        }
        got.append(buf, size_t(n));
    }
    EXPECT_EQ(got, expected);
    response.stream_callback_free(response.stream_user_data);
    ulfius_clean_response(&response);
}
