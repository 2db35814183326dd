// Standalone wheels: the identification answer and the request of a move.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/wheel.h"

namespace {

std::vector<uint8_t> wheel_answer() {
    std::vector<uint8_t> answer(WHEEL_INFO_ANSWER, 0);
    const uint8_t head[] = {0x80, 0x78, 0x56, 0x34, 0x12, 5, 7, 0xAB, 0xCD};
    memcpy(answer.data(), head, sizeof head);
    memcpy(&answer[9], "Double wheel \t  ", 16);
    memcpy(&answer[25], "SN-0123456789ABC", 16);
    return answer;
}

TEST(WheelInfoParse, FillsTheRecord) {
    WheelInfo info;
    memset(&info, 0x55, sizeof info);
    ASSERT_EQ(parse_wheel_info(wheel_answer(), info), 0);
    EXPECT_EQ(info.id, 0x12345678u);
    EXPECT_EQ(info.filters, 5);
    EXPECT_EQ(info.filters2, 7);
    EXPECT_EQ(info.reserved[0], 0xAB);
    EXPECT_EQ(info.reserved[1], 0xCD);
    EXPECT_STREQ(info.desc, "Double wheel");
    EXPECT_STREQ(info.ser, "SN-0123456789AB");  // byte 39 is always NUL
    EXPECT_EQ(info.vid, 0);                      // left for the device descriptor
    EXPECT_EQ(info.pid, 0);
}

TEST(WheelInfoParse, WrongLengthLeavesTheRecordZeroed) {
    for (size_t length : {size_t{0}, size_t{1}, size_t{40}, size_t{42}, size_t{64}}) {
        std::vector<uint8_t> answer = wheel_answer();
        answer.resize(length, 0x80);
        WheelInfo info;
        memset(&info, 0x55, sizeof info);
        EXPECT_EQ(parse_wheel_info(answer, info), -1) << length;
        const WheelInfo zero{};
        EXPECT_EQ(memcmp(&info, &zero, sizeof info), 0) << length;
    }
}

TEST(WheelPosition, SplitsOverBothWheels) {
    struct { uint8_t filters, filters2; uint32_t position; int result; uint8_t a, b; } rows[] = {
        {5, 7, 4, 0, 4, 0}, {5, 7, 5, 0, 0, 1}, {5, 7, 11, 0, 0, 7}, {5, 7, 0, 0, 0, 0},
        // the counts decide the split
        {8, 7, 5, 0, 5, 0}, {3, 7, 5, 0, 0, 3},
        // a single wheel takes the position as it is
        {5, 0, 3, 0, 3, 0}, {5, 0, 9, 0, 9, 0}, {5, 0, 255, 0, 255, 0}, {0, 0, 0, 0, 0, 0},
        {5, 7, 259, 0, 0, 255},
        // positions no request byte can carry
        {5, 0, 256, -1, 0, 0}, {5, 7, 260, -1, 0, 0}, {0, 0, 0xFFFFFFFF, -1, 0, 0},
        {255, 255, 0xFFFFFFFF, -1, 0, 0},
    };
    for (auto row : rows) {
        std::array<uint8_t, 3> request = {0xEE, 0xEE, 0xEE};
        EXPECT_EQ(wheel_position_request(row.filters, row.filters2, row.position, request), row.result)
            << row.position;
        const std::array<uint8_t, 3> expected =
            row.result == 0 ? std::array<uint8_t, 3>{0x11, row.a, row.b} : std::array<uint8_t, 3>{0xEE, 0xEE, 0xEE};
        EXPECT_EQ(request, expected) << row.position;
    }
}

}  // namespace
