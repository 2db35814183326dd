#include "driver/wheel_ops.h"

#include <syslog.h>
#include <fcntl.h>
#include <libusb.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <mutex>

#include "common/log.h"
#include "driver/device_node.h"
#include "driver/transport.h"

namespace {

constexpr int WHEEL_INTERFACE = 0;

}  // namespace

void UsbHandleHolder::reset() {
    platform::UsbHandle* handle = std::exchange(handle_, nullptr);
    if (!handle)
        return;
    platform::Platform& p = platform::current();
    if (std::exchange(claimed_, false) && p.usb_release_interface(handle, WHEEL_INTERFACE) != 0)
        log_trace("Cannot release interface\n");
    p.usb_close(handle);
}

WheelPortRef open_wheel_port(const char* path, WheelInfo& info, int* error) {
    info = WheelInfo{};
    int ignored = 0;
    int& failure = error ? *error : ignored;
    failure = -1;
    WheelPortRef port;
    try {
        port = std::make_shared<WheelPort>();
    } catch (const std::bad_alloc&) {
        log_message(LOG_ERR, "Cannot allocate the port of wheel %s", path);
        failure = -ENOMEM;
        return nullptr;
    }
    port->node = open_node(path, WHEEL_PATH_SIZE);
    if (!port->node) {
        failure = -errno;
        return nullptr;
    }
    platform::Platform& p = platform::current();
    platform::UsbHandle* handle = nullptr;
    if (const int code = p.usb_wrap_sys_device(port->node->fd(), &handle); code != 0) {
        log_message(LOG_ERR, "Could not wrap sys device: %s", p.usb_error_text(code).c_str());
        return nullptr;
    }
    port->handle = UsbHandleHolder(handle);
    // NOT_FOUND: no kernel driver is bound, which is the usual case.
    const int detached = p.usb_detach_kernel_driver(handle, WHEEL_INTERFACE);
    if (detached == 0)
        log_trace("Kernel driver detached");
    else if (detached != LIBUSB_ERROR_NOT_FOUND)
        log_trace("Kernel driver detach failed");
    if (p.usb_claim_interface(handle, WHEEL_INTERFACE) != 0) {
        log_trace("Cannot claim interface\n");
        return nullptr;
    }
    port->handle.claimed();
    log_trace("Interface %d claimed\n", WHEEL_INTERFACE);
    // A wheel that can't tell who it is would sit in a slot that looks free.
    if (usb_wheel_info(handle, info) != 0) {
        log_message(LOG_ERR, "Could not obtain wheel %s info", path);
        return nullptr;
    }
    failure = 0;
    return port;
}

void fill_wheel_record(WheelRecord& wheel, const char* path, WheelPortRef port, const WheelInfo& info) {
    memset(wheel.path, 0, sizeof wheel.path);
    snprintf(wheel.path, sizeof wheel.path, "%s", path);
    wheel.owner_sock = 0;
    wheel.info = info;
    wheel.pid = info.pid;
    wheel.port.exchange(std::move(port));
}

int open_wheel(const char* path, WheelRecord& wheel) {
    WheelInfo info;
    int error = 0;
    WheelPortRef port = open_wheel_port(path, info, &error);
    if (!port)
        return error;
    fill_wheel_record(wheel, path, std::move(port), info);
    return 0;
}

int close_wheel(WheelRecord& wheel, bool release) {
    int result = 0;
    if (WheelPortRef port = wheel.port.exchange()) {
        port->node->mark_gone();
        // The handle goes before the node, when the last user lets go.
        result = drop_reference(std::move(port));
    }
    if (release) {
        memset(wheel.path, 0, sizeof wheel.path);
        wheel.pid = 0;
        wheel.info = WheelInfo{};
        wheel.owner_sock = 0;
    }
    return result;
}

int wheel_identify(WheelRecord& wheel, WheelInfo& info) {
    std::lock_guard lock(wheel.wheel_mutex);
    const WheelPortRef port = wheel.port.get();
    if (!port || port->node->gone()) {
        info = WheelInfo{};
        return -1;
    }
    return usb_wheel_info(port->handle.get(), info);
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
