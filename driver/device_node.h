// Opening a device node: a camera node or a USB device node.
#pragma once

#include <cstddef>
#include <cstdint>

// Opens `path` read-write through the platform. The descriptor, or the
// negated errno with "open() failed: %s" logged. A path that does not fit a
// buffer of `capacity` bytes is refused the same way, with ENAMETOOLONG.
int open_device_node(const char* path, size_t capacity = SIZE_MAX);

// Logs a failed driver request: "cannot perform ioctl: %s, ret: %d\n".
void log_ioctl_failure(int error);
