#include "driver/transport.h"

#include <syslog.h>
#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/log.h"
#include "driver/camera_abi.h"
#include "driver/device_node.h"
#include "platform/platform.h"

namespace {

// Issues the command request on `node` and returns the ioctl's result with
// errno as it left it. No node: the camera's node was closed; a node gone
// with its device answers as the driver would.
int command_request(const DeviceNode* node, const uint8_t* request, size_t request_length, uint8_t* response,
                    size_t response_capacity, size_t& received) {
    received = 0;
    if (node == nullptr || node->gone()) {
        errno = node ? ENODEV : EBADF;
        return -1;
    }
    CommandRecord record{};
    record.request_address = request_length ? reinterpret_cast<uintptr_t>(request) : 0;
    record.request_length = request_length;
    record.response_address = reinterpret_cast<uintptr_t>(response);
    record.response_length = response_capacity;
    const int result = platform::current().node_ioctl(node->fd(), CAMERA_IOCTL_COMMAND, &record);
    // The count comes from the driver; never let it point past the buffer.
    received = static_cast<size_t>(std::min<uint64_t>(record.response_length, response_capacity));
    return result;
}

}  // namespace

DriverResult usb_camera_command_us(CameraRecord& camera, const uint8_t* request, size_t request_length,
                          uint8_t* response, size_t response_capacity, size_t& received) {
    const uint8_t command = request_length ? request[0] : 0xFF;
    received = 0;

    camera.command_mutex.lock();
    if (!camera.frame_lock.try_lock()) {
        log_trace("usb_camera_command_us: command 0x%02x received when GetFrame is running", command);
        camera.command_mutex.unlock();
        return DriverResult::busy();
    }
    size_t count = 0;
    const NodeRef node = camera.node.get();
    const int result = command_request(node.get(), request, request_length, response, response_capacity, count);
    const int error = errno;
    // The frame lock goes first: released after the mutex, the next command
    // would find it still held by this one and be refused as if an image
    // transfer were running.
    camera.frame_lock.unlock();
    camera.command_mutex.unlock();

    if (result < 0) {
        log_trace("usb_camera_command_us: command: 0x%02x", command);
        log_ioctl_failure(error);
        return DriverResult::request_failed();
    }
    received = count;
    if (count == 0 || response[0] == CAMERA_STATUS_OK)
        return DriverResult::ok();
    log_message(LOG_WARNING, "usb_camera_command_us: command 0x%02x - invalid return code 0x%02x, expected 0x80\n", command,
                response[0]);
    return DriverResult::device_status(response[0]);
}

DriverResult camera_command(CameraRecord& camera, const uint8_t* request, size_t request_length, uint8_t* response,
                   size_t response_capacity) {
    size_t received = 0;
    return usb_camera_command_us(camera, request, request_length, response, response_capacity, received);
}

DriverResult readout_command(CameraRecord& camera, const NodeRef& node, const uint8_t* request,
                             size_t request_length) {
    const uint8_t command = request_length ? request[0] : 0xFF;
    size_t count = 0;
    int result = 0, error = 0;
    {
        std::lock_guard lock(camera.command_mutex);
        result = command_request(node.get(), request, request_length, nullptr, 0, count);
        error = errno;
    }
    if (result < 0) {
        log_trace("usb_camera_command_us: command: 0x%02x", command);
        log_ioctl_failure(error);
        return DriverResult::request_failed();
    }
    return DriverResult::ok();
}

void cmos_readok(CameraRecord& camera) { cmos_readok(camera, camera.node.get()); }

void cmos_readok(CameraRecord& camera, const NodeRef& node) {
    if (!is_new_interface(camera))
        return;
    uint8_t status = 0;
    size_t received = 0;
    if (command_request(node.get(), nullptr, 0, &status, sizeof status, received) < 0) {
        log_ioctl_failure(errno);
        return;
    }
    if (received > 0 && status != CAMERA_STATUS_OK)
        log_message(LOG_WARNING, "cmos_readok: invalid return code: 0x%02x, expected 0x80\n", status);
}

namespace {

void log_bulk_failure(uint8_t command, bool writing, int code, int written, int read, size_t request_length,
                      size_t response_length) {
    log_message(LOG_ERR,
                "libusb_bulk_transfer failed(): cmd: 0x%02x, write_res: %s, read_res: %d, %s, in_transferred: %d, "
                "out_transferred: %d, in_len: %d, out_len: %d",
                command, writing ? "true" : "false", code, platform::current().usb_error_text(code).c_str(), written,
                read, static_cast<int>(request_length), static_cast<int>(response_length));
}

}  // namespace

DriverResult usb_wheel_command_locked(WheelRecord& wheel, const uint8_t* request, size_t request_length, uint8_t* response,
                             size_t response_length) {
    platform::Platform& p = platform::current();
    const uint8_t command = request_length ? request[0] : 0xFF;
    // libusb counts in int; anything near that is no wheel request.
    if (request_length > INT_MAX || response_length > INT_MAX)
        return DriverResult::refused();

    // The port is held for the exchange: an unplug or a re-plug swaps the
    // record's, never closes this one under it.
    const WheelPortRef port = wheel.port.get();
    platform::UsbHandle* handle = port && !port->node->gone() ? port->handle.get() : nullptr;
    int written = 0;
    if (request_length) {
        // libusb wants a writable buffer even for an OUT transfer.
        std::vector<uint8_t> out(request, request + request_length);
        const int code = handle ? p.usb_bulk_transfer(handle, WHEEL_ENDPOINT_OUT, out.data(),
                                                            static_cast<int>(request_length), &written,
                                                            WHEEL_TRANSFER_TIMEOUT_MS)
                                      : LIBUSB_ERROR_NO_DEVICE;
        if (code != 0 || static_cast<size_t>(written) != request_length) {
            log_trace("transfer WRITE ERROR!: ");
            if (code != 0)
                log_trace("\tlusb: %s\n", p.usb_error_text(code).c_str());
            else
                log_trace("\ttransferred(%d) != in_len(%zu)\n", written, request_length);
            log_bulk_failure(command, true, code, written, 0, request_length, response_length);
            return DriverResult::request_failed();
        }
    }

    int read = 0;
    if (response_length) {
        const int code = handle ? p.usb_bulk_transfer(handle, WHEEL_ENDPOINT_IN, response,
                                                            static_cast<int>(response_length), &read,
                                                            WHEEL_TRANSFER_TIMEOUT_MS)
                                      : LIBUSB_ERROR_NO_DEVICE;
        if (code != 0 || static_cast<size_t>(read) != response_length) {
            log_trace("transfer READ ERROR!: ");
            if (code != 0)
                log_trace("\tlusb: %s\n", p.usb_error_text(code).c_str());
            else
                log_trace("\ttransferred(%d) != out_len(%zu)\n", read, response_length);
            if (read > 0)
                log_trace("cmd return code: 0x%02x\n", response[0]);
            log_bulk_failure(command, false, code, written, read, request_length, response_length);
            return DriverResult::request_failed();
        }
    }

    if (read == 0 || response[0] == CAMERA_STATUS_OK)
        return DriverResult::ok();
    log_message(LOG_WARNING, "usb_wheel_command 0x%02x: invalid return code: 0x%02x, expected 0x80\n", command, response[0]);
    return DriverResult::device_status(response[0]);
}

DriverResult usb_wheel_command(WheelRecord& wheel, const uint8_t* request, size_t request_length, uint8_t* response,
                      size_t response_length) {
    std::lock_guard lock(wheel.wheel_mutex);
    return usb_wheel_command_locked(wheel, request, request_length, response, response_length);
}
