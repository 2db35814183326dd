// Opening, identifying and closing cameras on the virtual box.
#include <fcntl.h>

#include <cstring>

#include "driver/camera_open.h"
#include "driver/camera_params.h"
#include "tests/driver/driver_box.h"

namespace {

using CameraOpen = DriverBox;

// Opens the camera plugged with `plug` into a fresh record.
std::unique_ptr<CameraRecord> open_plugged(DriverBox& test, const std::string& plug, std::string* node = nullptr) {
    auto camera = std::make_unique<CameraRecord>();
    const std::string path = test.box->execute(plug).substr(3);
    const std::string trimmed = path.substr(0, path.size() - 1);
    EXPECT_EQ(open_camera(trimmed.c_str(), *camera), 0) << plug;
    if (node)
        *node = trimmed;
    return camera;
}

int count_of(const std::string& text, const std::string& line) {
    int count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++count;
    return count;
}

TEST_F(CameraOpen, ShortLayoutTakesFilterCountFromTheFlagWord) {
    std::string node;
    auto camera = open_plugged(*this, "plug camera 1041 id=4242 flags=0x5A03 width=752 height=582 desc=\"Guide  cam\"",
                               &node);
    const CameraInfo& info = camera->info;
    EXPECT_EQ(info.id, 4242u);
    EXPECT_EQ(info.flags, 0x03);       // the low byte only
    EXPECT_EQ(info.aux, 0x5);          // the top four bits
    EXPECT_EQ(info.filters, 0xA);      // bits 8..11, as bits 0 and 1 are both set
    EXPECT_EQ(info.width, 752);
    EXPECT_EQ(info.height, 582);
    EXPECT_STREQ(info.desc, "Guide  cam");  // inner blanks stay, the padding goes
    EXPECT_EQ(info.vid, 0x1347);
    EXPECT_EQ(info.pid, 1041);
    EXPECT_STREQ(camera->path, node.c_str());
    EXPECT_FALSE(camera->node.empty());
    EXPECT_EQ(camera->pid, 1041u);
    EXPECT_EQ(camera->camera_type, 18u);
    EXPECT_EQ(camera->camera_class, 2u);

    // The other short-layout rules: bit 0 alone, bit 1 alone, neither.
    EXPECT_EQ(open_plugged(*this, "plug camera 1043 flags=0x0F01")->info.filters, 5);
    EXPECT_EQ(open_plugged(*this, "plug camera 1057 flags=0x0F02")->info.filters, 6);
    EXPECT_EQ(open_plugged(*this, "plug camera 1042 flags=0x0F00")->info.filters, 0);
}

TEST_F(CameraOpen, TypeThreeHasItsOwnFilterRule) {
    EXPECT_EQ(open_plugged(*this, "plug camera 1026 flags=0x0002")->info.filters, 0);
    EXPECT_EQ(open_plugged(*this, "plug camera 1026 flags=0x0006")->info.filters, 0);  // bit 1 wins
    EXPECT_EQ(open_plugged(*this, "plug camera 1026 flags=0x0004")->info.filters, 6);
    EXPECT_EQ(open_plugged(*this, "plug camera 1026 flags=0x0000")->info.filters, 5);
    EXPECT_EQ(open_plugged(*this, "plug camera 1026 flags=0x0303")->info.filters, 0);  // not bits 8..11
}

TEST_F(CameraOpen, LongLayoutCopiesTheAnswerFromByteSeven) {
    std::string node;
    auto camera = open_plugged(*this,
                               "plug camera 3120 id=0x01020304 flags=0x15 aux=0xBEEF filters=7 width=6276 height=4210 "
                               "pixelw=3760 pixelh=3800 desc=\"Main camera\" ser=SN42 chip=\"CMOS 6K   x\"",
                               &node);
    const std::vector<uint8_t> answer = device(node)->camera->identification();
    ASSERT_EQ(answer.size(), 62u);
    const auto* record = reinterpret_cast<const uint8_t*>(&camera->info);
    EXPECT_EQ(camera->info.id, 0x01020304u);
    EXPECT_EQ(camera->info.flags, 0x15);
    EXPECT_EQ(camera->info.filters, 7);
    // aux, size and pixel size as they came, byte for byte.
    EXPECT_EQ(memcmp(record + 7, answer.data() + 7, 10), 0);
    EXPECT_EQ(camera->info.aux, 0xBEEF);
    EXPECT_EQ(camera->info.width, 6276);
    EXPECT_EQ(camera->info.pixel_h, 3800);
    // The texts: the answer's bytes up to their blank padding, then NULs.
    const char desc[15] = "Main camera";
    const char ser[15] = "SN42";
    const char chip[15] = "CMOS 6K   x";
    EXPECT_EQ(memcmp(camera->info.desc, desc, 15), 0);
    EXPECT_EQ(memcmp(camera->info.ser, ser, 15), 0);
    EXPECT_EQ(memcmp(camera->info.chip, chip, 15), 0);
    EXPECT_EQ(camera->info.vid, 0x1347);
    EXPECT_EQ(camera->info.pid, 3120);
    EXPECT_EQ(camera->sensor_variant, 2u);  // class 9 with the 6276-column sensor
}

TEST_F(CameraOpen, UnknownProductIdIsLoggedAndAnswersNoParameter) {
    auto camera = open_plugged(*this, "plug camera 0x999 id=9");
    const std::string text = log->text();
    EXPECT_EQ(count_of(text, "determine_camera_class: unknown camera PID: 0x999\n"), 1) << text;
    EXPECT_EQ(count_of(text, "determine_camera_type: unknown camera PID: 0x999\n"), 1) << text;
    EXPECT_EQ(camera->camera_type, 0u);
    EXPECT_EQ(camera->camera_class, 0u);
    EXPECT_EQ(camera->info.id, 9u);       // read with the long layout
    EXPECT_EQ(camera->info.width, 1024);
    for (int index = -2; index <= 1100; ++index) {
        uint8_t flag = 0xEE;
        int32_t value = 0;
        EXPECT_EQ(gbp(camera.get(), index, &flag), -1) << index;
        EXPECT_EQ(gip(camera.get(), index, &value), -1) << index;
    }
}

TEST_F(CameraOpen, FailuresLeaveTheSlotFreeAndNoDescriptorBehind) {
    CameraRecord camera;
    EXPECT_EQ(open_camera("/dev/telva99", camera), -ENOENT);
    EXPECT_TRUE(log->has_line("open() failed: No such file or directory"));

    const std::string node = run("plug camera 3120");
    run("fault " + node + " ioctl identify count=1");
    const int descriptors = open_descriptor_count();
    EXPECT_EQ(open_camera(node.c_str(), camera), 1);
    EXPECT_EQ(open_descriptor_count(), descriptors);
    EXPECT_STREQ(camera.path, "");
    EXPECT_TRUE(camera.node.empty());
    EXPECT_TRUE(log->has_line("cannot perform ioctl: No such device, ret: 19"));

    const std::string long_path(5000, 'x');
    EXPECT_EQ(open_camera(long_path.c_str(), camera), -ENAMETOOLONG);

    // The identification alone fails on either of its two requests.
    const int fd = platform::current().node_open(node.c_str(), O_RDWR);
    CameraInfo info;
    run("fault " + node + " ioctl command count=1");
    EXPECT_EQ(usb_camera_info(fd, info), 1);
    EXPECT_EQ(info.id, 0u);
    EXPECT_EQ(usb_camera_info(fd, info), 0);
    EXPECT_NE(info.id, 0u);
    platform::current().node_close(fd);
}

TEST_F(CameraOpen, CloseKeepsOrClearsTheRecord) {
    std::string node;
    auto camera = open_plugged(*this, "plug camera 3120 id=77", &node);
    const int descriptors = open_descriptor_count();
    camera->owner_sock = 9;
    EXPECT_EQ(close_camera(*camera, false), 0);
    EXPECT_EQ(open_descriptor_count(), descriptors - 1);
    EXPECT_TRUE(camera->node.empty());
    EXPECT_STREQ(camera->path, node.c_str());  // held by a client: the slot stays taken
    EXPECT_EQ(camera->info.id, 77u);
    EXPECT_EQ(camera->owner_sock, 9);

    // Closed already: the second close only clears.
    EXPECT_EQ(close_camera(*camera, true), 0);
    EXPECT_EQ(open_descriptor_count(), descriptors - 1);
    EXPECT_STREQ(camera->path, "");
    const CameraInfo zero{};
    EXPECT_EQ(memcmp(&camera->info, &zero, sizeof zero), 0);
    EXPECT_EQ(camera->owner_sock, 0);
    EXPECT_EQ(camera->pid, 0u);
    EXPECT_EQ(camera->hdr_offset, -1899);
    // The locks are usable for the slot's next camera.
    EXPECT_TRUE(camera->command_mutex.try_lock());
    camera->command_mutex.unlock();
    EXPECT_FALSE(camera->frame_lock.is_locked());
}

}  // namespace
