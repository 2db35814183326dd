#include "driver/firmware_upload.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "driver/camera_abi.h"
#include "driver/firmware.h"
#include "platform/platform.h"

namespace {

constexpr int32_t FIRMWARE_BEGIN = 1;
constexpr int32_t FIRMWARE_END = 0;

void log_ioctl_failure(int error) {
    log_message(3, "cannot perform ioctl: %s, ret: %d\n", strerror(error), error);
}

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
    const FirmwareRecord* records = find_firmware(identity.product_id);
    if (!records)
        return -EINVAL;

    int32_t mode = FIRMWARE_BEGIN;
    if (p.node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_MODE, &mode) < 0) {
        log_ioctl_failure(errno);
        return 1;
    }
    for (; records->data_address != 0; ++records) {
        FirmwareRecord record = *records;
        if (p.node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_RECORD, &record) < 0) {
            log_message(3, "fw upload failed: %s", strerror(errno));
            return 1;
        }
    }
    // The controller restarts into its firmware as loading ends, and the
    // request may fail as its device goes away: the image is in either way.
    mode = FIRMWARE_END;
    if (p.node_ioctl(fd, CAMERA_IOCTL_FIRMWARE_MODE, &mode) < 0)
        log_message(4, "fw upload: end of loading not confirmed: %s", strerror(errno));
    return -1;
}

}  // namespace

int upload_firmware(const char* path) {
    platform::Platform& p = platform::current();
    const int fd = p.node_open(path, O_RDWR);
    if (fd < 0) {
        // -errno rather than open()'s -1, which would read as "image loaded".
        const int error = errno;
        log_message(3, "open() failed: %s", strerror(error));
        return -error;
    }
    if (p.node_flock(fd, LOCK_EX) < 0) {
        const int error = errno;
        log_message(3, "flock() failed: %s", strerror(error));
        p.node_close(fd);
        return error;
    }

    const int result = check_and_load(p, fd);

    if (p.node_flock(fd, LOCK_UN) < 0) {
        const int error = errno;
        log_message(3, "flock() failed: %s", strerror(error));
        p.node_close(fd);
        return error;
    }
    if (p.node_close(fd) < 0)
        log_message(3, "close() failed: %s", strerror(errno));
    return result;
}
