#include "common/sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/log.h"

namespace {

int set_int_option(int sd, int level, int name, int value) {
    return setsockopt(sd, level, name, &value, sizeof value);
}

}  // namespace

void set_keepalive(int sd) {
    // Probe after 1 s of silence, twice, 11 s apart; give up on unacknowledged
    // data after the same 23 s. The user timeout is in milliseconds: a small
    // value there would kill a session whenever a busy client's receive
    // window stays full for a moment.
    constexpr int USER_TIMEOUT_MS = 23000;
    struct Step {
        int level, name, value;
        const char* call;  // as logged; the user timeout shares the interval's text
    };
    const Step steps[] = {
        {SOL_SOCKET, SO_KEEPALIVE, 1, "setsockopt(SO_KEEPALIVE)"},
        {IPPROTO_TCP, TCP_KEEPCNT, 2, "setsockopt(TCP_KEEPCNT)"},
        {IPPROTO_TCP, TCP_KEEPIDLE, 1, "setsockopt(TCP_KEEPIDLE)"},
        {IPPROTO_TCP, TCP_KEEPINTVL, 11, "setsockopt(TCP_KEEPINTVL)"},
        {IPPROTO_TCP, TCP_USER_TIMEOUT, USER_TIMEOUT_MS, "setsockopt(TCP_KEEPINTVL)"},
    };
    for (const Step& step : steps) {
        if (set_int_option(sd, step.level, step.name, step.value) != 0) {
            log_message(LOG_ERR, "%s failed: %d, %s", step.call, errno, strerror(errno));
            return;
        }
    }
}

int write_chunked(int fd, const void* data, size_t length, int chunk) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        size_t piece = chunk > 0 && length > static_cast<size_t>(chunk) ? static_cast<size_t>(chunk) : length;
        ssize_t written = write(fd, bytes, piece);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

void local_interface_name(int sd, char* buffer, size_t size) {
    sockaddr_in local = {};
    socklen_t local_length = sizeof local;
    if (getsockname(sd, reinterpret_cast<sockaddr*>(&local), &local_length) != 0) {
        log_message(LOG_ERR, "getsockname() failed: %s", strerror(errno));
        return;
    }
    if (local.sin_family != AF_INET || size == 0)
        return;
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        log_message(LOG_ERR, "getifaddrs() failed: %s", strerror(errno));
        return;
    }
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (address->sin_addr.s_addr == local.sin_addr.s_addr) {
            snprintf(buffer, size, "%s", entry->ifa_name);
            break;
        }
    }
    freeifaddrs(interfaces);
}
