#include "daemon/discovery.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/log.h"
#include "common/unique_fd.h"
#include "daemon/listeners.h"

namespace {

constexpr size_t ALPACA_REQUEST_LENGTH = 16;

// The IPv4 address of `interface` into `address`; false when it has none.
bool interface_address(int sd, const char* interface, in_addr& address) {
    ifreq request = {};
    snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interface);
    if (ioctl(sd, SIOCGIFADDR, &request) != 0)
        return false;
    address = reinterpret_cast<const sockaddr_in*>(&request.ifr_addr)->sin_addr;
    return true;
}

bool interface_up(int sd, const char* interface) {
    ifreq request = {};
    snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interface);
    return ioctl(sd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP);
}

}  // namespace

bool is_address_request(const char* text) { return strcmp(text, ADDRESS_REQUEST) == 0; }

bool is_alpaca_request(std::span<const char> datagram) {
    return datagram.size() >= ALPACA_REQUEST_LENGTH &&
           memcmp(datagram.data(), ALPACA_REQUEST, ALPACA_REQUEST_LENGTH) == 0 &&
           (datagram.size() == ALPACA_REQUEST_LENGTH || datagram[ALPACA_REQUEST_LENGTH] == '\0');
}

void get_my_ip(char* buffer) {
    if (buffer == nullptr)
        return;
    const UniqueFd sd(socket(AF_INET, SOCK_DGRAM, 0));
    in_addr address = {};
    // Wi-Fi first: a box with an active Wi-Fi link is reached there.
    const bool found = sd && ((interface_up(sd.get(), "wlan0") && interface_address(sd.get(), "wlan0", address)) ||
                              interface_address(sd.get(), "eth0", address));
    if (!found) {
        log_message(LOG_ERR, "get_my_ip() could not obtain ip address");
        address.s_addr = htonl(INADDR_LOOPBACK);
    }
    inet_ntop(AF_INET, &address, buffer, INET_ADDRSTRLEN);
}

void send_discovery_reply(const char* text) {
    const UniqueFd sd(socket(AF_INET, SOCK_DGRAM, 0));
    if (!sd) {
        log_message(LOG_ERR, "socket() failed: %s", strerror(errno));
        return;
    }
    // The box's own discovery socket must not hear the reply.
    unsigned char loop = 0;
    if (setsockopt(sd.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
        log_message(LOG_ERR, "setsockopt(IP_MULTICAST_LOOP) failed: %s", strerror(errno));
        return;
    }
    sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(MULTICAST_PORT);
    inet_pton(AF_INET, MULTICAST_GROUP, &group.sin_addr);
    if (sendto(sd.get(), text, strlen(text), 0, reinterpret_cast<const sockaddr*>(&group), sizeof group) < 0)
        log_message(LOG_ERR, "sendto() failed: %s", strerror(errno));
}

void handle_discovery_request(const char* text) {
    if (!is_address_request(text))
        return;
    char address[INET_ADDRSTRLEN];
    get_my_ip(address);
    const std::string reply = std::string(ADDRESS_REQUEST) + ";" + address;
    send_discovery_reply(reply.c_str());
}

void handle_alpaca_discovery(int sd, std::span<const char> datagram, const sockaddr_in& peer) {
    if (!is_alpaca_request(datagram))
        return;
    char reply[32];
    const int length = snprintf(reply, sizeof reply, "{\"AlpacaPort\":%d}", ALPACA_HTTP_PORT);
    if (sendto(sd, reply, static_cast<size_t>(length), 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0)
        log_message(LOG_ERR, "sendto() failed: %s", strerror(errno));
}
