#include "daemon/main_loop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <omp.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <unordered_map>
#include <vector>

#include "common/config.h"
#include "common/log.h"
#include "common/pid_lock.h"
#include "common/signals.h"
#include "daemon/client_requests.h"
#include "daemon/discovery.h"
#include "daemon/hotplug.h"
#include "daemon/listeners.h"
#include "daemon/version.h"
#include "daemon/watched_set.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "serial/serial_session.h"
#include "thread/camera_session.h"
#include "thread/protocol.h"
#include "thread/wheel_session.h"

namespace {

constexpr size_t RECEIVE_BUFFER = 8192;

using Clock = std::chrono::steady_clock;

// A request that stopped short is answered as one once its client has been
// silent this long.
constexpr auto PARTIAL_REQUEST_PATIENCE = std::chrono::seconds(1);

// What the main loop keeps of a connection it serves: bytes of a request
// that has not arrived whole yet.
struct Connection {
    std::vector<uint8_t> pending;
    Clock::time_point last_bytes;
};

// accept() errors that concern only the connection being accepted (it was
// reset or hit a network error before we took it). accept(2) asks to treat
// them like EAGAIN; ending the daemon on them would let any peer stop it.
bool is_connection_error(int error) {
    switch (error) {
    case ECONNABORTED: case EPROTO: case EPERM: case ENETDOWN: case ENOPROTOOPT:
    case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

class MainLoop {
public:
    explicit MainLoop(bool foreground) : foreground_(foreground) {}

    int start();
    void serve();
    void shut_down();

private:
    void watch(int fd);
    void handle(int fd);
    void accept_all(int listener, bool serial);
    void receive_multicast();
    void receive_alpaca_discovery();
    // One datagram into buffer_, zero-terminated; its length, or -1.
    ssize_t receive_datagram(int sd, sockaddr_in& peer);
    void serve_client(int sd);
    void serve_device_client(int sd);
    void serve_serial_client(int sd);
    // Answers the whole requests in the connection's buffer (and, with
    // `flush`, what is there of a cut one). False when the connection left.
    bool answer_requests(int sd, bool flush);
    bool follow(int sd, MainPhaseAnswer& answer, std::span<const uint8_t> rest);
    void flush_stale_requests();
    void forget(int sd);
    void disconnect(int sd, bool serial = false);
    void announce() const;

    const bool foreground_;
    WatchedSet watched_;
    int main_sd_ = -1;
    int serial_a_sd_ = -1;
    int serial_b_sd_ = -1;
    int multicast_sd_ = -1;
    int alpaca_sd_ = -1;
    int hotplug_fd_ = -1;
    std::unordered_map<int, Connection> connections_;
    char buffer_[RECEIVE_BUFFER + 1];
};

void MainLoop::watch(int fd) {
    if (!watched_.add(fd))
        log_message(LOG_ERR, "Descriptor %d is beyond the range select() can watch", fd);
}

int MainLoop::start() {
    signal(SIGPIPE, SIG_IGN);
    log_trace("Version %i (%s %s) started.", TELVAD_VERSION, TELVAD_BUILD_DATE, TELVAD_BUILD_TIME);

    errno = 0;
    if (nice(-20) != -20)
        log_message(LOG_ERR, "Setting nice value to -20 failed: %d, %s", errno, strerror(errno));
    omp_set_dynamic(1);

    platform::Platform& hardware = platform::current();
    if (int error = hardware.usb_init(); error != 0) {
        log_message(LOG_ERR, "Error initializing libusb: %s, exiting.", hardware.usb_error_text(error).c_str());
        common_cleanup();
        return -1;
    }
    switch (hardware.hotplug_open()) {
    case platform::HotplugOpen::context_failed:
        log_message(LOG_ERR, "Error creating udev! Exiting.");
        common_cleanup();
        return -1;
    case platform::HotplugOpen::monitor_failed:
        log_message(LOG_ERR, "Error creating udev monitor! Exiting.");
        common_cleanup();
        return -1;
    case platform::HotplugOpen::ok:
        break;
    }

    clear_registries();

    struct Listener {
        int* sd;
        int (*create)(uint16_t);
        uint16_t port;
        const char* failure;
    };
    const Listener listeners[] = {
        {&main_sd_, create_listen_socket, config_as_port(), "Error creating main listening socket!"},
        {&serial_a_sd_, create_listen_socket, config_serial_port_a(), "Error creating serial A listening socket!"},
        {&serial_b_sd_, create_listen_socket, config_serial_port_b(), "Error creating serial B listening socket!"},
    };
    for (const Listener& listener : listeners) {
        *listener.sd = listener.create(listener.port);
        if (*listener.sd < 0) {
            log_message(LOG_ERR, "%s", listener.failure);
            common_cleanup();
            return *listener.sd;
        }
    }
    multicast_sd_ = create_multicast_socket();
    if (multicast_sd_ < 0) {
        log_message(LOG_ERR, "Error creating Multicast listening socket! Exiting.");
        common_cleanup();
        return multicast_sd_;
    }
    if (config_alpaca_enabled()) {
        alpaca_sd_ = create_alpaca_discovery_socket();
        if (alpaca_sd_ < 0) {
            log_message(LOG_ERR, "Error creating Alpaca listening socket! Exiting.");
            common_cleanup();
            return alpaca_sd_;
        }
    }

    start_device_probe();

    hotplug_fd_ = hardware.hotplug_fd();
    for (int fd : {quit_wake_fd(), main_sd_, serial_a_sd_, serial_b_sd_, multicast_sd_, alpaca_sd_, hotplug_fd_}) {
        if (fd >= 0)
            watch(fd);
    }
    if (foreground_)
        announce();
    return 0;
}

void MainLoop::announce() const {
    printf("telvad %d listening: clients on TCP %u, serial A on TCP %u, serial B on TCP %u, "
           "discovery on UDP %u (group %s)",
           TELVAD_VERSION, config_as_port(), config_serial_port_a(), config_serial_port_b(),
           MULTICAST_PORT, MULTICAST_GROUP);
    if (alpaca_sd_ >= 0)
        printf(", Alpaca discovery on UDP %u", ALPACA_DISCOVERY_PORT);
    printf("\n");
    fflush(stdout);
}

void MainLoop::serve() {
    while (!quit_requested) {
        fd_set ready = watched_.snapshot();
        // Without partial requests the loop sleeps until something happens.
        bool partial = false;
        for (const auto& [sd, connection] : connections_)
            partial = partial || !connection.pending.empty();
        timeval patience = {1, 0};
        int pending = select(watched_.highest() + 1, &ready, nullptr, nullptr, partial ? &patience : nullptr);
        if (pending < 0) {
            if (errno == EINTR)
                continue;
            log_message(LOG_ERR, "select() failed: %s", strerror(errno));
            quit_requested = true;
            return;
        }
        // The highest descriptor can drop during the walk when a connection
        // goes; ready ones past it are stale.
        for (int fd = 0; fd <= watched_.highest() && pending > 0; ++fd) {
            if (!FD_ISSET(fd, &ready))
                continue;
            --pending;
            if (watched_.contains(fd))
                handle(fd);
        }
        if (partial)
            flush_stale_requests();
    }
}

void MainLoop::handle(int fd) {
    if (fd == quit_wake_fd())
        drain_quit_wake();
    else if (fd == main_sd_)
        accept_all(fd, false);
    else if (fd == serial_a_sd_ || fd == serial_b_sd_)
        accept_all(fd, true);
    else if (fd == hotplug_fd_)
        handle_udev_event();
    else if (fd == multicast_sd_)
        receive_multicast();
    else if (fd == alpaca_sd_)
        receive_alpaca_discovery();
    else
        serve_client(fd);
}

void MainLoop::accept_all(int listener, bool serial) {
    for (;;) {
        sockaddr_in peer = {};
        socklen_t peer_length = sizeof peer;
        int sd = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_length);
        if (sd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            if (errno == EINTR)
                continue;
            log_message(LOG_ERR, "accept() failed: %s", strerror(errno));
            if (!is_connection_error(errno))
                quit_requested = true;
            return;
        }
        if (!WatchedSet::fits(sd)) {
            log_message(LOG_WARNING, "Connection refused: descriptor %d is beyond the range select() can watch", sd);
            close(sd);
            continue;
        }
        if (!register_client(sd, peer, serial)) {
            close(sd);
            continue;
        }
        watch(sd);
        connections_[sd] = Connection{};
    }
}

ssize_t MainLoop::receive_datagram(int sd, sockaddr_in& peer) {
    socklen_t peer_length = sizeof peer;
    ssize_t length = recvfrom(sd, buffer_, RECEIVE_BUFFER, 0, reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (length < 0) {
        log_message(LOG_ERR, "recvfrom() failed: %s", strerror(errno));
        return -1;
    }
    buffer_[length] = '\0';
    return length;
}

void MainLoop::receive_multicast() {
    sockaddr_in peer = {};
    if (receive_datagram(multicast_sd_, peer) < 0)
        return;
    log_trace("The message from multicast client %s is: \"%s\"", inet_ntoa(peer.sin_addr), buffer_);
    handle_discovery_request(buffer_);
}

void MainLoop::receive_alpaca_discovery() {
    sockaddr_in peer = {};
    ssize_t length = receive_datagram(alpaca_sd_, peer);
    if (length < 0)
        return;
    log_trace("The message from alpaca discovery from %s is: \"%s\"", inet_ntoa(peer.sin_addr), buffer_);
    handle_alpaca_discovery(alpaca_sd_, std::span<const char>(buffer_, static_cast<size_t>(length)), peer);
}

void MainLoop::serve_client(int sd) {
    if (is_device_client(sd))
        serve_device_client(sd);
    else
        serve_serial_client(sd);
}

void MainLoop::serve_device_client(int sd) {
    ssize_t length;
    do {
        length = recv(sd, buffer_, RECEIVE_BUFFER, 0);
    } while (length < 0 && errno == EINTR);
    if (length <= 0) {
        if (length < 0)
            log_message(LOG_ERR, "recv() failed: %d, %s", errno, strerror(errno));
        else
            log_trace("recv() received 0 b");
        disconnect(sd);
        return;
    }
    Connection& connection = connections_[sd];
    connection.pending.insert(connection.pending.end(), buffer_, buffer_ + length);
    connection.last_bytes = Clock::now();
    answer_requests(sd, false);
}

bool MainLoop::answer_requests(int sd, bool flush) {
    std::vector<uint8_t>& pending = connections_[sd].pending;
    while (!pending.empty()) {
        Frame frame = find_frame(pending);
        if (frame.kind == Frame::Kind::incomplete) {
            if (!flush)
                return true;
            frame.size = frame.consumed = pending.size();
        }
        std::vector<uint8_t> request(pending.begin(), pending.begin() + static_cast<long>(frame.size));
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(frame.consumed));
        if (request.size() < 16)
            continue;  // not even a command code to answer
        MainPhaseAnswer answer = answer_main_request(sd, Request(request));
        if (!follow(sd, answer, pending))
            return false;
    }
    return true;
}

bool MainLoop::follow(int sd, MainPhaseAnswer& answer, std::span<const uint8_t> rest) {
    ssize_t sent = send(sd, answer.response.data(), answer.response.size(), MSG_NOSIGNAL);
    if (sent < 0 && answer.enumeration) {
        if (errno == EPIPE) {
            disconnect(sd);
            return false;
        }
        log_message(LOG_ERR, "send() failed: %s", strerror(errno));
    }
    switch (answer.then) {
    case MainPhaseAnswer::Then::stay:
        return true;
    case MainPhaseAnswer::Then::disconnect:
        disconnect(sd);
        return false;
    case MainPhaseAnswer::Then::camera_session:
    case MainPhaseAnswer::Then::wheel_session:
        break;
    }
    // The answer went out before the session starts, so that nothing the
    // session sends can overtake it. From here on the socket is the session's.
    const bool camera = answer.then == MainPhaseAnswer::Then::camera_session;
    const bool started = camera ? start_camera_session(*answer.camera, rest) : start_wheel_session(*answer.wheel, rest);
    if (!started) {
        if (camera)
            release_camera(sd);
        else
            release_wheel(sd);
        disconnect(sd);
        return false;
    }
    forget(sd);
    return false;
}

void MainLoop::flush_stale_requests() {
    const auto now = Clock::now();
    std::vector<int> stale;
    for (const auto& [sd, connection] : connections_) {
        if (!connection.pending.empty() && now - connection.last_bytes >= PARTIAL_REQUEST_PATIENCE)
            stale.push_back(sd);
    }
    for (int sd : stale)
        answer_requests(sd, true);
}

void MainLoop::serve_serial_client(int sd) {
    sockaddr_in local = {};
    socklen_t local_length = sizeof local;
    if (getsockname(sd, reinterpret_cast<sockaddr*>(&local), &local_length) != 0) {
        log_message(LOG_ERR, "getsockname() failed: %s", strerror(errno));
        disconnect(sd, true);
        return;
    }
    const int position = ntohs(local.sin_port) == config_serial_port_a() ? 0 : 1;
    if (serial_open(position)) {
        log_message(LOG_INFO, "Serial %d already opened", position);
        disconnect(sd, true);
        return;
    }
    SerialPosition* port = store_connect_serial(position, sd);
    if (port == nullptr) {
        disconnect(sd, true);
        return;
    }
    // Whatever the client has sent so far stays unread, for the session.
    if (!start_serial_session(*port)) {
        release_serial(sd);
        disconnect(sd, true);
        return;
    }
    forget(sd);
}

void MainLoop::forget(int sd) {
    watched_.remove(sd);
    connections_.erase(sd);
}

void MainLoop::disconnect(int sd, bool serial) {
    log_trace("%s client %d disconnected (daemon)", serial ? "Serial" : "Camera/Wheel", sd);
    unregister_client(sd);
    forget(sd);
}

void MainLoop::shut_down() {
    // The hot-plug descriptor belongs to the platform, which closes it with
    // the monitor; closing it here too could close a descriptor that another
    // thread has just been given.
    for (int fd = 0; fd <= watched_.highest(); ++fd) {
        if (watched_.contains(fd) && fd != hotplug_fd_)
            close(fd);
    }
    platform::current().hotplug_close();
    platform::current().usb_exit();
    common_cleanup();
}

}  // namespace

int run_main_loop(bool foreground) {
    MainLoop loop(foreground);
    if (int result = loop.start(); result != 0)
        return result;
    loop.serve();
    loop.shut_down();
    return 0;
}
