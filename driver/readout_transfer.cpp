#include "driver/readout_transfer.h"

#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "common/log.h"
#include "driver/transport.h"
#include "platform/platform.h"

std::unique_ptr<uint8_t[]> allocate_read_buffer(size_t size) {
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    if (!buffer)
        log_message(LOG_ERR, "Cannot allocate a read buffer of %zu bytes", size);
    return buffer;
}

size_t read_stream(const DeviceNode& node, uint8_t* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        // A node gone with its device fails as the driver's read would.
        ssize_t n = -1;
        if (node.gone())
            errno = ENODEV;
        else
            n = platform::current().node_read(node.fd(), buffer + done, size - done);
        if (n > 0 && static_cast<size_t>(n) > size - done) {
            // More than asked for is no answer a read can give: the count
            // can't be trusted, nor the bytes.
            log_message(LOG_ERR, "read() failed: read %d bytes: returned %zd for %zu", static_cast<int>(done), n,
                        size - done);
            break;
        }
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const char* reason = n == 0 ? "end of stream" : strerror(errno);
        log_message(LOG_ERR, "read() failed: read %d bytes: %s", static_cast<int>(done), reason);
        break;
    }
    return done;
}

DriverResult transfer_image(CameraRecord& camera, const uint8_t* request, size_t request_length, uint8_t* buffer,
                            size_t size, bool acknowledge) {
    const NodeRef node = camera.node.get();
    camera.reading.store(true);
    // Taken before the request: a command that slipped in between the two
    // would reach a camera that is already sending the image.
    camera.frame_lock.lock();
    if (const DriverResult result = readout_command(camera, node, request, request_length); result.failed()) {
        camera.frame_lock.unlock();
        camera.reading.store(false);
        return result;
    }
    const size_t got = read_stream(*node, buffer, size);
    if (got == size && acknowledge)
        cmos_readok(camera, node);
    camera.frame_lock.unlock();
    camera.reading.store(false);
    if (got == size)
        return DriverResult::ok();
    return DriverResult::short_stream(static_cast<uint32_t>(std::min<size_t>(got, UINT32_MAX)));
}
