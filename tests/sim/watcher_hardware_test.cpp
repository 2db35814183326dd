// What lineward reads on the virtual box: the USB button, the parallel
// port, the board name and the legacy and CDC lines, through the platform.
#include <fcntl.h>
#include <libusb.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <gtest/gtest.h>

#include "sim/virtual_box.h"
#include "sim/virtual_platform.h"

namespace {

using namespace sim;

TEST(WatcherHardware, ControlLinesRefused) {
    VirtualBox box;
    for (const char* line : {"button", "button usb push", "button usb tap 0", "button parallel press 2", "board",
                             "board name", "board X4", "tty ttyS1 absent", "tty ttyS0 gone", "tty ttyS0 send",
                             "parallel maybe", "plug button pressed=2", "plug button open", "modem c cts=1",
                             "button usb", "button /dev/bus/usb/001/002 tap"})
        EXPECT_TRUE(box.execute(line).starts_with("error: ")) << line;
}

TEST(WatcherHardware, ButtonWiringsThroughThePlatform) {
    auto box = std::make_shared<VirtualBox>();
    auto p = make_virtual_platform(box);
    ASSERT_EQ(box->execute("plug button"), "ok /dev/bus/usb/001/002\n");

    // USB: one byte per vendor request, 0 while pressed; a tap is one sample.
    std::vector<platform::UsbDeviceEntry> devices;
    ASSERT_EQ(p->usb_list_devices(devices), 0);
    EXPECT_TRUE(std::any_of(devices.begin(), devices.end(),
                            [](const auto& d) { return d.vendor == 0x1347 && d.product == 0x0002; }));
    const int fd = p->node_open("/dev/bus/usb/001/002", O_RDWR);
    platform::UsbHandle* handle = nullptr;
    ASSERT_EQ(p->usb_wrap_sys_device(fd, &handle), 0);
    const auto read_button = [&] {
        uint8_t state = 0xAA;
        return p->usb_control_transfer(handle, 0xC0, 0x81, 0, 0, &state, 1, 500) == 1 ? state : -1;
    };
    EXPECT_EQ(read_button(), 1);
    EXPECT_EQ(box->execute("button usb tap"), "pressed=0 taps=1 samples=1\nok\n");
    EXPECT_EQ(read_button(), 0);
    EXPECT_EQ(read_button(), 1);
    uint8_t byte = 0;
    EXPECT_EQ(p->usb_control_transfer(handle, 0xC0, 0x80, 0, 0, &byte, 1, 500), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(box->execute("unplug /dev/bus/usb/001/002"), "ok\n");
    EXPECT_EQ(read_button(), -1);
    p->usb_close(handle);
    p->node_close(fd);
    ASSERT_EQ(box->execute("plug button openfail"), "ok /dev/bus/usb/001/003\n");
    errno = 0;
    EXPECT_EQ(p->node_open("/dev/bus/usb/001/003", O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);

    // Parallel port: the status follows data bit 0 only while held.
    EXPECT_EQ(p->io_permission(0xFFFF, 2, 1), -1);
    ASSERT_EQ(p->io_permission(0x378, 2, 1), 0);
    const auto status_with = [&](uint8_t data) {
        p->io_out(data, 0x378);
        return p->io_in(0x379);
    };
    EXPECT_EQ(status_with(0), status_with(1));
    box->execute("button parallel press");
    EXPECT_NE(status_with(0), status_with(1));
    box->execute("parallel absent");
    EXPECT_EQ(status_with(0), 0xFF);
    EXPECT_EQ(status_with(1), 0xFF);
    EXPECT_EQ(p->io_permission(0x378, 2, 0), 0);

    // The board-name file as sysfs gives it, missing, or failing its read.
    char name[129] = {};
    bool opened = false;
    box->execute("board name=\"Box N4200T\"");
    EXPECT_EQ(p->read_system_file("/sys/devices/virtual/dmi/id/board_name", name, 128, opened), 11);
    EXPECT_STREQ(name, "Box N4200T\n");
    struct {
        const char* line;
        bool opened;
        int error;
    } failures[] = {{"board absent", false, ENOENT}, {"board unreadable", true, EIO}};
    for (const auto& f : failures) {
        box->execute(f.line);
        errno = 0;
        EXPECT_EQ(p->read_system_file("/sys/devices/virtual/dmi/id/board_name", name, 128, opened), -1) << f.line;
        EXPECT_EQ(opened, f.opened) << f.line;
        EXPECT_EQ(errno, f.error) << f.line;
    }

    // The legacy port: a terminal whose DSR the button pulls up.
    const int tty = p->serial_open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(tty, 0);
    termios attributes;
    EXPECT_EQ(tcgetattr(tty, &attributes), 0);
    int bits = 0;
    box->execute("button ttyS0 tap");
    ASSERT_EQ(p->serial_ioctl(tty, TIOCMGET, &bits), 0);
    EXPECT_TRUE(bits & TIOCM_DSR);
    ASSERT_EQ(p->serial_ioctl(tty, TIOCMGET, &bits), 0);
    EXPECT_FALSE(bits & TIOCM_DSR);
    EXPECT_EQ(p->serial_close(tty), 0);
    struct {
        const char* line;
        const char* path;
        int open_error;  // 0: opens, but is no terminal
    } states[] = {{"tty ttyS0 absent", "/dev/ttyS0", ENOENT},
                  {"tty ttyS0 nouart", "/dev/ttyS0", EIO},
                  {"tty ttyACM0 notty", "/dev/ttyACM0", 0}};
    for (const auto& s : states) {
        box->execute(s.line);
        errno = 0;
        const int line = p->serial_open(s.path, O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(errno, s.open_error) << s.line;
        if (line >= 0) {
            EXPECT_EQ(tcgetattr(line, &attributes), -1);
            EXPECT_EQ(errno, ENOTTY);
            p->serial_close(line);
        }
    }
}

}  // namespace
