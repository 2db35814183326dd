#include "driver/firmware_upload.h"

#include <syslog.h>
#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/log.h"
#include "driver/camera_abi.h"
#include "driver/device_node.h"
#include "driver/firmware_source.h"
#include "platform/platform.h"

namespace {

constexpr int32_t FIRMWARE_BEGIN = 1;
constexpr int32_t FIRMWARE_END = 0;

// The upload proper, with the node open and locked: the result of
// upload_firmware.
int check_and_load(platform::Platform& p, int fd) {
    IdentifyRecord identity{};
    if (p.node_ioctl(fd, CAMERA_IOCTL_IDENTIFY, &identity) < 0) {
        log_ioctl_failure(errno);
        return 1;
    }
    if (identity.firmware_state != 0 || identity.product_id >= FIRST_NEW_INTERFACE_PID)
        return 0;
    // The image is read and checked before the camera is touched.
    const std::unique_ptr<LoadedFirmware> image = firmware_source()->find(identity.product_id);
    if (!image)
        return -EINVAL;
    const FirmwareRecord* records = image->records.data();

    int32_t mode = FIRMWARE_BEGIN;
    if (p.node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_MODE, &mode) < 0) {
        log_ioctl_failure(errno);
        return 1;
    }
    for (; records->data_address != 0; ++records) {
        FirmwareRecord record = *records;
        if (p.node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_RECORD, &record) < 0) {
            log_message(LOG_ERR, "fw upload failed: %s", strerror(errno));
            return 1;
        }
    }
    // The controller restarts into its firmware as loading ends, and the
    // request may fail as its device goes away: the image is in either way.
    mode = FIRMWARE_END;
    if (p.node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_MODE, &mode) < 0)
        log_message(LOG_WARNING, "fw upload: end of loading not confirmed: %s", strerror(errno));
    return -1;
}

}  // namespace

int upload_firmware(const char* path) {
    // -errno rather than open()'s -1, which would read as "image loaded".
    const int fd = open_device_node(path);
    if (fd < 0)
        return fd;
    platform::Platform& p = platform::current();
    if (p.node_flock(fd, LOCK_EX) < 0) {
        const int error = errno;
        log_message(LOG_ERR, "flock() failed: %s", strerror(error));
        p.node_close(fd);
        return error;
    }

    const int result = check_and_load(p, fd);

    if (p.node_flock(fd, LOCK_UN) < 0) {
        const int error = errno;
        log_message(LOG_ERR, "flock() failed: %s", strerror(error));
        p.node_close(fd);
        return error;
    }
    if (p.node_close(fd) < 0)
        log_message(LOG_ERR, "close() failed: %s", strerror(errno));
    return result;
}
