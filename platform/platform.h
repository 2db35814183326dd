// The doorway to the hardware.
//
// Everything telvad does to USB, udev, camera nodes and serial modem lines
// goes through one Platform, chosen once at start-up: the real Linux calls, or
// the virtual box of the simulator. Code above this layer never knows which
// one runs. Descriptors handed out by either implementation are real kernel
// descriptors, so select() and poll() work on them unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// One udev event of the subsystems "usb" and "usbmisc".
struct HotplugEvent {
    std::string action;   // "add", "remove", ...
    std::string devnode;  // "/dev/telva0", "/dev/bus/usb/001/004", or empty
    uint16_t vendor = 0;  // idVendor, 0 when the device has none
    uint16_t product = 0; // idProduct, 0 when the device has none
};

enum class HotplugOpen { ok, context_failed, monitor_failed };

class Platform {
public:
    virtual ~Platform() = default;

    // USB stack (libusb default context). usb_init returns 0 or a libusb
    // error code; usb_error_text names such a code.
    virtual int usb_init() = 0;
    virtual void usb_exit() = 0;
    virtual std::string usb_error_text(int code) const = 0;

    // Hot-plug source. hotplug_open creates the context and the monitor with
    // its filters, and enables receiving. hotplug_fd is the descriptor to
    // select on (-1 when closed); it belongs to the platform, which closes it
    // in hotplug_close. hotplug_receive takes one pending event; false when
    // none could be read.
    virtual HotplugOpen hotplug_open() = 0;
    virtual int hotplug_fd() const = 0;
    virtual bool hotplug_receive(HotplugEvent& event) = 0;
    virtual void hotplug_close() = 0;
};

// The platform in use. Must be installed before the first call.
Platform& current();

// Installs the platform for the rest of the process; called once at start-up.
void install(std::unique_ptr<Platform> platform);

// The real Linux platform: libusb, libudev and the kernel as they are.
std::unique_ptr<Platform> make_linux_platform();

}  // namespace platform
