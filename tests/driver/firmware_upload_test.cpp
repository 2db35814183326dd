// Firmware upload into virtual cameras: who gets an image, the camera's
// return as a new node, and the failures.
#include <fcntl.h>

#include <algorithm>

#include "driver/camera_abi.h"
#include "driver/camera_open.h"
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

}  // namespace
