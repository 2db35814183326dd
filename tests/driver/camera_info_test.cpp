// Product-id tables and the parse of the identification answer.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "driver/camera_info.h"
#include "driver/camera_models.h"

namespace {

TEST(CameraModels, OnlyTheOlderCamerasAnswerTheShortLayout) {
    std::set<uint32_t> short_ids = {1026, 1027, 1028, 1041, 1042, 1043, 1044, 1045,
                                    1057, 1058, 1059, 1060, 1073, 1074, 1075, 1076};
    int known = 0;
    for (uint32_t pid = 0; pid <= 0xFFFF; ++pid) {
        const CameraModel* model = find_camera_model(pid);
        known += model != nullptr;
        const bool is_short = info_layout(pid) == InfoLayout::short_layout;
        EXPECT_EQ(is_short, short_ids.count(pid) == 1) << pid;
        if (model && model->camera_type == 1) {
            EXPECT_TRUE(is_short) << pid;
        }
    }
    EXPECT_EQ(known, 63);
    EXPECT_EQ(find_camera_model(3312), nullptr);  // the standalone wheel
}

TEST(CameraModels, TypesAndClassesOfTheTraps) {
    struct { uint32_t pid; int type, cls; } rows[] = {
        {1026, 3, 3}, {1201, 8, 3}, {3113, 22, 7}, {3117, 23, 7}, {3121, 22, 9}, {3138, 24, 10},
        {3152, 22, 11}, {3153, 22, 12}, {3225, 22, 6}, {3229, 23, 6}, {3233, 22, 8}, {3281, 2, 1},
        {3074, 14, 7}, {3075, 9, 4}, {3076, 10, 4},
    };
    for (auto row : rows) {
        EXPECT_EQ(determine_camera_type(row.pid), row.type) << row.pid;
        EXPECT_EQ(determine_camera_class(row.pid), row.cls) << row.pid;
    }
}

TEST(CameraModels, UnknownProductIdLogsBothMessages) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(determine_camera_type(0x1234), 0);
    EXPECT_EQ(determine_camera_class(0x1234), 0);
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_NE(logged.find("determine_camera_type: unknown camera PID: 0x1234\n"), std::string::npos);
    EXPECT_NE(logged.find("determine_camera_class: unknown camera PID: 0x1234\n"), std::string::npos);
}

// A short-layout answer: status, id, flag word, geometry, three texts.
std::vector<uint8_t> short_answer(uint16_t flag_word) {
    std::vector<uint8_t> answer(SHORT_INFO_ANSWER, 0);
    const uint8_t head[] = {0x80, 0x01, 0x02, 0x03, 0x04,
                            static_cast<uint8_t>(flag_word), static_cast<uint8_t>(flag_word >> 8),
                            0x10, 0x05, 0x20, 0x03, 0xD8, 0x0E, 0x3C, 0x0F};
    memcpy(answer.data(), head, sizeof head);
    memcpy(&answer[15], "Desc  \t", 7);
    memcpy(&answer[30], "SER123456789012", 15);  // fills the field: its last byte is lost
    memcpy(&answer[45], "  chip x ", 9);
    return answer;
}

TEST(CameraInfoParse, ShortLayout) {
    CameraInfo info;
    ASSERT_EQ(parse_camera_info(short_answer(0x5A03), 1041, info), 0);
    EXPECT_EQ(info.id, 0x04030201u);
    EXPECT_EQ(info.flags, 0x03);      // low byte of the flag word only
    EXPECT_EQ(info.aux, 0x5);         // its top four bits
    EXPECT_EQ(info.filters, 10);      // bits 0 and 1 set: bits 8..11
    EXPECT_EQ(info.width, 0x0510);
    EXPECT_EQ(info.height, 0x0320);
    EXPECT_EQ(info.pixel_w, 3800);
    EXPECT_EQ(info.pixel_h, 3900);
    EXPECT_STREQ(info.desc, "Desc");
    EXPECT_STREQ(info.ser, "SER12345678901");
    EXPECT_STREQ(info.chip, "  chip x");
    EXPECT_EQ(info.vid, 0x1347);
    EXPECT_EQ(info.pid, 1041);
}

TEST(CameraInfoParse, ShortLayoutFilterCount) {
    struct { uint16_t pid; uint16_t flag_word; uint8_t filters; } rows[] = {
        // type 3: bit 1 → 0, else bit 2 → 6, else 5; bits 8..11 never count
        {1026, 0x0002, 0}, {1026, 0x0006, 0}, {1026, 0x0004, 6}, {1026, 0x0003, 0},
        {1026, 0x0000, 5}, {1026, 0x0F01, 5},
        // the others: bits 0 and 1 → bits 8..11, else bit 0 → 5, else bit 1 → 6, else 0
        {1041, 0x0F03, 15}, {1041, 0xF003, 0}, {1041, 0x0701, 5}, {1041, 0x0702, 6},
        {1041, 0x0700, 0}, {1027, 0x0303, 3}, {1057, 0x0203, 2}, {1076, 0x0001, 5},
    };
    for (auto row : rows) {
        CameraInfo info;
        ASSERT_EQ(parse_camera_info(short_answer(row.flag_word), row.pid, info), 0);
        EXPECT_EQ(info.filters, row.filters) << row.pid << " " << std::hex << row.flag_word;
    }
}

TEST(CameraInfoParse, LongLayoutCopiesBytes7To61) {
    std::array<uint8_t, LONG_INFO_ANSWER> answer;
    for (size_t i = 0; i < answer.size(); ++i)
        answer[i] = static_cast<uint8_t>('A' + i % 26);
    answer[0] = 0x80;
    answer[5] = 0xA5;
    answer[6] = 7;
    // Each text ends in a NUL, so that nothing is trimmed or cut.
    answer[31] = answer[46] = answer[61] = 0;

    for (uint16_t pid : {uint16_t{1029}, uint16_t{3136}, uint16_t{0x1234}}) {
        CameraInfo info;
        ASSERT_EQ(parse_camera_info(answer, pid, info), 0);
        EXPECT_EQ(info.id, answer[1] | answer[2] << 8 | answer[3] << 16 | static_cast<uint32_t>(answer[4]) << 24);
        EXPECT_EQ(info.flags, 0x00A5);
        EXPECT_EQ(info.filters, 7);
        const auto* record = reinterpret_cast<const uint8_t*>(&info);
        EXPECT_EQ(memcmp(record + 7, answer.data() + 7, 55), 0) << pid;
        EXPECT_EQ(info.vid, 0x1347);
        EXPECT_EQ(info.pid, pid);
    }
}

TEST(CameraInfoParse, TextsAreCutAtTheirLastByteAndTrimmed) {
    std::array<uint8_t, LONG_INFO_ANSWER> answer{};
    memcpy(&answer[17], "0123456789ABCDE", 15);
    memcpy(&answer[32], "a b\r\n\v\f  \t    ", 15);
    memcpy(&answer[47], "               ", 15);
    CameraInfo info;
    ASSERT_EQ(parse_camera_info(answer, 3120, info), 0);
    EXPECT_STREQ(info.desc, "0123456789ABCD");
    EXPECT_STREQ(info.ser, "a b");
    EXPECT_STREQ(info.chip, "");
}

TEST(CameraInfoParse, ShortAnswerFailsAndLeavesOnlyTheIds) {
    const struct { uint16_t pid; size_t length; } rows[] = {
        {1041, SHORT_INFO_ANSWER - 1}, {1029, LONG_INFO_ANSWER - 1}, {1029, SHORT_INFO_ANSWER}, {3120, 0},
    };
    for (auto row : rows) {
        std::vector<uint8_t> answer(row.length, 0xEE);
        CameraInfo info;
        memset(&info, 0x55, sizeof info);
        EXPECT_EQ(parse_camera_info(answer, row.pid, info), -1);
        CameraInfo expected{};
        expected.vid = 0x1347;
        expected.pid = row.pid;
        EXPECT_EQ(memcmp(&info, &expected, sizeof info), 0) << row.pid << " " << row.length;
    }
}

}  // namespace
