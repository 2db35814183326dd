// Virtual standalone wheels through the USB calls.
#include <fcntl.h>
#include <libusb.h>

#include <chrono>

#include "sim_fixture.h"

namespace {

using simtest::SimBox;

struct Wheel {
    Wheel(SimBox& sim, const std::string& line) : p(*sim.platform) {
        path = sim.run(line);
        fd = p.node_open(path.c_str(), O_RDWR);
        EXPECT_GT(fd, 0);
        EXPECT_EQ(p.usb_wrap_sys_device(fd, &handle), 0);
        EXPECT_EQ(p.usb_detach_kernel_driver(handle, 0), LIBUSB_ERROR_NOT_FOUND);
        EXPECT_EQ(p.usb_claim_interface(handle, 0), 0);
    }
    ~Wheel() {
        p.usb_close(handle);
        p.node_close(fd);
    }

    int send(std::vector<uint8_t> request) {
        int moved = -1;
        const int result = p.usb_bulk_transfer(handle, 0x01, request.data(), static_cast<int>(request.size()), &moved,
                                               1000);
        return result == 0 ? moved : result;
    }

    std::vector<uint8_t> receive(int length, int& result, unsigned timeout_ms = 1000) {
        std::vector<uint8_t> buffer(static_cast<size_t>(length));
        int moved = -1;
        result = p.usb_bulk_transfer(handle, 0x82, buffer.data(), length, &moved, timeout_ms);
        buffer.resize(static_cast<size_t>(std::max(moved, 0)));
        return buffer;
    }

    platform::Platform& p;
    std::string path;
    int fd = -1;
    platform::UsbHandle* handle = nullptr;
};

TEST(VirtualWheel, IdentificationCountsAndDescriptor) {
    SimBox sim;
    Wheel wheel(sim, "plug wheel id=0x01020304 filters=5 filters2=7 desc=\"Twin\" ser=W42");
    EXPECT_EQ(wheel.path, "/dev/bus/usb/001/002");
    uint16_t vendor = 0, product = 0;
    EXPECT_EQ(wheel.p.usb_device_ids(wheel.handle, vendor, product), 0);
    EXPECT_EQ(vendor, 0x1347);
    EXPECT_EQ(product, 0x0CF0);

    EXPECT_EQ(wheel.send({0x1A}), 1);
    int result = 0;
    std::vector<uint8_t> answer = wheel.receive(41, result);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(answer.size(), 41u);
    EXPECT_EQ(std::vector<uint8_t>(answer.begin(), answer.begin() + 9),
              (std::vector<uint8_t>{0x80, 0x04, 0x03, 0x02, 0x01, 5, 7, 0, 0}));
    EXPECT_EQ(std::string(answer.begin() + 9, answer.begin() + 25), "Twin            ");
    EXPECT_EQ(std::string(answer.begin() + 25, answer.end()), "W42             ");

    EXPECT_EQ(wheel.send({0x10}), 1);
    EXPECT_EQ(wheel.receive(3, result), (std::vector<uint8_t>{0x80, 5, 7}));
    // An answer bigger than the buffer is an overflow.
    wheel.send({0x1A});
    wheel.receive(3, result);
    EXPECT_EQ(result, LIBUSB_ERROR_OVERFLOW);
}

TEST(VirtualWheel, MovesTakeTheirTimeAndCheckPositions) {
    SimBox sim;
    Wheel wheel(sim, "plug wheel filters=5 filters2=7 move_ms=40");
    int result = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wheel.send({0x11, 2, 0}), 3);
    EXPECT_EQ(wheel.receive(1, result), (std::vector<uint8_t>{0x80}));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(78));  // two positions
    EXPECT_NE(sim.box->execute("list").find("position=2,0"), std::string::npos);
    // Position 5 of five filters, and 8 on a second wheel of seven: refused.
    for (std::vector<uint8_t> move : {std::vector<uint8_t>{0x11, 5, 0}, {0x11, 0, 8}, {0x11, 1}}) {
        wheel.send(move);
        EXPECT_EQ(wheel.receive(1, result), (std::vector<uint8_t>{0x81}));
    }
    EXPECT_NE(sim.box->execute("list").find("position=2,0"), std::string::npos);
    // Nothing asked, nothing comes.
    wheel.receive(1, result, 20);
    EXPECT_EQ(result, LIBUSB_ERROR_TIMEOUT);
}

TEST(VirtualWheel, BulkAndStatusFaults) {
    SimBox sim;
    Wheel wheel(sim, "plug wheel move_ms=0");
    int result = 0;
    sim.run("fault " + wheel.path + " bulk in short=40 count=1");
    wheel.send({0x1A});
    EXPECT_EQ(wheel.receive(41, result).size(), 40u);
    EXPECT_EQ(result, 0);
    sim.run("fault " + wheel.path + " bulk out fail count=1");
    EXPECT_EQ(wheel.send({0x10}), LIBUSB_ERROR_IO);
    sim.run("fault " + wheel.path + " bulk out short=0 count=1");
    EXPECT_EQ(wheel.send({0x10}), 0);
    sim.run("fault " + wheel.path + " status 0x11 0x85 count=1");
    wheel.send({0x11, 1, 0});
    EXPECT_EQ(wheel.receive(1, result), (std::vector<uint8_t>{0x85}));
    sim.run("fault " + wheel.path + " bulk in fail count=1");
    wheel.send({0x10});
    wheel.receive(3, result);
    EXPECT_EQ(result, LIBUSB_ERROR_IO);
    wheel.send({0x10});
    EXPECT_EQ(wheel.receive(3, result).size(), 3u);
    // Camera faults make no sense on a wheel.
    EXPECT_EQ(sim.box->execute("fault " + wheel.path + " ioctl command").rfind("error: ", 0), 0u);
}

TEST(VirtualWheel, HandlesClaimsAndUnplug) {
    SimBox sim;
    Wheel wheel(sim, "plug wheel");
    platform::UsbHandle* second = nullptr;
    ASSERT_EQ(wheel.p.usb_wrap_sys_device(wheel.fd, &second), 0);
    EXPECT_EQ(wheel.p.usb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(wheel.p.usb_claim_interface(second, 1), LIBUSB_ERROR_NOT_FOUND);
    wheel.p.usb_close(second);
    // A camera node is no usbfs node; a camera's USB device is held by its driver.
    const std::string node = sim.run("plug camera 3120");
    const int camera_fd = wheel.p.node_open(node.c_str(), O_RDWR);
    EXPECT_EQ(wheel.p.usb_wrap_sys_device(camera_fd, &second), LIBUSB_ERROR_IO);
    const int usb_fd = wheel.p.node_open("/dev/bus/usb/001/003", O_RDWR);
    ASSERT_EQ(wheel.p.usb_wrap_sys_device(usb_fd, &second), 0);
    EXPECT_EQ(wheel.p.usb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    wheel.p.usb_close(second);

    sim.run("unplug " + wheel.path);
    int result = 0;
    EXPECT_EQ(wheel.send({0x10}), LIBUSB_ERROR_NO_DEVICE);
    wheel.receive(3, result);
    EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(wheel.p.usb_release_interface(wheel.handle, 0), LIBUSB_ERROR_NO_DEVICE);
}

}  // namespace
