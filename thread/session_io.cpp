#include "thread/session_io.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>

#include "common/log.h"
#include "common/sockets.h"

namespace {

constexpr int POLL_MS = 1000;
// Received bytes watch() keeps at most before it leaves the rest in the socket.
constexpr size_t WATCH_KEEP_BYTES = 64 * 1024;

std::optional<bool> ethtool_link(int sd, const char* interface) {
    static_assert(ETHTOOL_GLINK == 10);
    ethtool_value query = {};
    query.cmd = ETHTOOL_GLINK;
    ifreq request = {};
    strncpy(request.ifr_name, interface, sizeof request.ifr_name - 1);
    request.ifr_data = reinterpret_cast<char*>(&query);
    if (ioctl(sd, SIOCETHTOOL, &request) != 0)
        return std::nullopt;  // errno tells why
    return query.data != 0;
}

std::atomic<LinkQuery> link_query{ethtool_link};

}  // namespace

void set_link_query(LinkQuery query) { link_query = query != nullptr ? query : ethtool_link; }

SessionConnection::SessionConnection(int sd, std::span<const uint8_t> early_bytes, std::optional<std::string> interface)
    : sd_(sd), pending_(early_bytes.begin(), early_bytes.end()) {
    if (interface)
        strncpy(interface_, interface->c_str(), sizeof interface_ - 1);
    else
        local_interface_name(sd_, interface_, sizeof interface_);
    link_check_ = strncmp(interface_, "eth", 3) == 0;
    set_keepalive(sd_);
}

bool SessionConnection::link_down() {
    // Only a driver that says the link is down ends the session; one that
    // can't answer (EOPNOTSUPP and the like) keeps it.
    errno = 0;
    const std::optional<bool> up = link_query.load()(sd_, interface_);
    if (!up && !link_query_failed_) {
        // Logged once: the driver will not learn to answer.
        link_query_failed_ = true;
        log_message(LOG_ERR, "ioctl(SIOCETHTOOL) failed: %s", strerror(errno));
    }
    return up == false;
}

bool SessionConnection::watch(int timeout_ms) {
    const bool keep = pending_.size() < WATCH_KEEP_BYTES;
    pollfd wait = {sd_, static_cast<short>(POLLRDHUP | (keep ? POLLIN : 0)), 0};
    const int ready = poll(&wait, 1, timeout_ms);
    if (ready < 0) {
        if (errno == EINTR)
            return true;
        log_message(LOG_ERR, "poll() failed: %d, %s", errno, strerror(errno));
        return false;
    }
    if (ready == 0)
        return true;
    if (wait.revents & (POLLHUP | POLLRDHUP)) {
        log_message(LOG_INFO, "poll() returned POLLHUP");
        return false;
    }
    if (wait.revents & (POLLERR | POLLNVAL)) {
        log_message(LOG_ERR, "poll() failed: %d, %s", errno, strerror(errno));
        return false;
    }
    if (!(wait.revents & POLLIN))
        return true;
    uint8_t chunk[RECEIVE_CHUNK];
    const ssize_t length = recv(sd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (length < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        log_message(LOG_ERR, "read() failed during buffer receive: %d, %s", errno, strerror(errno));
        return false;
    }
    if (length == 0) {
        log_message(LOG_INFO, "read() returned 0 B");
        return false;
    }
    pending_.insert(pending_.end(), chunk, chunk + length);
    waited_on_partial_ = false;
    return true;
}

bool SessionConnection::holds_request(uint32_t command) const {
    std::span<const uint8_t> rest(pending_);
    while (!rest.empty()) {
        const Frame frame = find_frame(rest);
        if (frame.kind == Frame::Kind::incomplete)
            return false;
        const Request request(rest.first(frame.size));
        if (frame.kind == Frame::Kind::complete && request.magic() == REQUEST_MAGIC && request.command() == command)
            return true;
        rest = rest.subspan(frame.consumed);
    }
    return false;
}

bool SessionConnection::take_frame(std::vector<uint8_t>& request, bool flush_partial) {
    if (pending_.empty())
        return false;
    Frame frame = find_frame(pending_);
    if (frame.kind == Frame::Kind::incomplete) {
        if (!flush_partial)
            return false;
        frame.size = frame.consumed = pending_.size();
    }
    request.assign(pending_.begin(), pending_.begin() + static_cast<long>(frame.size));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(frame.consumed));
    return true;
}

SessionConnection::Event SessionConnection::next(std::vector<uint8_t>& request) {
    for (;;) {
        if (take_frame(request, false)) {
            waited_on_partial_ = false;
            return Event::request;
        }
        pollfd wait = {sd_, POLLIN, 0};
        int ready = poll(&wait, 1, POLL_MS);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            log_message(LOG_ERR, "poll() failed: %d, %s", errno, strerror(errno));
            return Event::closed;
        }
        if (ready == 0) {
            if (link_check_ && link_down())
                return Event::closed;
            // A request that stopped short a second ago will not be completed.
            if (waited_on_partial_ && take_frame(request, true)) {
                waited_on_partial_ = false;
                return Event::request;
            }
            waited_on_partial_ = !pending_.empty();
            return Event::idle;
        }
        if (wait.revents & POLLHUP) {
            log_message(LOG_INFO, "poll() returned POLLHUP");
            return Event::closed;
        }
        if (wait.revents & (POLLERR | POLLNVAL)) {
            log_message(LOG_ERR, "poll() failed: %d, %s", errno, strerror(errno));
            return Event::closed;
        }
        uint8_t chunk[RECEIVE_CHUNK];
        ssize_t length;
        do {
            length = recv(sd_, chunk, sizeof chunk, 0);
        } while (length < 0 && errno == EINTR);
        if (length < 0) {
            log_message(LOG_ERR, "read() failed during buffer receive: %d, %s", errno, strerror(errno));
            return Event::closed;
        }
        if (length == 0) {
            log_message(LOG_INFO, "read() returned 0 B");
            return Event::closed;
        }
        pending_.insert(pending_.end(), chunk, chunk + length);
        waited_on_partial_ = false;
    }
}

bool SessionConnection::send(std::span<const uint8_t> bytes, const char* what) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t written = ::send(sd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            log_message(LOG_ERR, "send() failed during sending %s: %s", what, strerror(errno));
            return false;
        }
        sent += static_cast<size_t>(written);
    }
    return true;
}

void run_request_loop(SessionConnection& connection, const std::function<bool(const Request&)>& serve) {
    std::vector<uint8_t> bytes;
    for (;;) {
        switch (connection.next(bytes)) {
        case SessionConnection::Event::closed:
            return;
        case SessionConnection::Event::idle:
            continue;
        case SessionConnection::Event::request:
            break;
        }
        Request request(bytes);
        if (check_request_magic(request) && !serve(request))
            return;
    }
}

Response unknown_command(uint32_t command) {
    log_message(LOG_ERR, "Unknown command: %u", command);
    return Response(command, -1, HEADER_SIZE);
}

bool check_request_magic(const Request& request) {
    if (request.magic() == REQUEST_MAGIC)
        return true;
    log_message(LOG_WARNING, "Unknown packet magic: %u.", static_cast<unsigned>(request.magic() & 0xFFFFFFFFu));
    return false;
}
