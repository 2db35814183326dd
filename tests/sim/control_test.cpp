// The control language: the pure parser, and lines run against a box.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>

#include "sim/control.h"
#include "sim/virtual_box.h"

namespace {

using namespace sim;

ControlCommand parse(const std::string& line) {
    std::string error;
    auto command = parse_control_line(line, error);
    EXPECT_TRUE(command) << line << ": " << error;
    return command.value_or(List{});
}

TEST(ControlParser, PlugCameraTakesEveryOption) {
    const auto command = parse(
        "plug camera 0x0C30 id=7 nofw width=640 height=480 pixelw=5000 pixelh=5100 filters=3 flags=0x11 aux=2 "
        "desc=\"A cam\" ser=S chip=C ver128=0x0102 ver131=12 pattern=sky");
    const CameraOptions& o = std::get<PlugCamera>(command).options;
    EXPECT_EQ(o.product_id, 3120);
    EXPECT_EQ(o.id, 7u);
    EXPECT_TRUE(o.no_firmware);
    EXPECT_EQ(o.width, 640);
    EXPECT_EQ(o.height, 480);
    EXPECT_EQ(o.pixel_w, 5000);
    EXPECT_EQ(o.pixel_h, 5100);
    EXPECT_EQ(o.filters, 3);
    EXPECT_EQ(o.flags, 0x11);
    EXPECT_EQ(o.aux, 2);
    EXPECT_EQ(o.desc, "A cam");
    EXPECT_EQ(o.versions[0], 0x0102);
    EXPECT_FALSE(o.versions[1]);
    EXPECT_EQ(o.versions[3], 12);
    EXPECT_EQ(o.pattern, Pattern::sky);
}

TEST(ControlParser, OtherCommands) {
    const auto wheel = std::get<PlugWheel>(parse("plug wheel id=3 filters=5 filters2=7 move_ms=0"));
    EXPECT_EQ(wheel.id, 3u);
    EXPECT_EQ(wheel.profile.filters2, 7);
    EXPECT_EQ(wheel.profile.move_per_position.count(), 0);
    EXPECT_EQ(std::get<Unplug>(parse("  unplug   /dev/telva3 ")).path, "/dev/telva3");
    const auto fault = std::get<SetFault>(parse("fault /dev/telva0 status 0x2a 129 count=3")).fault;
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->command, 0x2A);
    EXPECT_EQ(fault->status_byte, 0x81);
    EXPECT_EQ(fault->count, 3);
    EXPECT_EQ(std::get<SetFault>(parse("fault /dev/bus/usb/001/002 bulk in short=40")).fault->limit, 40);
    EXPECT_EQ(std::get<SetFault>(parse("fault /dev/telva0 ioctl fwrecord")).fault->request,
              DriverRequest::firmware_record);
    const auto delay = std::get<SetFault>(parse("fault /dev/telva0 delay 250 count=2")).fault;
    EXPECT_EQ(delay->kind, Fault::Kind::delay);
    EXPECT_EQ(delay->limit, 250);
    EXPECT_EQ(delay->count, 2);
    EXPECT_FALSE(std::get<SetFault>(parse("fault /dev/telva0 clear")).fault);
    const auto modem = std::get<SetModem>(parse("modem b dsr=1 cts=0"));
    EXPECT_EQ(modem.position, 1);
    EXPECT_EQ(modem.dsr, true);
    EXPECT_EQ(modem.cts, false);
    EXPECT_FALSE(modem.ri);
}

TEST(ControlParser, MalformedLinesAreRefusedAndChangeNothing) {
    const char* bad[] = {
        "",
        "   ",
        "dance",
        "plug",
        "plug toaster",
        "plug camera",
        "plug camera 0",
        "plug camera 65536",
        "plug camera 12x",
        "plug camera 0x",
        "plug camera 3312",
        "plug camera 3120 width=0",
        "plug camera 3120 width=70000",
        "plug camera 3120 width=-1",
        "plug camera 3120 id=1 id=2",
        "plug camera 3120 colour=1",
        "plug camera 3120 nofw=1",
        "plug camera 3120 =5",
        "plug camera 3120 desc=\"unterminated",
        "plug camera 3120 desc=fifteen_chars__",
        "plug camera 3120 pattern=moon",
        "plug camera 3120 flags=0x100",
        "plug camera 3120 filters=256",
        "plug camera 3120 ver132=1",
        "plug camera 3120 desc=\"a\tb\"",
        "plug camera 3120 desc=a\x01b",
        "plug wheel filters=0",
        "plug wheel filters2=33",
        "plug wheel extra",
        "unplug",
        "unplug /dev/telva0 /dev/telva1",
        "unplug /dev/telva7",
        "list all",
        "fault",
        "fault /dev/telva0",
        "fault /dev/telva0 explode",
        "fault /dev/telva0 status 0x100 0x81",
        "fault /dev/telva0 status 15",
        "fault /dev/telva0 status 15 0x81 count=0",
        "fault /dev/telva0 ioctl sideways",
        "fault /dev/telva0 read",
        "fault /dev/telva0 bulk up fail",
        "fault /dev/telva0 bulk in short=x",
        "fault /dev/telva0 delay",
        "fault /dev/telva0 delay 60001",
        "fault /dev/telva0 clear now",
        "fault /dev/telva9 clear",
        "guide",
        "guide /dev/telva9",
        "cooler /dev/telva0 1",
        "cooler /dev/telva0 manual",
        "cooler /dev/telva0 40000 25536",
        "cooler /dev/telva9 1 1",
        "modem",
        "modem c cts=1",
        "modem a",
        "modem a cts=2",
        "modem a rts=1",
    };
    VirtualBox box;
    box.execute("plug camera 3120");
    box.execute("plug wheel");
    const std::string before = box.execute("list");
    for (const char* line : bad) {
        const std::string reply = box.execute(line);
        EXPECT_EQ(reply.rfind("error: ", 0), 0u) << '"' << line << "\" -> " << reply;
        EXPECT_EQ(reply.find('\n'), reply.size() - 1) << line;
        EXPECT_EQ(box.execute("list"), before) << line;
    }
}

TEST(ControlBox, SetPointsAndCommandCounts) {
    VirtualBox box;
    EXPECT_EQ(box.execute("plug camera 3216"), "ok /dev/telva0\n");
    EXPECT_EQ(box.execute("setpoints /dev/telva0"), "ok\n");
    EXPECT_EQ(box.execute("commands /dev/telva0"), "0\nok\n");
    EXPECT_EQ(box.execute("setpoints /dev/telva9"), "error: no camera at /dev/telva9\n");
    EXPECT_EQ(box.execute("commands"), "error: usage: commands PATH\n");
    {
        bool usb_view = false;
        std::shared_ptr<Device> device = box.find("/dev/telva0", usb_view);
        ASSERT_TRUE(device);
        std::lock_guard hold(device->mutex);
        // -10 degrees as the new-interface cameras' set point word.
        const uint16_t raw = static_cast<uint16_t>(-10 * 455.1048652 + 39046.828188 + 0.5);
        const uint8_t request[] = {0x0C, static_cast<uint8_t>(raw), static_cast<uint8_t>(raw >> 8)};
        ASSERT_EQ(0x80, device->camera->command(request).bytes.at(0));
    }
    const std::string listed = box.execute("setpoints /dev/telva0");
    double celsius = 0;
    long long at = -1;
    ASSERT_EQ(2, sscanf(listed.c_str(), "%lld %lf", &at, &celsius)) << listed;
    EXPECT_GE(at, 0);
    EXPECT_NEAR(-10.0, celsius, 0.01);
    EXPECT_TRUE(listed.ends_with("\nok\n"));
}

TEST(ControlBox, DefaultsAndListing) {
    VirtualBox box;
    EXPECT_EQ(box.execute("plug camera 3120"), "ok /dev/telva0\n");
    EXPECT_EQ(box.execute("plug camera 3136 id=9"), "ok /dev/telva1\n");
    EXPECT_EQ(box.execute("plug camera 3137 id=9"), "error: camera id 9 is in use\n");
    EXPECT_EQ(box.execute("plug camera 4000"), "ok /dev/telva2\n");
    EXPECT_EQ(box.execute("plug wheel filters2=7"), "ok /dev/bus/usb/001/005\n");
    EXPECT_EQ(box.execute("modem a cts=1 dcd=1"), "ok\n");
    EXPECT_EQ(box.execute("fault /dev/telva1 read 100 count=1"), "ok\n");
    EXPECT_EQ(box.execute("list"),
              "camera /dev/telva0 usb=/dev/bus/usb/001/002 pid=3120 id=1001 type=22 class=9 firmware=1 "
              "size=6276x4210 filters=0\n"
              "camera /dev/telva1 usb=/dev/bus/usb/001/003 pid=3136 id=9 type=24 class=10 firmware=1 "
              "size=4160x4096 filters=0 fault=\"read 100 count=1\"\n"
              "camera /dev/telva2 usb=/dev/bus/usb/001/004 pid=4000 id=1002 type=0 class=0 firmware=1 "
              "size=1024x1024 filters=0\n"
              "wheel /dev/bus/usb/001/005 id=501 filters=5 filters2=7 position=0,0\n"
              "serial a /dev/ttyS2 dtr=0 rts=0 cts=1 dsr=0 dcd=1 ri=0 break=0\n"
              "serial b /dev/ttyS3 dtr=0 rts=0 cts=0 dsr=0 dcd=0 ri=0 break=0\n"
              "ok\n");
}

}  // namespace
