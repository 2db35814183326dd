// The doorway to the hardware.
//
// Everything telvad and lineward do to USB, udev, camera nodes, serial modem
// lines, the board-name file and the legacy I/O ports goes through one
// Platform, chosen once at start-up: the real Linux calls
// (make_linux_platform), or the virtual box of the simulator. Code above this
// layer never knows which one runs. Descriptors handed out by either
// implementation are real kernel descriptors, unique and above 0, so select()
// and poll() work on them unchanged.
//
// Every call may be made from any thread. Calls return what the system call
// or libusb function they stand for returns, with errno set the same way;
// they log nothing themselves (their callers log failures where they occur).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// One udev event of the subsystems "usb" and "usbmisc". Any field may be
// empty when the event does not carry it.
struct HotplugEvent {
    std::string action;      // "add", "remove", ...
    std::string devnode;     // "/dev/telva0", "/dev/bus/usb/001/004", ...
    std::string id_vendor;   // the idVendor attribute text, "1347"
    std::string id_product;  // the idProduct attribute text, "0cf0"
};

enum class HotplugOpen { ok, context_failed, monitor_failed };

// A USB device as the device list shows it.
struct UsbDeviceEntry {
    uint8_t bus = 0;
    uint8_t address = 0;
    bool has_descriptor = false;  // false when the descriptor could not be read
    uint16_t vendor = 0;
    uint16_t product = 0;
};

// An open USB device handle (libusb_device_handle on real hardware). Opaque;
// valid from usb_wrap_sys_device until usb_close.
struct UsbHandle;

class Platform {
public:
    virtual ~Platform() = default;

    // --- USB stack (the libusb default context) -------------------------
    // 0 or a (negative) libusb error code. usb_exit releases the stack once
    // no USB call is in flight; when one still runs after a second, the
    // stack is left to the end of the process. USB calls after it fail.
    virtual int usb_init() = 0;
    virtual void usb_exit() = 0;
    virtual std::string usb_error_text(int code) const = 0;  // libusb_strerror
    virtual std::string usb_error_name(int code) const = 0;  // libusb_error_name

    // The attached USB devices; 0 or a libusb error code.
    virtual int usb_list_devices(std::vector<UsbDeviceEntry>& devices) = 0;

    // Wraps an open USB device node (see node_open) into a handle. The node
    // stays owned by the caller and must outlive the handle.
    virtual int usb_wrap_sys_device(int fd, UsbHandle** handle) = 0;
    virtual int usb_device_ids(UsbHandle* handle, uint16_t& vendor, uint16_t& product) = 0;
    virtual int usb_detach_kernel_driver(UsbHandle* handle, int interface) = 0;
    virtual int usb_claim_interface(UsbHandle* handle, int interface) = 0;
    virtual int usb_release_interface(UsbHandle* handle, int interface) = 0;
    virtual int usb_bulk_transfer(UsbHandle* handle, uint8_t endpoint, uint8_t* data, int length,
                                  int* transferred, unsigned timeout_ms) = 0;
    virtual int usb_control_transfer(UsbHandle* handle, uint8_t request_type, uint8_t request,
                                     uint16_t value, uint16_t index, uint8_t* data, uint16_t length,
                                     unsigned timeout_ms) = 0;
    virtual void usb_close(UsbHandle* handle) = 0;

    // --- Hot-plug source (udev monitor on "usb" and "usbmisc") ----------
    // hotplug_fd is the descriptor to select on (-1 when closed); it belongs
    // to the platform, which closes it in hotplug_close. hotplug_receive takes
    // one pending event; false when none could be read.
    virtual HotplugOpen hotplug_open() = 0;
    virtual int hotplug_fd() const = 0;
    virtual bool hotplug_receive(HotplugEvent& event) = 0;
    virtual void hotplug_close() = 0;

    // --- Device nodes: camera nodes and USB device nodes ----------------
    // As open(2), ioctl(2), read(2), flock(2) and close(2).
    virtual int node_open(const char* path, int flags) = 0;
    virtual int node_ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual ssize_t node_read(int fd, void* buffer, size_t length) = 0;
    virtual int node_flock(int fd, int operation) = 0;
    virtual int node_close(int fd) = 0;

    // Names of the entries of "/dev" (not paths). 0, or -1 with errno when
    // the directory can't be read.
    virtual int list_dev(std::vector<std::string>& names) = 0;

    // --- Serial devices --------------------------------------------------
    // serial_open opens a serial device as open(2) does; data and termios
    // then go straight to the returned descriptor. The modem-line requests
    // (TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCMIWAIT, TIOCGICOUNT, TIOCSBRK,
    // TIOCCBRK) go through serial_ioctl. serial_close closes it.
    virtual int serial_open(const char* path, int flags) = 0;
    virtual int serial_ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual int serial_close(int fd) = 0;

    // --- System files ----------------------------------------------------
    // Reads up to `size` bytes from the start of a sysfs attribute (the DMI
    // board name): open(2) read-only, one read(2), close(2). The count, or
    // -1 with errno; `opened` tells whether the open succeeded, so callers
    // can tell a missing file from one that can't be read.
    virtual ssize_t read_system_file(const char* path, void* buffer, size_t size, bool& opened) = 0;

    // --- Legacy I/O ports (the parallel port) ----------------------------
    // As ioperm(2): access to `count` ports from `from` for the calling
    // thread (the permission is per thread, as the kernel keeps it), or
    // its release; 0, or -1 with errno (EPERM without CAP_SYS_RAWIO).
    virtual int io_permission(unsigned long from, unsigned long count, int turn_on) = 0;
    // inb / outb. Only ports the calling thread was given: anything else
    // faults (SIGSEGV), as the CPU's protection does.
    virtual uint8_t io_in(uint16_t port) = 0;
    virtual void io_out(uint8_t value, uint16_t port) = 0;
};

// The platform in use. Must be installed before the first call.
Platform& current();

// read_system_file as the host's files give it (both platforms use it).
ssize_t read_host_file(const char* path, void* buffer, size_t size, bool& opened);

// Installs the platform for the rest of the process; called once at start-up
// (tests may install another, which replaces the first). It is never
// destroyed: threads may use it until the process has ended.
void install(std::unique_ptr<Platform> platform);

// The real Linux platform: libusb, libudev and the kernel as they are.
std::unique_ptr<Platform> make_linux_platform();

}  // namespace platform
