#include "driver/wheel_ops.h"

#include <syslog.h>
#include <fcntl.h>
#include <libusb.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "common/log.h"
#include "driver/device_node.h"
#include "driver/transport.h"

namespace {

constexpr int WHEEL_INTERFACE = 0;

// Gives up the handle and the node of a wheel that could not be set up.
void abandon(platform::Platform& p, platform::UsbHandle* handle, int fd) {
    if (handle)
        p.usb_close(handle);
    if (p.node_close(fd) < 0)
        log_message(LOG_ERR, "close() failed: %s", strerror(errno));
}

}  // namespace

int open_wheel(const char* path, WheelRecord& wheel) {
    const int fd = open_device_node(path, sizeof wheel.path);
    if (fd < 0)
        return fd;
    platform::Platform& p = platform::current();
    platform::UsbHandle* handle = nullptr;
    if (const int code = p.usb_wrap_sys_device(fd, &handle); code != 0) {
        log_message(LOG_ERR, "Could not wrap sys device: %s", p.usb_error_text(code).c_str());
        abandon(p, nullptr, fd);
        return -1;
    }
    // NOT_FOUND: no kernel driver is bound, which is the usual case.
    const int detached = p.usb_detach_kernel_driver(handle, WHEEL_INTERFACE);
    if (detached == 0)
        log_trace("Kernel driver detached");
    else if (detached != LIBUSB_ERROR_NOT_FOUND)
        log_trace("Kernel driver detach failed");
    if (p.usb_claim_interface(handle, WHEEL_INTERFACE) != 0) {
        log_trace("Cannot claim interface\n");
        // The wrapped node stays ours: closing the handle leaves it open.
        abandon(p, handle, fd);
        return -1;
    }
    log_trace("Interface %d claimed\n", WHEEL_INTERFACE);

    memset(wheel.path, 0, sizeof wheel.path);
    memcpy(wheel.path, path, strlen(path) + 1);
    wheel.connected = 0;
    wheel.owner_sock = 0;
    usb_wheel_info(handle, wheel.info);
    wheel.fd = fd;
    wheel.handle = handle;
    wheel.pid = wheel.info.pid;
    return 0;
}

int close_wheel(WheelRecord& wheel, bool release) {
    platform::Platform& p = platform::current();
    int result = 0;
    {
        std::lock_guard lock(wheel.wheel_mutex);
        if (wheel.handle) {
            if (p.usb_release_interface(wheel.handle, WHEEL_INTERFACE) != 0)
                log_trace("Cannot release interface\n");
            p.usb_close(wheel.handle);
            wheel.handle = nullptr;
        }
        if (wheel.fd > 0 && p.node_close(wheel.fd) < 0) {
            const int error = errno;
            log_message(LOG_ERR, "close() failed: %s", strerror(error));
            result = -error;
        }
        wheel.fd = 0;
    }
    if (release) {
        memset(wheel.path, 0, sizeof wheel.path);
        wheel.connected = 0;
        wheel.pid = 0;
        wheel.info = WheelInfo{};
        wheel.owner_sock = 0;
    }
    return result;
}

int usb_wheel_info(platform::UsbHandle* handle, WheelInfo& info) {
    info = WheelInfo{};
    if (!handle)
        return -1;
    platform::Platform& p = platform::current();

    uint8_t request = WHEEL_CMD_INFO;
    int transferred = 0;
    int code = p.usb_bulk_transfer(handle, WHEEL_ENDPOINT_OUT, &request, 1, &transferred, WHEEL_TRANSFER_TIMEOUT_MS);
    if (code != 0 || transferred != 1) {
        log_trace("wheel_info_lu(): libusb_bulk_transfer OUT: %d, %s, tr: %d\n", code,
                  p.usb_error_text(code).c_str(), transferred);
        return -1;
    }
    std::array<uint8_t, WHEEL_INFO_ANSWER> answer{};
    transferred = 0;
    code = p.usb_bulk_transfer(handle, WHEEL_ENDPOINT_IN, answer.data(), static_cast<int>(answer.size()),
                               &transferred, WHEEL_TRANSFER_TIMEOUT_MS);
    if (code != 0 || static_cast<size_t>(transferred) != answer.size()) {
        log_trace("wheel_info_lu(): libusb_bulk_transfer IN: %d, %s, tr: %d\n", code,
                  p.usb_error_text(code).c_str(), transferred);
        return -1;
    }
    parse_wheel_info(answer, info);
    uint16_t vendor = 0, product = 0;
    code = p.usb_device_ids(handle, vendor, product);
    if (code != 0) {
        log_trace("wheel_info_lu(): could not get descriptor %s", p.usb_error_text(code).c_str());
        return -1;
    }
    info.vid = vendor;
    info.pid = product;
    return 0;
}

DriverResult wheel_set_position(WheelRecord& wheel, uint32_t position) {
    std::lock_guard lock(wheel.wheel_mutex);
    std::array<uint8_t, 3> request{};
    if (wheel_position_request(wheel.info.filters, wheel.info.filters2, position, request) != 0)
        return DriverResult::refused();
    uint8_t status = 0;
    return usb_wheel_command_locked(wheel, request.data(), request.size(), &status, sizeof status);
}

DriverResult wheel_set_positions(WheelRecord& wheel, uint8_t first, uint8_t second) {
    const uint8_t request[] = {WHEEL_CMD_SET_POSITION, first, second};
    uint8_t status = 0;
    return usb_wheel_command(wheel, request, sizeof request, &status, sizeof status);
}

DriverResult wheel_get_counts(WheelRecord& wheel, int& first, int& second) {
    std::lock_guard lock(wheel.wheel_mutex);
    const uint8_t request = WHEEL_CMD_GET_COUNTS;
    uint8_t answer[3] = {};
    if (const DriverResult result = usb_wheel_command_locked(wheel, &request, 1, answer, sizeof answer);
        result.failed())
        return result;
    wheel.info.filters = answer[1];
    wheel.info.filters2 = answer[2];
    first = answer[1];
    second = answer[2];
    return DriverResult::ok();
}
