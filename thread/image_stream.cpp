#include "thread/image_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/log.h"
#include "common/threads.h"
#include "thread/camera_readings.h"

namespace {

constexpr int SEND_WAIT_MS = 1000;

// Sends all of `bytes`. While the client's window stays full the link is
// checked once a second, so a pulled cable ends the download at once.
bool send_image_bytes(SessionConnection& connection, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        const ssize_t sent = send(connection.sd(), bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            bytes += sent;
            length -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd wait = {connection.sd(), POLLOUT, 0};
            const int ready = poll(&wait, 1, SEND_WAIT_MS);
            if (ready == 0 && connection.link_lost())
                return false;
            if (ready < 0 && errno != EINTR) {
                log_message(LOG_ERR, "poll() failed: %d, %s", errno, strerror(errno));
                return false;
            }
            continue;
        }
        log_message(LOG_ERR, "send() failed during sending image: %d, %s", errno, strerror(errno));
        return false;
    }
    return true;
}

bool send_zeros(SessionConnection& connection, size_t length) {
    // Never destroyed: a detached session may still send from it while the
    // process runs its exit handlers.
    static constexpr std::array<uint8_t, 1 << 16> zeros{};
    while (length > 0) {
        const size_t piece = std::min(length, zeros.size());
        if (!send_image_bytes(connection, zeros.data(), piece))
            return false;
        length -= piece;
    }
    return true;
}

}  // namespace

bool stream_image(SessionConnection& connection, CameraSession& session) {
    using Clock = std::chrono::steady_clock;
    const ExposureRoad::FrameHold hold(session.road);
    const uint32_t size = session.image_size;
    const auto* image = reinterpret_cast<const uint8_t*>(session.image_buffer.get());
    uint32_t sent = 0;
    Clock::time_point next_presence_check = Clock::now() + std::chrono::seconds(1);
    while (sent < size) {
        const uint32_t available = image_bytes_available(session);
        if (available > sent) {
            if (!send_image_bytes(connection, image + sent, available - sent))
                return false;
            sent = available;
            if (sent == size)
                break;
        } else {
            bool coming = image_pending(session);
            if (coming && Clock::now() >= next_presence_check) {
                next_presence_check = Clock::now() + std::chrono::seconds(1);
                coming = camera_attached(session.camera);
            }
            if (!coming) {
                // A readout that ended since the first look has published its bytes.
                if (image_bytes_available(session) > sent)
                    continue;
                log_message(LOG_ERR, "Image readout ended after %u of %u bytes", sent, size);
                return send_zeros(connection, size - sent);
            }
        }
        if (!connection.watch(STREAM_LOOK_MS))
            return false;
    }
    return true;
}

bool await_readout(SessionConnection& connection, CameraSession& session) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point next_check = Clock::now() + std::chrono::seconds(1);
    while (session.road.state() == ExposureState::exposing) {
        if (!connection.watch(STREAM_LOOK_MS))
            return false;
        if (connection.holds_request(TCP_CMD_ABORTEXPOSURE))
            return true;
        if (Clock::now() >= next_check) {
            next_check = Clock::now() + std::chrono::seconds(1);
            if (connection.link_lost())
                return false;
            if (!camera_attached(session.camera))
                return true;
        }
    }
    return true;
}
