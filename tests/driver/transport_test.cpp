// The camera command transport on the virtual box: locking, status bytes,
// received lengths, vanished nodes and the post-transfer acknowledgement.
#include <chrono>
#include <cstring>

#include "driver/camera_open.h"
#include "driver/transport.h"
#include "tests/driver/driver_box.h"

namespace {

class Transport : public DriverBox {
protected:
    void SetUp() override {
        DriverBox::SetUp();
        node = run("plug camera 3120 ver128=0x0108");
        ASSERT_EQ(open_camera(node.c_str(), camera), 0);
        virtual_camera = device(node);
    }

    uint64_t received_by_camera() const { return virtual_camera->commands_received.load(); }

    std::string node;
    CameraRecord camera;
    std::shared_ptr<sim::Device> virtual_camera;
};

const uint8_t VERSION_REQUEST[] = {0x0F, 128};

TEST_F(Transport, CommandDuringAnImageTransferIsRefusedAtOnceAndNotSent) {
    // Were it sent, the exchange would take a second.
    run("fault " + node + " delay 1000");
    const uint64_t before = received_by_camera();
    camera.frame_lock.lock();

    uint8_t response[3] = {0xEE, 0xEE, 0xEE};
    size_t received = 99;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(usb_camera_command_us(camera, VERSION_REQUEST, sizeof VERSION_REQUEST, response, sizeof response,
                                    received),
              BUSY);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(response[0], 0xEE);
    EXPECT_EQ(received_by_camera(), before);
    EXPECT_TRUE(camera.frame_lock.is_locked());  // still the transfer's
    EXPECT_TRUE(camera.command_mutex.try_lock());
    camera.command_mutex.unlock();

    camera.frame_lock.unlock();
    run("fault " + node + " clear");
    EXPECT_EQ(usb_camera_command_us(camera, VERSION_REQUEST, sizeof VERSION_REQUEST, response, sizeof response,
                                    received),
              OK);
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(response[0], 0x80);
    EXPECT_EQ(response[1] | response[2] << 8, 0x0108);
    EXPECT_EQ(received_by_camera(), before + 1);
    // Both locks are free again after an exchange.
    EXPECT_FALSE(camera.frame_lock.is_locked());
    EXPECT_TRUE(camera.command_mutex.try_lock());
    camera.command_mutex.unlock();
}

TEST_F(Transport, StatusByteOtherThan0x80GivesStatusLess127) {
    uint8_t response[3];
    run("fault " + node + " status 0x0f 0x81 count=1");
    EXPECT_EQ(camera_command(camera, VERSION_REQUEST, sizeof VERSION_REQUEST, response, sizeof response), DriverResult::device_status(0x81));
    EXPECT_TRUE(log->has_line("usb_camera_command_us: command 0x0f - invalid return code 0x81, expected 0x80"));

    run("fault " + node + " status 0x0f 0x00 count=1");
    size_t received = 0;
    EXPECT_EQ(usb_camera_command_us(camera, VERSION_REQUEST, sizeof VERSION_REQUEST, response, sizeof response,
                                    received),
              DriverResult::device_status(0x00));
    EXPECT_EQ(received, 3u);
    EXPECT_TRUE(log->has_line("usb_camera_command_us: command 0x0f - invalid return code 0x00, expected 0x80"));

    // The request without bytes is named 0xff in messages.
    run("fault " + node + " status 0xff 0xc0 count=1");
    EXPECT_EQ(camera_command(camera, nullptr, 0, response, 1), DriverResult::device_status(0xC0));
    EXPECT_TRUE(log->has_line("usb_camera_command_us: command 0xff - invalid return code 0xc0, expected 0x80"));
}

TEST_F(Transport, ReceivedLengthIsTheCamerasWithinTheCapacity) {
    uint8_t response[8];
    memset(response, 0xEE, sizeof response);
    size_t received = 0;
    // Capacity 0: nothing expected, no status looked at, though the camera
    // would answer with a bad one.
    run("fault " + node + " status 0x0f 0x00");
    EXPECT_EQ(usb_camera_command_us(camera, VERSION_REQUEST, sizeof VERSION_REQUEST, nullptr, 0, received), OK);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(log->text().find("invalid return code"), std::string::npos);
    run("fault " + node + " clear");

    // A capacity smaller than the answer cuts it; status still checked.
    EXPECT_EQ(usb_camera_command_us(camera, VERSION_REQUEST, sizeof VERSION_REQUEST, response, 2, received), OK);
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(response[2], 0xEE);
    // A larger one is not filled up.
    EXPECT_EQ(usb_camera_command_us(camera, VERSION_REQUEST, sizeof VERSION_REQUEST, response, sizeof response,
                                    received),
              OK);
    EXPECT_EQ(received, 3u);
}

TEST_F(Transport, VanishedOrClosedNodeFailsWithTheIoctlError) {
    uint8_t response[3];
    run("unplug " + node);
    EXPECT_EQ(camera_command(camera, VERSION_REQUEST, sizeof VERSION_REQUEST, response, sizeof response), FAILED);
    EXPECT_TRUE(log->has_line("cannot perform ioctl: No such device, ret: 19")) << log->text();
    EXPECT_FALSE(camera.frame_lock.is_locked());

    // After the node was closed nothing goes to descriptor 0.
    ASSERT_EQ(close_camera(camera, false), 0);
    EXPECT_EQ(camera_command(camera, VERSION_REQUEST, sizeof VERSION_REQUEST, response, sizeof response), FAILED);
    EXPECT_TRUE(log->has_line("cannot perform ioctl: Bad file descriptor, ret: 9")) << log->text();
}

TEST_F(Transport, ReadOkGoesOnlyToNewInterfaceCamerasEvenDuringATransfer) {
    camera.frame_lock.lock();  // the readout calls it while holding the lock
    const uint64_t before = received_by_camera();
    cmos_readok(camera);
    EXPECT_EQ(received_by_camera(), before + 1);

    run("fault " + node + " status 0xff 0x81 count=1");
    cmos_readok(camera);
    EXPECT_TRUE(log->has_line("cmos_readok: invalid return code: 0x81, expected 0x80"));
    run("fault " + node + " ioctl command count=1");
    cmos_readok(camera);
    EXPECT_TRUE(log->has_line("cannot perform ioctl: No such device, ret: 19"));
    EXPECT_TRUE(camera.frame_lock.is_locked());
    camera.frame_lock.unlock();

    const std::string old_node = run("plug camera 1029");
    CameraRecord old_camera;
    ASSERT_EQ(open_camera(old_node.c_str(), old_camera), 0);
    const uint64_t old_before = device(old_node)->commands_received.load();
    cmos_readok(old_camera);
    EXPECT_EQ(device(old_node)->commands_received.load(), old_before);
}

}  // namespace
