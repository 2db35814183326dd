// The real platform: thin wrappers over libusb, libudev and the kernel.
#include <libudev.h>
#include <libusb.h>

#include <cstdlib>

#include "platform/platform.h"

namespace platform {

namespace {

uint16_t hex_attribute(udev_device* device, const char* name) {
    const char* text = udev_device_get_sysattr_value(device, name);
    return text ? static_cast<uint16_t>(strtoul(text, nullptr, 16)) : 0;
}

class LinuxPlatform final : public Platform {
public:
    ~LinuxPlatform() override { hotplug_close(); }

    int usb_init() override { return libusb_init(nullptr); }
    void usb_exit() override { libusb_exit(nullptr); }
    std::string usb_error_text(int code) const override {
        return libusb_strerror(code);
    }

    HotplugOpen hotplug_open() override {
        udev_ = udev_new();
        if (udev_ == nullptr)
            return HotplugOpen::context_failed;
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ == nullptr)
            return HotplugOpen::monitor_failed;
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", nullptr);
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usbmisc", nullptr);
        udev_monitor_enable_receiving(monitor_);
        return HotplugOpen::ok;
    }

    int hotplug_fd() const override {
        return monitor_ ? udev_monitor_get_fd(monitor_) : -1;
    }

    bool hotplug_receive(HotplugEvent& event) override {
        if (monitor_ == nullptr)
            return false;
        udev_device* device = udev_monitor_receive_device(monitor_);
        if (device == nullptr)
            return false;
        const char* action = udev_device_get_action(device);
        const char* node = udev_device_get_devnode(device);
        event.action = action ? action : "";
        event.devnode = node ? node : "";
        // usbmisc nodes carry the ids on their USB parent.
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
        udev_device* source = usb ? usb : device;
        event.vendor = hex_attribute(source, "idVendor");
        event.product = hex_attribute(source, "idProduct");
        udev_device_unref(device);
        return true;
    }

    void hotplug_close() override {
        if (monitor_ != nullptr)
            udev_monitor_unref(monitor_);
        if (udev_ != nullptr)
            udev_unref(udev_);
        monitor_ = nullptr;
        udev_ = nullptr;
    }

private:
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
};

}  // namespace

std::unique_ptr<Platform> make_linux_platform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace platform
