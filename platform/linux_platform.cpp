// The real platform: thin wrappers over libusb, libudev and the kernel.
#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <libusb.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define TELVAD_HAVE_IO_PORTS 1
#endif

#include <cerrno>

#include <chrono>
#include <mutex>
#include <shared_mutex>

#include "platform/platform.h"

namespace platform {

namespace {

libusb_device_handle* native(UsbHandle* handle) {
    return reinterpret_cast<libusb_device_handle*>(handle);
}

std::string text_or_empty(const char* text) { return text ? text : ""; }

class LinuxPlatform final : public Platform {
public:
    ~LinuxPlatform() override { hotplug_close(); }

    int usb_init() override { return libusb_init(nullptr); }

    void usb_exit() override {
        // Other threads may be inside libusb while the daemon shuts down;
        // releasing the context under them would crash the process on its
        // way out.
        std::unique_lock release(usb_guard_, std::defer_lock);
        if (!release.try_lock_for(std::chrono::seconds(1)))
            return;
        libusb_exit(nullptr);
        usb_released_ = true;
    }
    std::string usb_error_text(int code) const override { return libusb_strerror(code); }
    std::string usb_error_name(int code) const override { return libusb_error_name(code); }

    int usb_list_devices(std::vector<UsbDeviceEntry>& devices) override {
        std::shared_lock in_flight(usb_guard_);
        if (usb_released_)
            return LIBUSB_ERROR_NO_DEVICE;
        libusb_device** list = nullptr;
        ssize_t count = libusb_get_device_list(nullptr, &list);
        if (count < 0)
            return static_cast<int>(count);
        devices.clear();
        for (ssize_t i = 0; i < count; ++i) {
            UsbDeviceEntry entry;
            entry.bus = libusb_get_bus_number(list[i]);
            entry.address = libusb_get_device_address(list[i]);
            libusb_device_descriptor descriptor;
            if (libusb_get_device_descriptor(list[i], &descriptor) == 0) {
                entry.has_descriptor = true;
                entry.vendor = descriptor.idVendor;
                entry.product = descriptor.idProduct;
            }
            devices.push_back(entry);
        }
        libusb_free_device_list(list, 1);
        return 0;
    }

    int usb_wrap_sys_device(int fd, UsbHandle** handle) override {
        std::shared_lock in_flight(usb_guard_);
        if (usb_released_)
            return LIBUSB_ERROR_NO_DEVICE;
        libusb_device_handle* wrapped = nullptr;
        int result = libusb_wrap_sys_device(nullptr, fd, &wrapped);
        *handle = reinterpret_cast<UsbHandle*>(wrapped);
        return result;
    }

    int usb_device_ids(UsbHandle* handle, uint16_t& vendor, uint16_t& product) override {
        std::shared_lock in_flight(usb_guard_);
        if (usb_released_)
            return LIBUSB_ERROR_NO_DEVICE;
        libusb_device_descriptor descriptor;
        int result = libusb_get_device_descriptor(libusb_get_device(native(handle)), &descriptor);
        if (result == 0) {
            vendor = descriptor.idVendor;
            product = descriptor.idProduct;
        }
        return result;
    }

    int usb_detach_kernel_driver(UsbHandle* handle, int interface) override {
        return guarded([&] { return libusb_detach_kernel_driver(native(handle), interface); });
    }
    int usb_claim_interface(UsbHandle* handle, int interface) override {
        return guarded([&] { return libusb_claim_interface(native(handle), interface); });
    }
    int usb_release_interface(UsbHandle* handle, int interface) override {
        return guarded([&] { return libusb_release_interface(native(handle), interface); });
    }
    int usb_bulk_transfer(UsbHandle* handle, uint8_t endpoint, uint8_t* data, int length,
                          int* transferred, unsigned timeout_ms) override {
        return guarded([&] { return libusb_bulk_transfer(native(handle), endpoint, data, length, transferred, timeout_ms); });
    }
    int usb_control_transfer(UsbHandle* handle, uint8_t request_type, uint8_t request, uint16_t value,
                             uint16_t index, uint8_t* data, uint16_t length, unsigned timeout_ms) override {
        return guarded([&] {
            return libusb_control_transfer(native(handle), request_type, request, value, index, data, length, timeout_ms);
        });
    }
    void usb_close(UsbHandle* handle) override {
        guarded([&] {
            libusb_close(native(handle));
            return 0;
        });
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

    int hotplug_fd() const override { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

    bool hotplug_receive(HotplugEvent& event) override {
        if (monitor_ == nullptr)
            return false;
        udev_device* device = udev_monitor_receive_device(monitor_);
        if (device == nullptr)
            return false;
        event.action = text_or_empty(udev_device_get_action(device));
        event.devnode = text_or_empty(udev_device_get_devnode(device));
        event.id_vendor = text_or_empty(udev_device_get_sysattr_value(device, "idVendor"));
        event.id_product = text_or_empty(udev_device_get_sysattr_value(device, "idProduct"));
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

    int node_open(const char* path, int flags) override { return open(path, flags); }
    int node_ioctl(int fd, unsigned long request, void* argument) override { return ioctl(fd, request, argument); }
    ssize_t node_read(int fd, void* buffer, size_t length) override { return read(fd, buffer, length); }
    int node_flock(int fd, int operation) override { return flock(fd, operation); }
    int node_close(int fd) override { return close(fd); }

    int list_dev(std::vector<std::string>& names) override {
        DIR* directory = opendir("/dev");
        if (directory == nullptr)
            return -1;
        names.clear();
        while (const dirent* entry = readdir(directory))
            names.emplace_back(entry->d_name);
        closedir(directory);
        return 0;
    }

    int serial_open(const char* path, int flags) override { return open(path, flags); }
    int serial_ioctl(int fd, unsigned long request, void* argument) override {
        return ioctl(fd, request, argument);
    }
    int serial_close(int fd) override { return close(fd); }

    ssize_t read_system_file(const char* path, void* buffer, size_t size, bool& opened) override {
        return read_host_file(path, buffer, size, opened);
    }

#ifdef TELVAD_HAVE_IO_PORTS
    int io_permission(unsigned long from, unsigned long count, int turn_on) override {
        return ioperm(from, count, turn_on);
    }
    uint8_t io_in(uint16_t port) override { return inb(port); }
    void io_out(uint8_t value, uint16_t port) override { outb(value, port); }
#else
    int io_permission(unsigned long, unsigned long, int) override {
        errno = ENOSYS;
        return -1;
    }
    uint8_t io_in(uint16_t) override { return 0xFF; }
    void io_out(uint8_t, uint16_t) override {}
#endif

private:
    // A libusb call, unless the stack has been released.
    template <typename Call>
    int guarded(Call call) {
        std::shared_lock in_flight(usb_guard_);
        return usb_released_ ? LIBUSB_ERROR_NO_DEVICE : call();
    }

    std::shared_timed_mutex usb_guard_;  // shared: a USB call in flight; exclusive: the release
    bool usb_released_ = false;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
};

}  // namespace

std::unique_ptr<Platform> make_linux_platform() { return std::make_unique<LinuxPlatform>(); }

}  // namespace platform
