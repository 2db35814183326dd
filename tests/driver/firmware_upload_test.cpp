// Firmware upload into virtual cameras: who gets an image, the camera's
// return as a new node, and the failures.
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "driver/camera_abi.h"
#include "driver/camera_open.h"
#include "driver/firmware.h"
#include "driver/firmware_source.h"
#include "driver/firmware_upload.h"
#include "tests/driver/driver_box.h"

namespace {

class FirmwareUpload : public DriverBox {
protected:
    void SetUp() override {
        DriverBox::SetUp();
        ASSERT_EQ(platform::current().hotplug_open(), platform::HotplugOpen::ok);
    }

    // The identify record of the camera at `path`.
    IdentifyRecord identify(const std::string& path) {
        IdentifyRecord record{};
        const int fd = platform::current().node_open(path.c_str(), O_RDWR);
        EXPECT_GT(fd, 0) << path;
        EXPECT_EQ(platform::current().node_ioctl(fd, CAMERA_IOCTL_IDENTIFY, &record), 0);
        platform::current().node_close(fd);
        return record;
    }

    // The camera nodes among the pending events, as "add PATH" / "remove PATH".
    std::vector<std::string> node_events() {
        std::vector<std::string> nodes;
        for (const std::string& event : events())
            if (event.find("/dev/telva") != std::string::npos)
                nodes.push_back(event);
        return nodes;
    }
};

TEST_F(FirmwareUpload, CameraWithoutFirmwareGetsItsImageAndComesBackAsANewNode) {
    const std::string node = run("plug camera 1201 nofw id=321");
    events();
    EXPECT_EQ(identify(node).firmware_state, 0);

    EXPECT_EQ(upload_firmware(node.c_str()), -1);
    const std::vector<std::string> seen = node_events();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "remove " + node);
    ASSERT_EQ(seen[1].rfind("add /dev/telva", 0), 0u);
    const std::string new_node = seen[1].substr(4);
    EXPECT_NE(new_node, node);

    const IdentifyRecord after = identify(new_node);
    EXPECT_NE(after.firmware_state, 0);
    EXPECT_EQ(after.product_id, 1201);
    // The new node is ready: no second upload, and it identifies.
    EXPECT_EQ(upload_firmware(new_node.c_str()), 0);
    EXPECT_TRUE(node_events().empty());
    CameraRecord camera;
    ASSERT_EQ(open_camera(new_node.c_str(), camera), 0);
    EXPECT_EQ(camera.info.id, 321u);
}

TEST_F(FirmwareUpload, OnlyCamerasWithoutFirmwareAndWithAnImageAreLoaded) {
    // Any loading request would fail and turn the result into 1.
    const std::string running = run("plug camera 1201 id=1");
    const std::string modern = run("plug camera 3120 nofw id=2");
    const std::string type1 = run("plug camera 1057 nofw id=3");
    for (const std::string& node : {running, modern, type1})
        run("fault " + node + " ioctl fwmode");
    events();

    EXPECT_EQ(upload_firmware(running.c_str()), 0);
    EXPECT_EQ(upload_firmware(modern.c_str()), 0);  // whatever its firmware state says
    EXPECT_EQ(upload_firmware(type1.c_str()), -22);
    EXPECT_TRUE(node_events().empty());
    EXPECT_EQ(log->text(), "");
}

TEST_F(FirmwareUpload, FailingRecordStopsTheUploadAndIsLogged) {
    const std::string node = run("plug camera 1201 nofw");
    run("fault " + node + " ioctl fwrecord count=1");
    events();
    EXPECT_EQ(upload_firmware(node.c_str()), 1);
    EXPECT_TRUE(log->has_line("fw upload failed: No such device"));
    EXPECT_TRUE(node_events().empty());
    EXPECT_EQ(identify(node).firmware_state, 0);

    // The next attempt (the camera's next "add") starts afresh.
    EXPECT_EQ(upload_firmware(node.c_str()), -1);
    EXPECT_EQ(node_events().size(), 2u);
}

TEST_F(FirmwareUpload, NodeAndRequestFailures) {
    EXPECT_EQ(upload_firmware("/dev/telva77"), -ENOENT);
    EXPECT_TRUE(log->has_line("open() failed: No such file or directory"));

    const std::string node = run("plug camera 1201 nofw");
    run("fault " + node + " ioctl identify count=1");
    EXPECT_EQ(upload_firmware(node.c_str()), 1);
    run("fault " + node + " ioctl fwmode count=1");
    EXPECT_EQ(upload_firmware(node.c_str()), 1);
    EXPECT_TRUE(log->has_line("cannot perform ioctl: No such device, ret: 19"));
    // The lock was given back each time: another descriptor takes it at once.
    const int fd = platform::current().node_open(node.c_str(), O_RDWR);
    EXPECT_EQ(platform::current().node_flock(fd, LOCK_EX | LOCK_NB), 0);
    platform::current().node_close(fd);
}

// Real hardware: the images come from HEX files, each checked against the
// table before the camera is touched.
TEST_F(FirmwareUpload, ImagesFromFilesAreCheckedBeforeLoading) {
    char pattern[] = "/tmp/telvad-firmware-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    install_firmware_source(firmware_files(dir));

    // The stand-in of 1201 written as HEX, 16 bytes a line, as tools do.
    std::vector<uint8_t> image;
    for (const FirmwareRecord* r = find_firmware(1201); r->data_address; ++r) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(r->data_address));
        image.insert(image.end(), bytes, bytes + r->length);
    }
    auto write_hex = [&](uint16_t pid, size_t size) {
        std::ofstream out(firmware_file_path(dir, pid));
        for (size_t at = 0; at < size; at += 16) {
            const size_t n = std::min<size_t>(16, size - at);
            unsigned sum = unsigned(n) + (at >> 8) + (at & 0xFF);
            char text[32];
            snprintf(text, sizeof text, ":%02zX%04zX00", n, at);
            out << text;
            for (size_t k = 0; k < n; ++k) {
                snprintf(text, sizeof text, "%02X", image[at + k]);
                out << text;
                sum += image[at + k];
            }
            snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
            out << text;
        }
        out << ":00000001FF\n";
    };
    EXPECT_EQ(firmware_file_path(dir, 1201), dir + "/04b1.hex");

    // No file, a file one byte short, a file with a broken line: nothing is
    // loaded (a loading request would fail and give 1), and the path is named.
    const std::string node = run("plug camera 1201 nofw");
    run("fault " + node + " ioctl fwmode");
    events();
    EXPECT_EQ(upload_firmware(node.c_str()), -22);
    EXPECT_TRUE(log->has_line("Cannot open the firmware file " + dir + "/04b1.hex: No such file or directory"));
    write_hex(1201, image.size() - 1);
    EXPECT_EQ(upload_firmware(node.c_str()), -22);
    EXPECT_TRUE(log->has_line("Firmware file " + dir + "/04b1.hex: not an image of addresses 0x0000-0x164F"));
    std::ofstream(firmware_file_path(dir, 1201)) << ":10000000\n";
    EXPECT_EQ(upload_firmware(node.c_str()), -22);
    EXPECT_TRUE(log->has_line("Firmware file " + dir + "/04b1.hex, line 1: byte count does not match the record"));
    EXPECT_TRUE(node_events().empty());

    // The whole image loads, and the camera comes back.
    write_hex(1201, image.size());
    run("fault " + node + " clear");
    EXPECT_EQ(upload_firmware(node.c_str()), -1);
    EXPECT_EQ(node_events().size(), 2u);
    std::filesystem::remove_all(dir);

    // Unless told otherwise (the virtual box is), the daemon takes files
    // from the installed directory and never the built-in stand-ins.
    install_firmware_source(nullptr);
    const std::string other = run("plug camera 1042 nofw");
    EXPECT_EQ(upload_firmware(other.c_str()), -22);
    EXPECT_TRUE(log->has_line("Cannot open the firmware file /usr/lib/telvad/firmware/0412.hex: No such file or directory"));
}

}  // namespace
