#include "daemon/listeners.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "common/log.h"

namespace {

// Logs "<call> failed: <error text>", closes the socket and returns -1.
int abandon(int sd, const char* call) {
    log_message(LOG_ERR, "%s failed: %s", call, strerror(errno));
    close(sd);
    return -1;
}

sockaddr_in any_address(uint16_t port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return address;
}

int bind_any(int sd, uint16_t port) {
    sockaddr_in address = any_address(port);
    return bind(sd, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

int set_int_option(int sd, int level, int name, int value) {
    return setsockopt(sd, level, name, &value, sizeof value);
}

// A datagram socket bound to `port` on every interface, shared with other
// listeners of the port; -1 (logged) on failure.
int open_datagram_socket(uint16_t port) {
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sd < 0) {
        log_message(LOG_ERR, "socket() failed: %s", strerror(errno));
        return -1;
    }
    if (set_int_option(sd, SOL_SOCKET, SO_REUSEADDR, 1) != 0)
        return abandon(sd, "setsockopt(SO_REUSEADDR)");
    if (bind_any(sd, port) != 0)
        return abandon(sd, "bind()");
    return sd;
}

}  // namespace

int create_listen_socket(uint16_t port) {
    int sd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sd < 0) {
        log_message(LOG_ERR, "socket() failed: %s", strerror(errno));
        return -1;
    }
    if (set_int_option(sd, SOL_SOCKET, SO_REUSEADDR, 1) != 0)
        return abandon(sd, "setsockopt()");
    int on = 1;
    if (ioctl(sd, FIONBIO, &on) != 0)
        return abandon(sd, "ioctl()");
    if (bind_any(sd, port) != 0)
        return abandon(sd, "bind()");
    if (listen(sd, LISTEN_BACKLOG) != 0)
        return abandon(sd, "listen()");
    return sd;
}

int create_multicast_socket() {
    int sd = open_datagram_socket(MULTICAST_PORT);
    if (sd < 0)
        return -1;
    ip_mreq membership = {};
    inet_pton(AF_INET, MULTICAST_GROUP, &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(sd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        return abandon(sd, "setsockopt(IP_ADD_MEMBERSHIP)");
    return sd;
}

int create_alpaca_discovery_socket() {
    int sd = open_datagram_socket(ALPACA_DISCOVERY_PORT);
    if (sd < 0)
        return -1;
    timeval timeout = {0, 100 * 1000};
    setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);  // best effort
    return sd;
}
