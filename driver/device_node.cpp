#include "driver/device_node.h"

#include <fcntl.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <utility>

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

int& node_detail::closed_here() {
    thread_local int result = 0;
    return result;
}

int DeviceNode::close() {
    const int fd = std::exchange(fd_, -1);
    if (fd < 0)
        return 0;
    int result = 0;
    if (platform::current().node_close(fd) != 0) {
        result = -errno;
        log_message(LOG_ERR, "close() failed: %s", strerror(-result));
    }
    node_detail::closed_here() = result;
    return result;
}

NodeRef open_node(const char* path, size_t capacity) {
    const int fd = open_device_node(path, capacity);
    if (fd < 0) {
        errno = -fd;
        return nullptr;
    }
    try {
        return std::make_shared<DeviceNode>(fd);
    } catch (const std::bad_alloc&) {
        log_message(LOG_ERR, "Cannot allocate the node of %s", path);
        platform::current().node_close(fd);
        errno = ENOMEM;
        return nullptr;
    }
}
