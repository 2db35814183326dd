// The camera operations on virtual cameras: conversions and clamps, the
// command bytes of each class (a wrong byte leaves the virtual camera's
// state untouched), the state the record keeps, and bad answers.
#include <chrono>
#include <cmath>
#include <thread>

#include "driver/camera_open.h"
#include "driver/camera_ops.h"
#include "tests/driver/driver_box.h"

namespace {

class CameraOps : public DriverBox {
protected:
    // A camera plugged with `options` and opened; the record stays valid
    // for the test.
    CameraRecord& plug(const std::string& pid_and_options) {
        const std::string node = run("plug camera " + pid_and_options);
        records.push_back(std::make_unique<CameraRecord>());
        EXPECT_EQ(open_camera(node.c_str(), *records.back()), 0);
        nodes[records.back().get()] = node;
        return *records.back();
    }

    // The virtual camera's state, as of now.
    sim::CameraState state(const CameraRecord& camera) {
        auto dev = device(nodes[&camera]);
        std::lock_guard lock(dev->mutex);
        return dev->camera->state();
    }

    uint64_t commands(const CameraRecord& camera) { return device(nodes[&camera])->commands_received.load(); }

    float value(CameraRecord& camera, int index, int expected_result = 0) {
        float v = 123;
        EXPECT_EQ(wire_status(get_value(camera, index, v)), expected_result) << "index " << index;
        return v;
    }

    std::vector<std::unique_ptr<CameraRecord>> records;
    std::map<const CameraRecord*, std::string> nodes;
};

TEST_F(CameraOps, SetTemperatureConvertsAndClampsPerCamera) {
    struct Case {
        const char* pid;
        double celsius;
        int result;  // as the wire carries it
        int raw;     // -1: nothing reaches the camera
    };
    const Case cases[] = {
        {"3120", -100, 0, 0},      {"3120", 60, 0, 0xFFFF},   {"3120", 0, 0, 39047},  {"3120", -20, 0, 29945},
        {"1029", -20, 0, 29945},   {"1201", 25.5, 0, 50652},  {"1026", -10, 0, 956},  {"1026", -100, 0, 0},
        {"1026", 6000, 0, 0xFFFF}, {"1027", -10, 0, 8624},    {"1028", 30, 0, 13175}, {"3216", -15, 0, 32220},
        {"1057", -15, 0, 32220},   {"3280", -15, 0, 32220},   {"1042", -10, 4, -1},   {"3075", -10, 4, -1},
        {"3089", -10, 4, -1},      {"3120", NAN, -1, -1},
    };
    for (const Case& c : cases) {
        CameraRecord& camera = plug(c.pid);
        const uint64_t before = commands(camera);
        EXPECT_EQ(wire_status(set_temperature(camera, c.celsius)), c.result) << c.pid << " " << c.celsius;
        if (c.raw < 0) {
            EXPECT_EQ(commands(camera), before) << c.pid;
            continue;
        }
        const sim::CameraState s = state(camera);
        ASSERT_TRUE(s.set_point) << c.pid << " " << c.celsius;
        EXPECT_EQ(s.set_point_raw, c.raw) << c.pid << " " << c.celsius;
    }
}

TEST_F(CameraOps, CoolerMovesTheSensorTowardTheSetPointAndReportsItsPower) {
    CameraRecord& camera = plug("1201 cool_rate=400000");
    EXPECT_NEAR(value(camera, 0), 20.0, 0.01);
    EXPECT_EQ(value(camera, 11), -1.0f);  // no drive period before regulation
    ASSERT_EQ(set_temperature(camera, -10), OK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::fabs(value(camera, 0) + 10) > 0.01 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NEAR(value(camera, 0), -10.0, 0.01);
    // Holding 30 degrees below ambient of the 45 the cooler can.
    EXPECT_NEAR(value(camera, 11), 30.0 / 45.0, 0.002);
    EXPECT_NEAR(value(camera, 2), 21.5 + 3 * 30.0 / 45.0, 0.01);  // the heat sink warms
    // Beyond its reach the cooler runs flat out and stops at its limit.
    ASSERT_EQ(set_temperature(camera, -100), OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_NEAR(value(camera, 0), 20.0 - 45.0, 0.01);
    EXPECT_NEAR(value(camera, 11), 1.0, 0.001);

    CameraRecord& dual = plug("1026 cool_rate=0");
    float power = 5;
    EXPECT_EQ(get_cooler_power_dual(dual, power), OK);
    EXPECT_EQ(power, -1.0f);  // both times 0
    ASSERT_EQ(set_temperature(dual, -20), OK);
    EXPECT_EQ(get_cooler_power_dual(dual, power), OK);
    EXPECT_EQ(power, 1.0f);  // pulling down: on time only
    EXPECT_EQ(value(dual, 11, 2), 0.0f);  // dual-sample cameras read it with get_cooler_power_dual
    EXPECT_EQ(get_cooler_power_dual(camera, power), NOT_AVAILABLE);
    EXPECT_EQ(power, -1.0f);
}

TEST_F(CameraOps, ReadingsConvertByClassAndUnknownIndicesGiveTwo) {
    // Every virtual camera reads 20 °C, a 12 V supply and 1.5 electrons per ADU.
    struct Case {
        const char* pid;
        int index;
        int result;
        double expected;
        double tolerance;
    };
    const Case cases[] = {
        {"1201", 0, 0, 20, 0.002},   {"1201", 3, 0, 21.5, 0.002},  {"1201", 10, 0, 12, 0.0003},
        {"1201", 20, 0, 1.5, 0},     {"1201", 128, 0, 0x0101, 0},  {"1201", 7, 2, 0, 0},
        {"1201", 255, 2, 0, 0},      {"1201", -1, 2, 0, 0},        {"1026", 0, 0, 20, 0.05},
        {"1026", 10, 0, 12, 0.005},  {"1026", 20, 0, 1.5, 0},      {"1027", 1, 0, 21.5, 0.005},
        {"1027", 10, 0, 12, 0.001},  {"1042", 0, 0, 20, 0.04},     {"1042", 10, 0, 12, 0.005},
        {"1042", 255, 0, 1, 0},      {"1042", 1, 2, 0, 0},         {"1042", 20, 2, 0, 0},
        {"1042", 11, 2, 0, 0},       {"1042", 130, 0, 0, 0},       {"1042 flags=0x02", 0, 0, 20, 0},
        {"3075", 0, 0, 20, 0},       {"3075", 20, 0, 1.5, 0},      {"3075", 10, 2, 0, 0},
        {"3075", 11, 2, 0, 0},       {"3075", 1, 2, 0, 0},         {"3216", 2, 0, 21.5, 0.002},
        {"3216", 10, 0, 12, 0.0003}, {"1057", 0, 0, 20, 0.002},    {"3120", 131, 0, 7, 0},
    };
    for (const Case& c : cases) {
        CameraRecord& camera = plug(c.pid);
        camera.temp_format = (camera.info.flags & 0x02) && camera.camera_class == 2;
        const float v = value(camera, c.index, c.result);
        EXPECT_NEAR(v, c.expected, c.tolerance) << c.pid << " index " << c.index;
    }
}

TEST_F(CameraOps, BadAnswersAndBusyCamerasLeaveTheValueZero) {
    CameraRecord& camera = plug("3120");
    run("fault " + nodes[&camera] + " status 0x0f 0x81 count=1");
    EXPECT_EQ(value(camera, 0, 2), 0.0f);
    camera.frame_lock.lock();
    EXPECT_EQ(value(camera, 0, -2), 0.0f);
    camera.frame_lock.unlock();
    CameraRecord& small = plug("1042");
    run("fault " + nodes[&small] + " ioctl command count=1");
    EXPECT_EQ(value(small, 0, 1), 0.0f);
}

TEST_F(CameraOps, ElectronsPerAduOfTheCmosTypesFollowGainAndBinning) {
    CameraRecord& t22 = plug("3120");
    EXPECT_NEAR(value(t22, 20), 0.78, 1e-6);
    ASSERT_EQ(set_gain(t22, 2000), OK);
    EXPECT_NEAR(value(t22, 20), 0.78 * (1 - 2000.0 / 4095), 1e-6);
    ASSERT_EQ(set_gain(t22, 5000), OK);
    EXPECT_EQ(t22.gain, 4030u);
    EXPECT_EQ(state(t22).gain, 4030);
    EXPECT_NEAR(value(t22, 20), 0.78 * (1 - 4030.0 / 4095), 1e-6);
    t22.bin_sum = true;
    t22.bin_x = 2;
    t22.bin_y = 3;
    EXPECT_NEAR(value(t22, 20), 6 * 0.78 * (1 - 4030.0 / 4095), 1e-5);
    t22.hw_bin = {2, 2, true};
    EXPECT_NEAR(value(t22, 20), 4 * 0.78 * (1 - 4030.0 / 4095), 1e-5);

    CameraRecord& class7 = plug("3113");
    EXPECT_NEAR(value(class7, 20), 3.1, 1e-6);
    CameraRecord& t23 = plug("3117");
    ASSERT_EQ(set_gain(t23, 3000), OK);
    EXPECT_EQ(t23.gain, 1957u);
    EXPECT_NEAR(value(t23, 20), 4.53 * (1 - 1957.0 / 2048), 1e-6);
    CameraRecord& t24 = plug("3136");
    EXPECT_NEAR(value(t24, 20), 0.85, 1e-6);
    t24.read_mode = 2;
    EXPECT_NEAR(value(t24, 20), 19.5, 1e-6);
    EXPECT_EQ(set_gain(t24, 10), NOT_AVAILABLE);
}

TEST_F(CameraOps, GainGoesOnlyToNewInterfaceCamerasAndIsKeptOnlyWhenTaken) {
    CameraRecord& ccd = plug("1029");
    const uint64_t before = commands(ccd);
    EXPECT_EQ(set_gain(ccd, 10), NOT_AVAILABLE);
    EXPECT_EQ(commands(ccd), before);
    CameraRecord& class6 = plug("3216");
    EXPECT_EQ(set_gain(class6, 200), OK);
    EXPECT_EQ(class6.gain, 200u);
    EXPECT_EQ(set_gain(class6, 300), DriverResult::device_status(0x81));  // beyond what the camera takes
    EXPECT_EQ(class6.gain, 200u);
    EXPECT_EQ(state(class6).gain, 200);
}

TEST_F(CameraOps, BinningByCameraKind) {
    // CMOS with hardware binning: 1x1 and 2x2 only, sent when they change.
    CameraRecord& cmos = plug("3120");
    cmos.hw_bin.enabled = true;
    cmos.ver128_lo = 8;
    cmos.bin_sum = true;
    cmos.bin_saturate = true;
    uint64_t before = commands(cmos);
    EXPECT_EQ(set_binning(cmos, 3, 3), REFUSED);
    EXPECT_EQ(set_binning(cmos, 1, 2), REFUSED);
    EXPECT_EQ(commands(cmos), before);
    EXPECT_EQ(set_binning(cmos, 2, 2), OK);
    sim::CameraState s = state(cmos);
    EXPECT_EQ(s.hw_bin_x, 2);
    EXPECT_EQ(s.hw_bin_mode, 3);
    EXPECT_EQ(cmos.hw_bin.x, 2);
    EXPECT_EQ(cmos.bin_x, 1);
    before = commands(cmos);
    EXPECT_EQ(set_binning(cmos, 2, 2), OK);
    EXPECT_EQ(commands(cmos), before);
    // A binning the camera does not take is returned, and the record keeps
    // the factors the camera still has.
    run("fault " + nodes[&cmos] + " status 0x01 0x81 count=1");
    EXPECT_EQ(set_binning(cmos, 1, 1), DriverResult::device_status(0x81));
    EXPECT_EQ(cmos.hw_bin.x, 2);
    EXPECT_EQ(set_binning(cmos, 1, 1), OK);
    EXPECT_EQ(state(cmos).hw_bin_x, 1);
    cmos.ver128_lo = 4;  // older firmware: no sum or saturate modes
    EXPECT_EQ(set_binning(cmos, 2, 2), OK);
    EXPECT_EQ(state(cmos).hw_bin_mode, 0);
    // Without hardware binning the factors are kept for the software; the
    // camera, still binning 2x2, is put back to 1x1 once.
    cmos.hw_bin.enabled = false;
    run("fault " + nodes[&cmos] + " ioctl command count=1");
    EXPECT_EQ(set_binning(cmos, 3, 4), FAILED);
    EXPECT_EQ(cmos.hw_bin.x, 2);
    before = commands(cmos);
    EXPECT_EQ(set_binning(cmos, 3, 4), OK);
    EXPECT_EQ(commands(cmos), before + 1);
    EXPECT_EQ(state(cmos).hw_bin_x, 1);
    EXPECT_EQ(cmos.bin_x, 3);
    EXPECT_EQ(cmos.bin_y, 4);
    EXPECT_EQ(cmos.hw_bin.x, 1);
    before = commands(cmos);
    EXPECT_EQ(set_binning(cmos, 2, 2), OK);
    EXPECT_EQ(commands(cmos), before);

    CameraRecord& software = plug("3075");
    before = commands(software);
    EXPECT_EQ(set_binning(software, 2, 3), OK);
    EXPECT_EQ(commands(software), before);
    EXPECT_EQ(software.bin_y, 3);

    CameraRecord& ccd = plug("1029");
    EXPECT_EQ(set_binning(ccd, 2, 3), OK);
    s = state(ccd);
    EXPECT_EQ(s.bin_x, 2);
    EXPECT_EQ(s.bin_y, 3);
    before = commands(ccd);
    EXPECT_EQ(set_binning(ccd, 2, 1), OK);
    EXPECT_EQ(commands(ccd), before + 1);
    run("fault " + nodes[&ccd] + " status 0x01 0x81 count=1");
    EXPECT_EQ(set_binning(ccd, 4, 4), DriverResult::device_status(0x81));
    EXPECT_EQ(ccd.bin_x, 2);  // the failed axis and the one after it unchanged
    EXPECT_EQ(ccd.bin_y, 1);
    EXPECT_EQ(set_binning(ccd, 0, 1), REFUSED);

    CameraRecord& small = plug("1042");
    EXPECT_EQ(set_binning(small, 1, 2), OK);
    EXPECT_EQ(small.bin_x, 2);
    EXPECT_EQ(state(small).bin_x, 2);
}

TEST_F(CameraOps, ReadModeTablesOfEveryClass) {
    struct Case {
        const char* pid;
        uint32_t mode;
        int result;  // as the wire carries it
        int sent;    // parameter byte the camera got; -1: none
    };
    const Case cases[] = {
        {"1042", 0, 0, 0x02}, {"1042", 1, 0, 0x10}, {"1042", 2, -1, -1},  // class 2
        {"1201", 0, 0, 2},    {"1201", 1, 0, 1},    {"1201", 2, 0, 0},    {"1201", 3, -1, -1},  // type 8
        {"1029", 0, 0, 1},    {"1029", 1, 0, 0},    {"1029", 2, -1, -1},  // class 3
        {"3075", 0, 0, 0},    {"3075", 3, 0, 3},    {"3075", 4, -1, -1},  // class 4
        {"3072", 2, 0, 2},    {"3216", 1, 0, 1},    {"3074", 3, 0, 3},    // classes 5, 6, 7
        {"3136", 0, 0, 0},    {"3136", 2, 0, 2},    {"3136", 3, 0, 2},    {"3136", 4, -1, -1},  // class 10
        {"1057", 0, -1, -1},  {"3280", 1, -1, -1},  {"3120", 0, -1, -1},  // no table: classes 1, 9
    };
    for (const Case& c : cases) {
        CameraRecord& camera = plug(c.pid);
        EXPECT_EQ(wire_status(set_read_mode(camera, c.mode)), c.result) << c.pid << " mode " << c.mode;
        EXPECT_EQ(camera.read_mode, c.result == 0 ? c.mode : 0) << c.pid << " mode " << c.mode;
        const sim::CameraState s = state(camera);
        if (c.sent < 0)
            EXPECT_FALSE(s.read_mode) << c.pid << " mode " << c.mode;
        else
            EXPECT_EQ(s.read_mode, c.sent) << c.pid << " mode " << c.mode;
    }
    CameraRecord& fixed = plug("3120");
    fixed.fixed_read_mode = true;
    const uint64_t before = commands(fixed);
    EXPECT_EQ(set_read_mode(fixed, 3), OK);
    EXPECT_EQ(fixed.read_mode, 3u);
    EXPECT_EQ(commands(fixed), before);
}

TEST_F(CameraOps, PreflashLimits) {
    CameraRecord& ccd = plug("1029");
    EXPECT_EQ(set_preflash(ccd, 1.2345, 20), OK);
    sim::CameraState s = state(ccd);
    EXPECT_EQ(s.preflash_ms, 1235);
    EXPECT_EQ(s.preflash_count, 16);
    EXPECT_EQ(set_preflash(ccd, 65.5354, 3), OK);
    EXPECT_EQ(state(ccd).preflash_ms, 65535);
    EXPECT_EQ(set_preflash(ccd, 70, 3), OK);
    EXPECT_EQ(state(ccd).preflash_ms, 0xFFFF);
    EXPECT_EQ(set_preflash(ccd, 0.0004, 0), OK);
    EXPECT_EQ(state(ccd).preflash_ms, 0);
    EXPECT_EQ(set_preflash(ccd, -1, 1), REFUSED);
    EXPECT_EQ(set_preflash(ccd, NAN, 1), REFUSED);
    CameraRecord& class10 = plug("3136");
    EXPECT_EQ(set_preflash(class10, 0.25, 2), OK);
    s = state(class10);
    EXPECT_EQ(s.preflash_ms, 250);
    EXPECT_EQ(s.preflash_count, 2);
    EXPECT_EQ(set_preflash(plug("1026"), 1, 1), NOT_AVAILABLE);  // type 3
    EXPECT_EQ(set_preflash(plug("3075"), 1, 1), NOT_AVAILABLE);
}

TEST_F(CameraOps, ShutterFilterLevelsAuxPairAndClearUseTheirClassBytes) {
    CameraRecord& ccd = plug("1029 filters=5");
    EXPECT_EQ(open_shutter(ccd), OK);
    EXPECT_TRUE(state(ccd).shutter_open);
    EXPECT_EQ(close_shutter(ccd), OK);
    EXPECT_FALSE(state(ccd).shutter_open);
    EXPECT_EQ(set_filter(ccd, 4), OK);
    EXPECT_EQ(state(ccd).filter, 4);
    EXPECT_EQ(set_filter(ccd, 5), DriverResult::device_status(0x81));  // no such position
    EXPECT_EQ(set_feature8_level(ccd, 1), OK);
    EXPECT_EQ(set_feature8_level(ccd, 2), DriverResult::device_status(0x81));  // one level only without flag bit 3
    uint32_t aux = 9;
    EXPECT_EQ(get_aux_state(ccd, aux), OK);
    EXPECT_EQ(aux, 1u);
    EXPECT_EQ(set_feature5_level(ccd, 1), NOT_AVAILABLE);
    EXPECT_EQ(set_type8_pair(ccd, 1, 2), NOT_AVAILABLE);
    const unsigned clears = state(ccd).clears;
    EXPECT_EQ(clear_sensor(ccd), OK);
    EXPECT_EQ(state(ccd).clears, clears + 1);

    CameraRecord& type8 = plug("1201");
    EXPECT_EQ(set_type8_pair(type8, 7, 9), OK);
    EXPECT_EQ(state(type8).pair_a, 7);
    EXPECT_EQ(state(type8).pair_b, 9);

    CameraRecord& class7 = plug("3074 filters=7");
    EXPECT_EQ(open_shutter(class7), OK);
    EXPECT_TRUE(state(class7).shutter_open);
    EXPECT_EQ(close_shutter(class7), OK);
    EXPECT_EQ(set_filter(class7, 6), OK);
    EXPECT_EQ(state(class7).filter, 6);
    EXPECT_EQ(set_feature8_level(class7, 100), OK);
    EXPECT_EQ(state(class7).feature8, 100);
    EXPECT_EQ(get_aux_state(class7, aux), OK);

    CameraRecord& old = plug("1057 filters=5");
    EXPECT_EQ(set_temperature(old, 0), OK);
    EXPECT_EQ(open_shutter(old), OK);  // the same byte as the set point, without its word
    EXPECT_TRUE(state(old).shutter_open);
    EXPECT_EQ(state(old).set_point_raw, 39047);

    CameraRecord& small = plug("1042");
    const uint64_t before = commands(small);
    EXPECT_EQ(open_shutter(small), OK);
    EXPECT_EQ(close_shutter(small), OK);
    EXPECT_EQ(commands(small), before);
    EXPECT_EQ(set_feature5_level(small, 3), OK);
    EXPECT_EQ(state(small).feature5, 3);
    EXPECT_EQ(clear_sensor(small), OK);
    EXPECT_EQ(state(small).clears, 1u);
    EXPECT_EQ(set_filter(small, 0), NOT_AVAILABLE);
    EXPECT_EQ(get_aux_state(small, aux), NOT_AVAILABLE);
    EXPECT_EQ(aux, 0u);

    CameraRecord& class6 = plug("3216");
    EXPECT_EQ(set_feature5_level(class6, 2), OK);
    EXPECT_EQ(state(class6).feature5, 2);
    EXPECT_EQ(set_feature8_level(class6, 1), NOT_AVAILABLE);
    EXPECT_EQ(set_feature8_level(plug("3232"), 1), NOT_AVAILABLE);  // class 8
    EXPECT_EQ(set_feature8_level(plug("1026"), 1), NOT_AVAILABLE);  // type 3
}

TEST_F(CameraOps, GuidePulsesRunForTheirDuration) {
    for (const char* pid : {"1042", "3216", "3075"}) {
        CameraRecord& camera = plug(pid);
        bool guiding = true;
        EXPECT_EQ(is_guiding(camera, guiding), OK) << pid;
        EXPECT_FALSE(guiding) << pid;
        EXPECT_EQ(pulse_guide(camera, -150, 40), OK) << pid;
        EXPECT_EQ(is_guiding(camera, guiding), OK) << pid;
        EXPECT_TRUE(guiding) << pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(is_guiding(camera, guiding), OK) << pid;
        EXPECT_TRUE(guiding) << pid;  // the longer axis still runs
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        EXPECT_EQ(is_guiding(camera, guiding), OK) << pid;
        EXPECT_FALSE(guiding) << pid;
    }
    CameraRecord& ccd = plug("1029");
    bool guiding = true;
    EXPECT_EQ(pulse_guide(ccd, 100, 100), NOT_AVAILABLE);
    EXPECT_EQ(is_guiding(ccd, guiding), NOT_AVAILABLE);
    EXPECT_FALSE(guiding);
}

TEST(ValueCache, SlotsOfEveryIndex) {
    LogCapture log;
    const std::pair<int, int> slots[] = {{0, 0},   {1, 1},   {2, 1},   {3, 1},   {10, 2}, {11, 3},
                                         {20, 4},  {128, 5}, {129, 6}, {130, 7}, {131, 8}};
    for (const auto& [index, slot] : slots)
        EXPECT_EQ(index_to_value_index(index), slot) << index;
    EXPECT_FALSE(log.has_line("index_to_value_index() error: Unknown index 0"));
    EXPECT_EQ(index_to_value_index(255), 0);
    EXPECT_TRUE(log.has_line("index_to_value_index() error: Unknown index 255"));
    EXPECT_EQ(index_to_value_index(-3), 0);
    EXPECT_TRUE(log.has_line("index_to_value_index() error: Unknown index -3"));
}

}  // namespace
