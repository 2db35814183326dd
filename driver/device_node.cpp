#include "driver/device_node.h"

#include <fcntl.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "platform/platform.h"

namespace {

int refuse(int error) {
    log_message(LOG_ERR, "open() failed: %s", strerror(error));
    return -error;
}

}  // namespace

int open_device_node(const char* path, size_t capacity) {
    if (strnlen(path, capacity) >= capacity)
        return refuse(ENAMETOOLONG);
    const int fd = platform::current().node_open(path, O_RDWR);
    return fd < 0 ? refuse(errno) : fd;
}

void log_ioctl_failure(int error) {
    log_message(LOG_ERR, "cannot perform ioctl: %s, ret: %d\n", strerror(error), error);
}
