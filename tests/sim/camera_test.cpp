// Virtual cameras through the camera driver's requests.
#include <fcntl.h>
#include <poll.h>

#include <cstring>

#include "sim_fixture.h"

namespace {

using simtest::exchange;
using simtest::SimBox;

std::string text_at(const std::vector<uint8_t>& bytes, size_t offset) {
    return std::string(bytes.begin() + offset, bytes.begin() + offset + 15);
}

IdentifyRecord identify(platform::Platform& p, int fd, int& result) {
    IdentifyRecord record{};
    result = p.node_ioctl(fd, CAMERA_IOCTL_IDENTIFY, &record);
    return record;
}

TEST(VirtualCamera, LongIdentificationCarriesRecordBytesAsTheyAre) {
    SimBox sim;
    const std::string node = sim.run(
        "plug camera 3120 id=0x1234 width=100 height=50 pixelw=3760 pixelh=3800 flags=0x15 aux=0x0203 filters=7 "
        "desc=\"Cam X\" ser=S1 chip=C1");
    EXPECT_EQ(node, "/dev/telva0");
    const int fd = sim.platform->node_open(node.c_str(), O_RDWR);
    ASSERT_GT(fd, 0);
    const auto answer = exchange(*sim.platform, fd, {0x00}, 62);
    ASSERT_EQ(answer.result, 0);
    ASSERT_EQ(answer.received, 62u);
    const std::vector<uint8_t> head(answer.response.begin(), answer.response.begin() + 17);
    EXPECT_EQ(head, (std::vector<uint8_t>{0x80, 0x34, 0x12, 0, 0, 0x15, 7, 0x03, 0x02, 100, 0, 50, 0, 0xB0, 0x0E,
                                          0xD8, 0x0E}));
    EXPECT_EQ(text_at(answer.response, 17), "Cam X          ");
    EXPECT_EQ(text_at(answer.response, 32), "S1             ");
    EXPECT_EQ(text_at(answer.response, 47), "C1             ");
    EXPECT_EQ(answer.response[62], 0xEE);
}

TEST(VirtualCamera, ShortIdentificationKeepsTheFilterCountInTheFlagWord) {
    SimBox sim;
    // Bits 0 and 1 set: bits 8-11 hold the count.
    int fd = sim.platform->node_open(sim.run("plug camera 1041 flags=0x3003 filters=9 width=752").c_str(), O_RDWR);
    auto answer = exchange(*sim.platform, fd, {0x00}, 60);
    ASSERT_EQ(answer.received, 60u);
    EXPECT_EQ(answer.response[5], 0x03);
    EXPECT_EQ(answer.response[6], 0x39);  // top bits (aux) kept, count 9
    EXPECT_EQ(answer.response[7] | answer.response[8] << 8, 752);
    EXPECT_EQ(text_at(answer.response, 15), "Virtual 1041   ");
    // Type 3: 6 positions are bit 2, none is bit 1.
    fd = sim.platform->node_open(sim.run("plug camera 1026 filters=6").c_str(), O_RDWR);
    answer = exchange(*sim.platform, fd, {0x00}, 60);
    EXPECT_EQ(answer.response[5] & 0x06, 0x04);
    fd = sim.platform->node_open(sim.run("plug camera 1026 filters=0").c_str(), O_RDWR);
    answer = exchange(*sim.platform, fd, {0x00}, 60);
    EXPECT_EQ(answer.response[5] & 0x06, 0x02);
    EXPECT_EQ(sim.box->execute("plug camera 1026 filters=7").rfind("error: ", 0), 0u);
    EXPECT_EQ(sim.box->execute("plug camera 1041 aux=1").rfind("error: ", 0), 0u);
}

TEST(VirtualCamera, ResponseLengthIsWrittenBackAndCapacityHonoured) {
    SimBox sim;
    const int fd = sim.platform->node_open(sim.run("plug camera 3120").c_str(), O_RDWR);
    auto answer = exchange(*sim.platform, fd, {0x00}, 10);
    EXPECT_EQ(answer.received, 10u);
    EXPECT_EQ(answer.response[10], 0xEE);
    answer = exchange(*sim.platform, fd, {0x00}, 0);
    EXPECT_EQ(answer.result, 0);
    EXPECT_EQ(answer.received, 0u);
    EXPECT_EQ(answer.response[0], 0xEE);
    // The acknowledgement after an image transfer has no request bytes.
    answer = exchange(*sim.platform, fd, {}, 1);
    EXPECT_EQ(answer.received, 1u);
    EXPECT_EQ(answer.response[0], 0x80);
    // A command the firmware has no handler for is acknowledged.
    answer = exchange(*sim.platform, fd, {0x42, 1, 2}, 8);
    EXPECT_EQ(answer.received, 1u);
    EXPECT_EQ(answer.response[0], 0x80);
}

TEST(VirtualCamera, ValueRequestsAnswerRawWordsByClass) {
    SimBox sim;
    int fd = sim.platform->node_open(sim.run("plug camera 1201 ver128=0x0203 ver131=9").c_str(), O_RDWR);
    auto answer = exchange(*sim.platform, fd, {0x0F, 128}, 3);
    EXPECT_EQ(answer.response, (std::vector<uint8_t>{0x80, 0x03, 0x02, 0xEE}));
    answer = exchange(*sim.platform, fd, {0x0F, 131}, 3);
    EXPECT_EQ(answer.response[1], 9);
    // 20 °C through the class-3 conversion r·0.00219729575 − 85.79743083.
    answer = exchange(*sim.platform, fd, {0x0F, 0}, 3);
    const int raw = answer.response[1] | answer.response[2] << 8;
    EXPECT_NEAR(raw * 0.00219729575 - 85.79743083, 20.0, 0.01);
    answer = exchange(*sim.platform, fd, {0x0F, 77}, 3);
    EXPECT_EQ(answer.response[0], 0x81);
    answer = exchange(*sim.platform, fd, {0x0F}, 3);
    EXPECT_EQ(answer.response[0], 0x81);
    // Class 2 asks with 0x0E; 255 tells firmware with sub-frame readout.
    fd = sim.platform->node_open(sim.run("plug camera 1042").c_str(), O_RDWR);
    answer = exchange(*sim.platform, fd, {0x0E, 255}, 3);
    EXPECT_EQ(answer.response, (std::vector<uint8_t>{0x80, 0x80, 0x80, 0xEE}));
}

TEST(VirtualCamera, InjectedFaultsFireTheirCountThenStop) {
    SimBox sim;
    const std::string node = sim.run("plug camera 3120");
    const int fd = sim.platform->node_open(node.c_str(), O_RDWR);
    sim.run("fault " + node + " status 0x0f 0x81 count=1");
    sim.run("fault " + node + " ioctl identify count=2");
    EXPECT_EQ(exchange(*sim.platform, fd, {0x00}, 62).response[0], 0x80);  // other commands untouched
    EXPECT_EQ(exchange(*sim.platform, fd, {0x0F, 128}, 3).response[0], 0x81);
    EXPECT_EQ(exchange(*sim.platform, fd, {0x0F, 128}, 3).response[0], 0x80);
    int result = 0;
    for (int i = 0; i < 2; ++i) {
        errno = 0;
        identify(*sim.platform, fd, result);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(errno, ENODEV);
    }
    EXPECT_EQ(identify(*sim.platform, fd, result).product_id, 3120);
    EXPECT_EQ(result, 0);
    sim.run("fault " + node + " status 0 0x00");
    sim.run("fault " + node + " clear");
    EXPECT_EQ(exchange(*sim.platform, fd, {0x00}, 62).response[0], 0x80);
}

TEST(VirtualCamera, BadRecordsAndDescriptorsAreRefused) {
    SimBox sim;
    const int fd = sim.platform->node_open(sim.run("plug camera 3120").c_str(), O_RDWR);
    std::vector<uint8_t> big(5000, 0);
    auto answer = exchange(*sim.platform, fd, big, 1);
    EXPECT_EQ(answer.error, EINVAL);
    CommandRecord record{};
    record.request_length = 1;  // bytes promised at address 0
    record.response_length = 1;
    EXPECT_EQ(sim.platform->node_ioctl(fd, CAMERA_IOCTL_COMMAND, &record), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(sim.platform->node_ioctl(fd, _IOR('M', 9, int), &record), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(sim.platform->node_ioctl(fd + 1000, CAMERA_IOCTL_COMMAND, &record), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(sim.platform->node_open("/dev/telva9", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    char byte;
    EXPECT_EQ(sim.platform->node_read(fd, &byte, 1), -1);  // no readout started
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST(VirtualCamera, UnpluggedNodeFailsEveryRequestWithEnodev) {
    SimBox sim;
    ASSERT_EQ(sim.platform->hotplug_open(), platform::HotplugOpen::ok);
    const std::string node = sim.run("plug camera 3120");
    const int fd = sim.platform->node_open(node.c_str(), O_RDWR);
    EXPECT_EQ(sim.events(), (std::vector<std::string>{"add /dev/bus/usb/001/002 1347 0c30",
                                                      "bind /dev/bus/usb/001/002 1347 0c30", "add /dev/telva0  "}));
    sim.run("unplug " + node);
    EXPECT_EQ(sim.events(), (std::vector<std::string>{"remove /dev/telva0  ", "unbind /dev/bus/usb/001/002  ",
                                                      "remove /dev/bus/usb/001/002  "}));
    int result = 0;
    errno = 0;
    identify(*sim.platform, fd, result);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(exchange(*sim.platform, fd, {0x00}, 62).error, ENODEV);
    char byte;
    EXPECT_EQ(sim.platform->node_read(fd, &byte, 1), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(sim.platform->node_open(node.c_str(), O_RDWR), -1);
    EXPECT_EQ(sim.platform->node_close(fd), 0);
    std::vector<std::string> names;
    sim.platform->list_dev(names);
    EXPECT_EQ(std::count(names.begin(), names.end(), "telva0"), 0);
    EXPECT_EQ(sim.box->execute("unplug " + node), "error: no device at /dev/telva0\n");
}

TEST(VirtualCamera, HotplugDescriptorIsReadableExactlyWhileEventsWait) {
    SimBox sim;
    sim.run("plug camera 3120");  // before the monitor: not seen
    ASSERT_EQ(sim.platform->hotplug_open(), platform::HotplugOpen::ok);
    const int fd = sim.platform->hotplug_fd();
    ASSERT_GT(fd, 0);
    auto readable = [&] {
        pollfd watched{fd, POLLIN, 0};
        return poll(&watched, 1, 0) == 1;
    };
    EXPECT_FALSE(readable());
    sim.run("plug wheel");
    EXPECT_TRUE(readable());
    platform::HotplugEvent event;
    ASSERT_TRUE(sim.platform->hotplug_receive(event));
    EXPECT_TRUE(readable());
    EXPECT_EQ(sim.events(), (std::vector<std::string>{"bind /dev/bus/usb/001/003 1347 0cf0"}));
    EXPECT_FALSE(readable());
    EXPECT_FALSE(sim.platform->hotplug_receive(event));
    sim.platform->hotplug_close();
    EXPECT_EQ(sim.platform->hotplug_fd(), -1);
}

// --- firmware ---------------------------------------------------------------

struct Upload {
    std::vector<std::pair<uint16_t, size_t>> records;  // load address, length
};

// Runs begin / records / end; the result of the first failing request, or 0.
int upload(platform::Platform& p, int fd, const Upload& image) {
    static std::vector<uint8_t> bytes(0x10000, 0x5A);
    int32_t mode = 1;
    if (p.node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_MODE, &mode) != 0)
        return -1;
    for (auto [address, length] : image.records) {
        FirmwareRecord record{address, reinterpret_cast<uintptr_t>(bytes.data() + address), length};
        if (p.node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_RECORD, &record) != 0)
            return -2;
    }
    mode = 0;
    return p.node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_MODE, &mode) == 0 ? 0 : -3;
}

Upload contiguous(size_t total, size_t piece = 1008) {
    Upload image;
    for (size_t address = 0; address < total; address += piece)
        image.records.push_back({static_cast<uint16_t>(address), std::min(piece, total - address)});
    return image;
}

TEST(VirtualCameraFirmware, ValidUploadReenumeratesWithFirmwareRunning) {
    SimBox sim;
    ASSERT_EQ(sim.platform->hotplug_open(), platform::HotplugOpen::ok);
    const std::string node = sim.run("plug camera 1201 nofw id=77");
    sim.events();
    const int fd = sim.platform->node_open(node.c_str(), O_RDWR);
    int result = 0;
    EXPECT_EQ(identify(*sim.platform, fd, result).firmware_state, 0);
    EXPECT_EQ(exchange(*sim.platform, fd, {0x00}, 62).error, EIO);  // a bare controller
    ASSERT_EQ(upload(*sim.platform, fd, contiguous(5712)), 0);
    EXPECT_EQ(sim.events(),
              (std::vector<std::string>{"remove /dev/telva0  ", "unbind /dev/bus/usb/001/002  ",
                                        "remove /dev/bus/usb/001/002  ", "add /dev/bus/usb/001/003 1347 04b1",
                                        "bind /dev/bus/usb/001/003 1347 04b1", "add /dev/telva1  "}));
    identify(*sim.platform, fd, result);
    EXPECT_EQ(errno, ENODEV);
    const int fresh = sim.platform->node_open("/dev/telva1", O_RDWR);
    const IdentifyRecord record = identify(*sim.platform, fresh, result);
    EXPECT_NE(record.firmware_state, 0);
    EXPECT_EQ(record.product_id, 1201);
    const auto answer = exchange(*sim.platform, fresh, {0x00}, 62);
    EXPECT_EQ(answer.response[1], 77);  // the same camera
}

TEST(VirtualCameraFirmware, MalformedUploadsLeaveTheCameraWithoutFirmware) {
    struct Case {
        const char* name;
        Upload image;
        int result;
    };
    Upload gap = contiguous(5712);
    gap.records[2].first += 2;
    Upload unordered = contiguous(5712);
    std::swap(unordered.records[0], unordered.records[1]);
    const Case cases[] = {
        {"short by one byte", contiguous(5711), 0},
        {"one byte too many", contiguous(5713), 0},
        {"gap", gap, 0},
        {"out of order", unordered, 0},
        {"record over 1008 bytes", contiguous(5712, 1009), -2},
        {"not from 0", Upload{{{16, 1000}}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimBox sim;
        ASSERT_EQ(sim.platform->hotplug_open(), platform::HotplugOpen::ok);
        const std::string node = sim.run("plug camera 1201 nofw");
        sim.events();
        const int fd = sim.platform->node_open(node.c_str(), O_RDWR);
        EXPECT_EQ(upload(*sim.platform, fd, c.image), c.result);
        EXPECT_TRUE(sim.events().empty());
        int result = 0;
        EXPECT_EQ(identify(*sim.platform, fd, result).firmware_state, 0);
        EXPECT_EQ(result, 0);
        // A good upload afterwards still works.
        EXPECT_EQ(upload(*sim.platform, fd, contiguous(5712)), 0);
        EXPECT_EQ(sim.events().size(), 6u);
    }
}

TEST(VirtualCameraFirmware, OnlyBareCamerasWithAnImageTakeFirmware) {
    SimBox sim;
    ASSERT_EQ(sim.platform->hotplug_open(), platform::HotplugOpen::ok);
    int fd = sim.platform->node_open(sim.run("plug camera 1201").c_str(), O_RDWR);
    int32_t mode = 1;
    EXPECT_EQ(sim.platform->node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_MODE, &mode), -1);
    EXPECT_EQ(errno, EINVAL);
    // A bare camera of a product id without an image accepts the bytes but
    // never starts.
    for (const char* line : {"plug camera 3120 nofw", "plug camera 1057 nofw"}) {
        fd = sim.platform->node_open(sim.run(line).c_str(), O_RDWR);
        sim.events();
        EXPECT_EQ(upload(*sim.platform, fd, contiguous(5712)), 0);
        EXPECT_TRUE(sim.events().empty()) << line;
    }
    // Records outside begin/end, and a mode other than 0 and 1.
    FirmwareRecord record{0, reinterpret_cast<uintptr_t>(&mode), 4};
    EXPECT_EQ(sim.platform->node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_RECORD, &record), -1);
    mode = 2;
    EXPECT_EQ(sim.platform->node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_MODE, &mode), -1);
    mode = 0;
    EXPECT_EQ(sim.platform->node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_MODE, &mode), -1);
}

TEST(VirtualBoxListing, DevAndUsbListsShowWhatIsPlugged) {
    SimBox sim;
    sim.run("plug camera 3136");
    sim.run("plug wheel");
    std::vector<std::string> names;
    ASSERT_EQ(sim.platform->list_dev(names), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "telva0"), 1);
    std::vector<platform::UsbDeviceEntry> devices;
    ASSERT_EQ(sim.platform->usb_list_devices(devices), 0);
    ASSERT_EQ(devices.size(), 3u);  // the root hub, the camera, the wheel
    EXPECT_EQ(devices[1].vendor, 0x1347);
    EXPECT_EQ(devices[1].product, 3136);
    EXPECT_EQ(devices[2].product, 0x0CF0);
    EXPECT_EQ(devices[2].address, 3);
}

}  // namespace

namespace {

TEST(VirtualCamera, ControlOptionsAreRangeChecked) {
    simtest::SimBox sim;
    for (const char* line : {"plug camera 3120 gps_fix=2", "plug camera 3120 open_ms=60001", "plug camera 3120 cal_gain=0x10000",
                             "plug camera 3120 cool_rate=-1", "plug camera 3120 gps_epoch=253402300800"})
        EXPECT_EQ(sim.box->execute(line).rfind("error: ", 0), 0u) << line;
    sim.run("plug camera 3120 gps_fix=0 open_ms=0 close_ms=60000 cal_gain=0xFFFF gps_epoch=0 cool_rate=0");
}

TEST(VirtualCamera, CalibrationFlashIsErasedOutsideItsBlock) {
    simtest::SimBox sim;
    const int fd = sim.platform->node_open(sim.run("plug camera 3136 cal_offset=0x1234 cal_gain=0x5678").c_str(), O_RDWR);
    // Four bytes before the block, four of it.
    auto answer = simtest::exchange(*sim.platform, fd, {0x12, 0x5C, 0xFF, 0x03, 0x00, 0x08}, 9);
    EXPECT_EQ(answer.response, (std::vector<uint8_t>{0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x34, 0x12, 0xEE}));
    answer = simtest::exchange(*sim.platform, fd, {0x12, 0x60, 0xFF, 0x03, 0x00, 33}, 40);
    EXPECT_EQ(answer.response[0], 0x81);
}

}  // namespace
