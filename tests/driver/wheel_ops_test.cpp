// Standalone wheels on the virtual box: opening and identification, moves
// over both wheels of a double wheel, counts, and failed exchanges.
#include <fcntl.h>
#include <libusb.h>

#include <cstring>
#include <utility>

#include "driver/transport.h"
#include "driver/wheel_ops.h"
#include "tests/driver/driver_box.h"

namespace {

class WheelOps : public DriverBox {
protected:
    void SetUp() override {
        DriverBox::SetUp();
        path = run("plug wheel id=0x01020304 filters=5 filters2=7 desc=\"Twin  wheel\" ser=W-17 move_ms=0");
        ASSERT_EQ(open_wheel(path.c_str(), wheel), 0);
        virtual_wheel = device(path);
    }

    void TearDown() override {
        close_wheel(wheel, true);
        DriverBox::TearDown();
    }

    // Where the virtual wheel's two wheels stand.
    std::pair<int, int> positions() {
        std::lock_guard lock(virtual_wheel->mutex);
        return {virtual_wheel->wheel->position(), virtual_wheel->wheel->position2()};
    }

    // The handle of the wheel's open port; null while closed.
    platform::UsbHandle* handle() const {
        const WheelPortRef port = wheel.port.get();
        return port ? port->handle.get() : nullptr;
    }

    std::string path;
    WheelRecord wheel;
    std::shared_ptr<sim::Device> virtual_wheel;
};

TEST_F(WheelOps, OpenIdentifiesTheWheelAndClaimsInterfaceZero) {
    EXPECT_STREQ(wheel.path, path.c_str());
    EXPECT_NE(handle(), nullptr);
    EXPECT_EQ(wheel.info.id, 0x01020304u);
    EXPECT_EQ(wheel.info.filters, 5);
    EXPECT_EQ(wheel.info.filters2, 7);
    EXPECT_STREQ(wheel.info.desc, "Twin  wheel");
    EXPECT_STREQ(wheel.info.ser, "W-17");
    EXPECT_EQ(wheel.info.vid, 0x1347);
    EXPECT_EQ(wheel.info.pid, 0x0CF0);
    EXPECT_EQ(wheel.pid, 0x0CF0u);

    // Nobody else gets the interface while the wheel is open.
    platform::Platform& p = platform::current();
    const int fd = p.node_open(path.c_str(), O_RDWR);
    platform::UsbHandle* other = nullptr;
    ASSERT_EQ(p.usb_wrap_sys_device(fd, &other), 0);
    EXPECT_EQ(p.usb_claim_interface(other, 0), LIBUSB_ERROR_BUSY);

    EXPECT_EQ(close_wheel(wheel, false), 0);
    EXPECT_TRUE(wheel.port.empty());
    EXPECT_STREQ(wheel.path, path.c_str());
    EXPECT_EQ(wheel.info.id, 0x01020304u);
    EXPECT_EQ(p.usb_claim_interface(other, 0), 0);  // released
    p.usb_close(other);
    p.node_close(fd);

    EXPECT_EQ(close_wheel(wheel, true), 0);
    EXPECT_STREQ(wheel.path, "");
    EXPECT_EQ(wheel.pid, 0u);
    const WheelInfo zero{};
    EXPECT_EQ(memcmp(&wheel.info, &zero, sizeof zero), 0);
}

TEST_F(WheelOps, IdentificationMustBeExactly41Bytes) {
    WheelInfo info;
    memset(&info, 0x55, sizeof info);
    run("fault " + path + " bulk in short=40 count=1");
    EXPECT_EQ(usb_wheel_info(handle(), info), -1);
    const WheelInfo zero{};
    EXPECT_EQ(memcmp(&info, &zero, sizeof zero), 0);

    memset(&info, 0x55, sizeof info);
    run("fault " + path + " bulk out fail count=1");
    EXPECT_EQ(usb_wheel_info(handle(), info), -1);
    EXPECT_EQ(memcmp(&info, &zero, sizeof zero), 0);
    EXPECT_EQ(usb_wheel_info(nullptr, info), -1);

    ASSERT_EQ(usb_wheel_info(handle(), info), 0);
    EXPECT_EQ(info.filters2, 7);
}

TEST_F(WheelOps, PositionsAreSplitOverTheTwoWheels) {
    const std::pair<uint32_t, std::pair<int, int>> moves[] = {
        {4, {4, 0}}, {5, {0, 1}}, {11, {0, 7}}, {0, {0, 0}}, {6, {0, 2}}, {3, {3, 0}},
    };
    for (const auto& [position, expected] : moves) {
        EXPECT_EQ(wheel_set_position(wheel, position), OK) << position;
        EXPECT_EQ(positions(), expected) << position;
    }
    // No request byte carries 300: nothing is sent, the wheel stays.
    EXPECT_EQ(wheel_set_position(wheel, 300), REFUSED);
    EXPECT_EQ(positions(), std::make_pair(3, 0));

    EXPECT_EQ(wheel_set_positions(wheel, 2, 6), OK);
    EXPECT_EQ(positions(), std::make_pair(2, 6));
}

TEST_F(WheelOps, CountsFromTheWheelChangeLaterSplits) {
    // A record that believes the first wheel has 3 positions.
    wheel.info.filters = 3;
    ASSERT_EQ(wheel_set_position(wheel, 4), OK);
    EXPECT_EQ(positions(), std::make_pair(0, 2));

    int first = -1, second = -1;
    ASSERT_EQ(wheel_get_counts(wheel, first, second), OK);
    EXPECT_EQ(first, 5);
    EXPECT_EQ(second, 7);
    EXPECT_EQ(wheel.info.filters, 5);
    EXPECT_EQ(wheel.info.filters2, 7);
    ASSERT_EQ(wheel_set_position(wheel, 4), OK);
    EXPECT_EQ(positions(), std::make_pair(4, 0));
}

TEST_F(WheelOps, FailedExchanges) {
    int first = -1, second = -1;
    // A reply shorter than asked fails, good status or not.
    run("fault " + path + " bulk in short=2 count=1");
    EXPECT_EQ(wheel_get_counts(wheel, first, second), FAILED);
    EXPECT_EQ(first, -1);
    EXPECT_EQ(wheel.info.filters, 5);
    EXPECT_TRUE(log->has_line("libusb_bulk_transfer failed(): cmd: 0x10, write_res: false, read_res: 0, Success, "
                              "in_transferred: 1, out_transferred: 2, in_len: 1, out_len: 3"))
        << log->text();

    run("fault " + path + " bulk out fail count=1");
    EXPECT_EQ(wheel_set_positions(wheel, 1, 0), FAILED);
    EXPECT_NE(log->text().find("cmd: 0x11, write_res: true, read_res: -1, "), std::string::npos) << log->text();

    // A position the wheel refuses: status 0x81.
    EXPECT_EQ(wheel_set_positions(wheel, 5, 0), DriverResult::device_status(0x81));
    EXPECT_TRUE(log->has_line("usb_wheel_command 0x11: invalid return code: 0x81, expected 0x80"));
    run("fault " + path + " status 0x10 0x00 count=1");
    EXPECT_EQ(wheel_get_counts(wheel, first, second), DriverResult::device_status(0x00));
    EXPECT_EQ(wheel.info.filters, 5);

    // Gone: transfers fail, and a closed wheel sends nothing at all.
    run("unplug " + path);
    EXPECT_EQ(wheel_set_position(wheel, 1), FAILED);
    EXPECT_EQ(close_wheel(wheel, false), 0);
    EXPECT_EQ(wheel_set_position(wheel, 1), FAILED);
    EXPECT_EQ(usb_wheel_command(wheel, nullptr, 0, nullptr, 0), OK);
}

TEST_F(WheelOps, OpenFailures) {
    const std::string camera = run("plug camera 3120");
    WheelRecord other;
    EXPECT_EQ(open_wheel("/dev/bus/usb/001/099", other), -ENOENT);
    EXPECT_TRUE(log->has_line("open() failed: No such file or directory"));
    // Interface 0 is taken by `wheel`: the second open gives up cleanly.
    const int descriptors = open_descriptor_count();
    EXPECT_EQ(open_wheel(path.c_str(), other), -1);
    EXPECT_EQ(open_descriptor_count(), descriptors);
    EXPECT_STREQ(other.path, "");
    EXPECT_TRUE(other.port.empty());
    // A camera node is no USB device.
    EXPECT_EQ(open_wheel(camera.c_str(), other), -1);
    EXPECT_NE(log->text().find("Could not wrap sys device: "), std::string::npos);
    EXPECT_EQ(open_descriptor_count(), descriptors);

    // A wheel that can't tell who it is is not kept half open: node, handle
    // and interface are given up, the record stays a free slot.
    close_wheel(wheel, true);
    const int without_wheel = open_descriptor_count();
    run("fault " + path + " bulk in fail count=1");
    EXPECT_EQ(open_wheel(path.c_str(), other), -1);
    EXPECT_TRUE(log->has_line("Could not obtain wheel " + path + " info"));
    EXPECT_EQ(open_descriptor_count(), without_wheel);
    EXPECT_STREQ(other.path, "");
    EXPECT_TRUE(other.port.empty());
    ASSERT_EQ(open_wheel(path.c_str(), other), 0) << "the interface was released";
    close_wheel(other, true);
}

}  // namespace
