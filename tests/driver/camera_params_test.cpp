// gbp and gip: every index of both tables for a CMOS camera and for classes
// 2 to 7, the rules inside the cells, and the cameras without tables.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "driver/camera_params.h"
#include "tests/driver/camera_fixture.h"

namespace {

// One camera per column of the tables: CMOS (type 22, class 8), class 2
// (type 18), class 3 (type 7), class 4 (type 9), class 6 (type 11), class 7
// (type 14).
const uint16_t COLUMN_PIDS[] = {3232, 1041, 1029, 3075, 3216, 3074};

// The state every field has after open.
std::unique_ptr<CameraRecord> plain(uint16_t pid) { return make_camera(pid); }

// Every field a rule looks at turned on.
std::unique_ptr<CameraRecord> rich(uint16_t pid) {
    auto camera = make_camera(pid);
    camera->state = DeviceState::held;
    camera->info.flags = 0xFF;
    camera->info.filters = 5;
    set_text(camera->info.chip, "SENSOR-K");
    set_text(camera->info.desc, "CAMERA C");
    camera->extended_fw = true;
    camera->fixed_read_mode = true;
    camera->bothgains = true;
    camera->overscan = true;
    camera->hw_bin = {2, 2, true};
    camera->bin_x = 2;
    camera->bin_y = 3;
    camera->bin_sum = true;
    camera->read_mode = 1;
    camera->ver128_hi = 1;
    camera->ver128_lo = 20;
    camera->ver129_hi = 3;
    camera->ver130 = 4;
    camera->ver131 = 20;
    return camera;
}

// gbp as one character: '0', '1', or 'x' for a failure (value left 0).
char bool_param(const CameraRecord& camera, int index) {
    uint8_t value = 9;
    const int result = gbp(&camera, index, &value);
    if (result == -1)
        return value == 0 ? 'x' : '?';
    return result == 0 && value <= 1 ? static_cast<char>('0' + value) : '?';
}

constexpr int32_t X = INT_MIN;  // gip fails (value left -1)

int32_t int_param(const CameraRecord& camera, int index) {
    int32_t value = 9;
    const int result = gip(&camera, index, &value);
    if (result == -1)
        return value == -1 ? X : -999;
    return value;
}

struct BoolRow {
    int index;
    const char* plain;  // the columns of COLUMN_PIDS, for plain and rich records
    const char* rich;
};

TEST(Gbp, EveryIndexOfEveryColumn) {
    const BoolRow rows[] = {
        {0, "000000", "111111"},       {1, "101111", "111111"},    {2, "011111", "011000"},
        {3, "001001", "001001"},       {4, "101011", "101011"},    {5, "010010", "010010"},
        {6, "000010", "101011"},       {7, "010110", "010110"},    {8, "001001", "001001"},
        {9, "000000", "001000"},       {10, "101111", "001111"},   {11, "x0x00x", "x0x00x"},
        {12, "101011", "101011"},      {13, "101111", "101111"},   {14, "111111", "111111"},
        {15, "000000", "100001"},      {16, "000000", "100000"},   {17, "000000", "100000"},
        {127, "xxxxxx", "xxxxxx"},     {128, "000000", "111111"},  {129, "000000", "000000"},
        {130, "000000", "000000"},     {131, "11x001", "11x001"},  {132, "11x111", "11x111"},
        {256, "000000", "000000"},     {1024, "100111", "100111"},
        // not in the table
        {-1, "xxxxxx", "xxxxxx"},      {18, "xxxxxx", "xxxxxx"},   {126, "xxxxxx", "xxxxxx"},
        {133, "xxxxxx", "xxxxxx"},     {1023, "xxxxxx", "xxxxxx"}, {INT_MAX, "xxxxxx", "xxxxxx"},
    };
    for (const BoolRow& row : rows) {
        std::string got_plain, got_rich;
        for (uint16_t pid : COLUMN_PIDS) {
            got_plain += bool_param(*plain(pid), row.index);
            got_rich += bool_param(*rich(pid), row.index);
        }
        EXPECT_EQ(got_plain, row.plain) << "index " << row.index;
        EXPECT_EQ(got_rich, row.rich) << "index " << row.index;
    }
}

TEST(Gbp, RulesInsideCells) {
    struct Case {
        uint16_t pid;
        void (*set)(CameraRecord&);
        int index;
        char expected;
    };
    auto none = [](CameraRecord&) {};
    auto both = [](CameraRecord& c) { c.bothgains = true; };
    const Case cases[] = {
        // class 10: sub-frame and readout modes unless both gains are delivered
        {3136, none, 1, '1'}, {3136, both, 1, '0'}, {3136, none, 2, '1'}, {3136, both, 2, '0'},
        {3136, none, 3, '1'}, {3136, none, 9, '1'}, {3136, none, 131, '0'}, {3136, none, 132, '0'},
        {3136, [](CameraRecord& c) { c.ver131 = 11; }, 16, '0'},
        {3136, [](CameraRecord& c) { c.ver131 = 12; }, 16, '1'},
        {3120, [](CameraRecord& c) { c.ver131 = 5; }, 16, '0'},
        {3120, [](CameraRecord& c) { c.ver131 = 6; }, 16, '1'},
        {3117, none, 16, '1'}, {3153, none, 3, '0'}, {3152, none, 3, '1'}, {3152, none, 8, '1'},
        // CMOS cameras of classes 6 and 7 answer from the CMOS table
        {3225, none, 3, '0'}, {3225, none, 5, '1'}, {3225, none, 7, '1'}, {3225, none, 8, '0'},
        {3225, none, 4, '1'}, {3225, none, 11, 'x'}, {3229, none, 16, '1'},
        {3113, none, 3, '1'}, {3113, none, 7, '0'}, {3113, none, 10, '1'},
        {3113, [](CameraRecord& c) { c.ver131 = 6; }, 16, '1'},
        {3113, [](CameraRecord& c) { c.info.flags = 0x08; }, 15, '1'},
        {3113, [](CameraRecord& c) { c.info.flags = 0x04; }, 15, '1'},
        {3113, [](CameraRecord& c) { c.info.flags = 0xF3; }, 15, '0'},
        // class 3: pre-flash, feature 8, index 14
        {1028, [](CameraRecord& c) { c.info.flags = 0x20; }, 9, '1'},
        {1027, [](CameraRecord& c) { c.info.flags = 0xDF; }, 9, '0'},
        {1026, [](CameraRecord& c) { c.info.flags = 0xFF; }, 9, '0'},
        {1201, [](CameraRecord& c) { c.info.flags = 0x02; }, 9, '1'},
        {1026, none, 8, '0'}, {1028, none, 8, '1'},
        {1027, none, 14, '1'}, {1028, none, 14, '0'}, {1030, none, 14, '0'},
        {1029, [](CameraRecord& c) { set_text(c.info.desc, "CAMERA-C"); }, 128, '1'},
        {1029, [](CameraRecord& c) { set_text(c.info.desc, "C CAMERA"); }, 128, '0'},
        // classes 4 and 5
        {3072, none, 5, '1'}, {3075, none, 5, '0'},
        // class 2: colour from the chip name, Bayer offsets by type
        {1041, [](CameraRecord& c) { set_text(c.info.chip, "ABC-K"); }, 128, '1'},
        {1041, [](CameraRecord& c) { set_text(c.info.chip, "ABC-Q"); }, 128, '0'},
        {1042, [](CameraRecord& c) { set_text(c.info.chip, "ABC-Q"); }, 128, '1'},
        {1042, [](CameraRecord& c) { set_text(c.info.chip, "ABC-K"); }, 128, '0'},
        {1042, [](CameraRecord& c) { set_text(c.info.desc, "Q"); }, 128, '0'},
        {1045, none, 131, '0'}, {1045, none, 132, '0'}, {1042, none, 131, '1'}, {1042, none, 132, '0'},
        {1043, none, 131, '1'}, {1043, none, 132, '1'},
        {1041, [](CameraRecord& c) { c.extended_fw = true; }, 1, '1'},
    };
    for (const Case& c : cases) {
        auto camera = make_camera(c.pid);
        c.set(*camera);
        EXPECT_EQ(bool_param(*camera, c.index), c.expected) << "pid " << c.pid << " index " << c.index;
    }
}

struct IntRow {
    int index;
    int32_t plain[6];  // the columns of COLUMN_PIDS
    int32_t rich[6];
};

TEST(Gip, EveryIndexOfEveryColumn) {
    const IntRow rows[] = {
        {0, {77, 77, 77, 77, 77, 77}, {77, 77, 77, 77, 77, 77}},
        {1, {976, 1000, 1000, 1000, 1000, 1000}, {976, 1000, 1000, 1000, 1000, 1000}},
        {2, {800, 800, 800, 800, 800, 800}, {800, 800, 800, 800, 800, 800}},
        {3, {3800, 3800, 3800, 3800, 3800, 3800}, {3800, 3800, 3800, 3800, 3800, 3800}},
        {4, {3900, 3900, 3900, 3900, 3900, 3900}, {3900, 3900, 3900, 3900, 3900, 3900}},
        {5, {4, 1, 4, 4, 4, 4}, {2, 1, 4, 4, 4, 4}},
        {6, {4, 1, 4, 4, 4, 4}, {2, 1, 4, 4, 4, 4}},
        {7, {0, 2, 2, 2, 4, 2}, {0, 2, 2, 0, 0, 0}},
        {8, {0, 0, 0, 0, 0, 0}, {5, 0, 5, 0, 5, 5}},
        {9, {156, 125, 100000, 125, 125, 125}, {156, 125, 200000, 125, 125, 125}},
        {10, {429496729, X, X, X, X, X}, {429496729, X, X, X, X, X}},
        {11, {X, 32767, X, 32767, 32767, 32767}, {X, 32767, X, 32767, 32767, 32767}},
        {12, {0, 1, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0}},
        {13, {0, 0, 1, 0, 0, 0}, {0, 0, 1, 0, 0, 0}},
        {14, {X, X, 1, X, X, 100}, {X, X, 2, X, X, 100}},
        {15, {X, 1, X, X, 1, X}, {X, 1, X, X, 1, X}},
        {16, {4030, X, X, 240, 240, 240}, {4030, X, X, 240, 240, 240}},
        {17, {65535, 65535, 65535, 254, 254, 254}, {65535, 65535, 65535, 24564, 24564, 24564}},
        {128, {0, 0, 0, 0, 0, 0}, {1, 1, 1, 1, 1, 1}},
        {129, {0, 0, 0, 0, 0, 0}, {20, 20, 20, 20, 20, 20}},
        {130, {0, 0, 0, 0, 0, 0}, {3, 3, 3, 3, 3, 3}},
        {134, {0, X, 0, 0, 0, 0}, {4, X, 4, 4, 4, 4}},
        {135, {0, X, 0, 0, 0, 0}, {20, X, 20, 20, 20, 20}},
        {136, {0, X, 0, 0, 0, 0}, {0, X, 0, 0, 0, 0}},
        // not in the table
        {-5, {X, X, X, X, X, X}, {X, X, X, X, X, X}},
        {18, {X, X, X, X, X, X}, {X, X, X, X, X, X}},
        {127, {X, X, X, X, X, X}, {X, X, X, X, X, X}},
        {131, {X, X, X, X, X, X}, {X, X, X, X, X, X}},
        {137, {X, X, X, X, X, X}, {X, X, X, X, X, X}},
        {1024, {X, X, X, X, X, X}, {X, X, X, X, X, X}},
    };
    for (const IntRow& row : rows) {
        for (int column = 0; column < 6; ++column) {
            const uint16_t pid = COLUMN_PIDS[column];
            EXPECT_EQ(int_param(*plain(pid), row.index), row.plain[column]) << "pid " << pid << " index " << row.index;
            EXPECT_EQ(int_param(*rich(pid), row.index), row.rich[column]) << "pid " << pid << " index " << row.index;
        }
    }
}

void bins_2x3(CameraRecord& c) {
    c.bin_x = 2;
    c.bin_y = 3;
}

TEST(Gip, RulesInsideCells) {
    struct Case {
        uint16_t pid;
        uint16_t width;
        void (*set)(CameraRecord&);
        int index;
        int32_t expected;
    };
    auto none = [](CameraRecord&) {};
    auto both = [](CameraRecord& c) { c.bothgains = true; };
    const Case cases[] = {
        // width less the margin columns
        {3152, 11712, none, 1, 11664}, {3153, 9000, none, 1, 8952}, {3121, 6276, none, 1, 6252},
        {3136, 9600, none, 1, 9536}, {3136, 9600, [](CameraRecord& c) { c.overscan = true; }, 1, 9600},
        {3113, 8336, none, 1, 8336}, {3232, 20, none, 1, 0},
        {3136, 9600, both, 2, 1600}, {3136, 9600, none, 2, 800}, {3120, 6276, both, 2, 800},
        // readout modes
        {3136, 9600, none, 7, 4}, {3136, 9600, both, 7, 1}, {3117, 1000, none, 7, 0}, {1201, 1000, none, 7, 3},
        {3072, 1000, [](CameraRecord& c) { c.ver128_lo = 2; c.ver131 = 2; }, 7, 4},
        {3072, 1000, [](CameraRecord& c) { c.ver128_lo = 2; c.ver131 = 1; }, 7, 2},
        {3074, 1000, [](CameraRecord& c) { c.ver128_lo = 2; c.ver131 = 2; }, 7, 4},
        {3216, 1000, [](CameraRecord& c) { c.fixed_read_mode = true; }, 7, 0},
        // shortest exposure: by sensor variant for the CMOS cameras
        {3113, 8336, none, 9, 45}, {3113, 8000, none, 9, 49}, {3225, 8336, none, 9, 45},
        {3120, 6276, none, 9, 139}, {3232, 6000, none, 9, 156},
        {3152, 11712, none, 9, 164}, {3153, 9000, none, 9, 183}, {3136, 9600, none, 9, 21},
        // class 3 by type and flag bits 0, 2 and 6
        {1028, 1000, none, 9, 100000}, {1027, 1000, [](CameraRecord& c) { c.info.flags = 0x04; }, 9, 250000},
        {1028, 1000, [](CameraRecord& c) { c.info.flags = 0x44; }, 9, 200000},
        {1028, 1000, [](CameraRecord& c) { c.info.flags = 0x41; }, 9, 100000},
        {1026, 1000, none, 9, 250000}, {1026, 1000, [](CameraRecord& c) { c.info.flags = 0x01; }, 9, 250000},
        {1030, 1000, [](CameraRecord& c) { c.info.flags = 0x01; }, 9, 200000},
        {3136, 9600, none, 10, 88648124}, {3117, 1000, none, 10, 429496729},
        {3136, 9600, both, 13, 1}, {3136, 9600, none, 13, 0}, {1201, 1000, none, 13, 2},
        // feature 8 maximum level
        {3225, 1000, none, 14, X}, {3113, 1000, none, 14, 100}, {3136, 9600, none, 14, 100},
        {1030, 1000, [](CameraRecord& c) { c.info.flags = 0x08; }, 14, 2},
        {1201, 1000, [](CameraRecord& c) { c.info.flags = 0x08; }, 14, 2},
        {1028, 1000, [](CameraRecord& c) { c.info.flags = 0x08; }, 14, 1},
        {3072, 1000, none, 15, 1},
        {3117, 1000, none, 16, 1957}, {3229, 1000, none, 16, 1957}, {3225, 1000, none, 16, 4030},
        {3136, 9600, none, 16, X},
        // maximum ADU
        {3136, 9600, none, 17, 65535}, {3136, 9600, [](CameraRecord& c) { bins_2x3(c); c.bothgains = true; }, 17, 24570},
        {3136, 9600, [](CameraRecord& c) { bins_2x3(c); c.read_mode = 2; }, 17, 24570},
        {3136, 9600, [](CameraRecord& c) { bins_2x3(c); c.read_mode = 3; }, 17, 65535},
        {3113, 8336, bins_2x3, 17, 4095},
        {3113, 8336, [](CameraRecord& c) { bins_2x3(c); c.bin_sum = true; }, 17, 24570},
        {3113, 8000, bins_2x3, 17, 16383},
        {3113, 8000, [](CameraRecord& c) { c.bin_x = c.bin_y = 2; c.bin_sum = true; }, 17, 65532},
        {3225, 8000, [](CameraRecord& c) { bins_2x3(c); c.bin_sum = true; }, 17, 65535},
        {3113, 8000, [](CameraRecord& c) {  // bins counted in hardware
             bins_2x3(c); c.bin_sum = true; c.hw_bin = {2, 1, true}; c.ver128_lo = 3;
         }, 17, 32766},
        {3120, 6276, [](CameraRecord& c) { bins_2x3(c); c.bin_sum = true; }, 17, 65535},
        {3072, 1000, [](CameraRecord& c) { bins_2x3(c); c.read_mode = 2; }, 17, 1524},
        {3072, 1000, [](CameraRecord& c) { bins_2x3(c); c.read_mode = 1; }, 17, 24564},
        {3076, 1000, [](CameraRecord& c) { c.fixed_read_mode = true; }, 17, 4094},
        {3216, 1000, [](CameraRecord& c) { c.read_mode = 2; }, 17, 4094},
        {3074, 1000, [](CameraRecord& c) { c.read_mode = 0; c.fixed_read_mode = true; }, 17, 254},
    };
    for (const Case& c : cases) {
        auto camera = make_camera(c.pid, c.width);
        c.set(*camera);
        EXPECT_EQ(int_param(*camera, c.index), c.expected) << "pid " << c.pid << " index " << c.index;
    }
}

TEST(Params, CamerasWithoutTablesFailEveryIndex) {
    // class 1 (types 1 and 2), an unknown product id (class 0), and a
    // non-CMOS type with a class beyond the tables
    std::vector<std::unique_ptr<CameraRecord>> cameras;
    cameras.push_back(make_camera(1057));
    cameras.push_back(make_camera(3280));
    testing::internal::CaptureStderr();
    cameras.push_back(make_camera(0x1234));
    testing::internal::GetCapturedStderr();
    cameras.push_back(make_camera(3074));
    cameras.back()->camera_class = 8;
    for (const auto& camera : cameras)
        for (int index = -2; index <= 1025; ++index) {
            EXPECT_EQ(bool_param(*camera, index), 'x') << camera->pid << " " << index;
            EXPECT_EQ(int_param(*camera, index), X) << camera->pid << " " << index;
        }
}

TEST(Params, MissingRecordOrValue) {
    auto camera = make_camera(3120);
    uint8_t flag = 7;
    int32_t number = 7;
    EXPECT_EQ(gbp(nullptr, 0, &flag), -1);
    EXPECT_EQ(gip(nullptr, 0, &number), -1);
    EXPECT_EQ(gbp(camera.get(), 0, nullptr), -1);
    EXPECT_EQ(gip(camera.get(), 0, nullptr), -1);
}

TEST(HwBinning, CapableCameras) {
    struct { uint16_t pid; bool enabled; uint16_t ver128_lo; bool capable; } rows[] = {
        {3136, true, 6, false}, {3136, true, 7, true}, {3136, false, 7, false},
        {3138, true, 99, false},
        {3120, true, 2, false}, {3120, true, 3, true}, {3113, true, 3, true}, {3120, false, 3, false},
        {3117, true, 0, true}, {3229, true, 0, true}, {3117, false, 0, false},
        {1029, true, 99, false}, {3216, true, 99, false},
    };
    for (auto row : rows) {
        auto camera = make_camera(row.pid);
        camera->hw_bin.enabled = row.enabled;
        camera->ver128_lo = row.ver128_lo;
        EXPECT_EQ(hw_binning_capable(*camera), row.capable) << row.pid;
    }
}

TEST(SensorVariant, OnlyCmosCamerasHaveOne) {
    EXPECT_EQ(sensor_variant(14, 7, 8336), 0u);
    EXPECT_EQ(sensor_variant(2, 1, 6276), 0u);
    EXPECT_EQ(sensor_variant(22, 0, 6276), 0u);
}

}  // namespace
