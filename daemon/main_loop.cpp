#include "daemon/main_loop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <omp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <unordered_map>
#include <vector>

#include "alpaca/devices/cv_standalone_wheel.h"
#include "alpaca/devices/publish.h"
#include "alpaca/server.h"
#include "common/config.h"
#include "common/log.h"
#include "common/pid_lock.h"
#include "common/signals.h"
#include "common/sockets.h"
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
#include "thread/session_timers.h"
#include "thread/wheel_session.h"

namespace {

constexpr size_t RECEIVE_BUFFER = 8192;

using Clock = std::chrono::steady_clock;

// A request that stopped short is answered as one once its client has been
// silent this long.
constexpr auto PARTIAL_REQUEST_PATIENCE = std::chrono::seconds(1);

// Answers waiting for a client that does not read: above this many bytes the
// connection is neither read nor answered until it takes some.
constexpr size_t OUTPUT_LIMIT = 64 * 1024;

// A connection that has sent nothing this long after it was accepted is
// closed (scaled with --sim-time-scale).
constexpr double FIRST_REQUEST_PATIENCE_S = 30;

// A connection whose answers have not moved for this long is closed
// (scaled with --sim-time-scale).
constexpr double NO_PROGRESS_LIMIT_S = 30;

// With the client table full, a connection that has spoken may be dropped for
// a new one once it has been silent this long (scaled with --sim-time-scale).
constexpr double MAKE_ROOM_IDLE_S = 10;

// How long the listeners rest when accept() lacks descriptors or memory.
constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(250);

Clock::duration scaled(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds * session_time_scale()));
}

// What the main loop keeps of a connection it serves.
struct Connection {
    bool serial = false;
    bool spoke = false;             // some bytes came from the client
    bool closing = false;           // ends once its answers are out
    std::vector<uint8_t> pending;   // bytes of requests not answered yet
    std::vector<uint8_t> output;    // answers not sent yet
    Clock::time_point accepted;
    Clock::time_point last_bytes;   // last bytes received
    Clock::time_point last_sent;    // output last moved (or began to wait)
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

// accept() errors that say our listener itself is broken: nothing will ever
// be accepted on it again. Others (EMFILE, ENFILE, ENOBUFS, ENOMEM) pass.
bool is_listener_broken(int error) { return error == EBADF || error == EINVAL || error == ENOTSOCK || error == EFAULT; }

bool has_whole_request(const std::vector<uint8_t>& pending) {
    return !pending.empty() && find_frame(pending).kind != Frame::Kind::incomplete;
}

// Session code reads and writes with blocking calls.
bool make_blocking(int sd) {
    const int flags = fcntl(sd, F_GETFL);
    if (flags < 0 || fcntl(sd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        log_message(LOG_ERR, "fcntl(O_NONBLOCK) failed: %s", strerror(errno));
        return false;
    }
    return true;
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
    void accept_trouble(int error);
    void set_listeners_watched(bool watched);
    bool make_room();
    void receive_multicast();
    void receive_alpaca_discovery();
    // One datagram into buffer_, zero-terminated; its length, or -1.
    ssize_t receive_datagram(int sd, sockaddr_in& peer);
    void serve_client(int sd);
    void serve_device_client(int sd);
    void serve_serial_client(int sd);
    // Answers what can be answered, sends what the client takes, and sets
    // what the loop waits for on the connection. False when it left.
    bool pump(int sd, bool flush_partial = false);
    // Answers the whole requests in the connection's buffer (and, with
    // `flush`, what is there of a cut one) while its output is below the
    // limit. False when the connection left.
    bool answer_requests(int sd, bool flush);
    bool follow(int sd, MainPhaseAnswer& answer);
    bool hand_over(int sd, MainPhaseAnswer& answer);
    // Sends what the client takes now. False when the connection broke.
    bool send_output(int sd);
    void update_watch(int sd);
    std::optional<Clock::time_point> next_deadline() const;
    void run_deadlines();
    void forget(int sd);
    void disconnect(int sd, bool serial = false);
    void announce() const;

    const bool foreground_;
    WatchedSet watched_;
    WatchedSet writers_;
    int main_sd_ = -1;
    int serial_a_sd_ = -1;
    int serial_b_sd_ = -1;
    int multicast_sd_ = -1;
    int alpaca_sd_ = -1;
    int hotplug_fd_ = -1;
    bool accept_failing_ = false;                     // accept() failed since the backlog was last drained
    std::optional<Clock::time_point> accept_resumes_; // the listeners rest until then
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
        // A server that fails to start is logged there; the daemon runs on
        // without Alpaca.
        // Cameras and standalone wheels taken in from now on (the probe's
        // too) become Alpaca devices.
        if (AlpacaServer::start_alpaca_server() == 0) {
            AlpacaServer::install_camera_publisher(session_time_scale());
            publish_standalone_wheel = AlpacaServer::publish_standalone_wheel_device;
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
        fd_set readable = watched_.snapshot();
        fd_set writable = writers_.snapshot();
        timeval patience = {};
        timeval* timeout = nullptr;
        if (auto deadline = next_deadline()) {
            const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count() + 1;
            patience.tv_sec = static_cast<time_t>(us / 1000000);
            patience.tv_usec = static_cast<suseconds_t>(us % 1000000);
            timeout = &patience;
        }
        const int highest = std::max(watched_.highest(), writers_.highest());
        int pending = select(highest + 1, &readable, &writable, nullptr, timeout);
        if (pending < 0) {
            if (errno == EINTR)
                continue;
            log_message(LOG_ERR, "select() failed: %s", strerror(errno));
            quit_requested = true;
            return;
        }
        // Connections go and come during the walk; a ready bit of a number
        // that changed hands is stale, which the non-blocking calls absorb.
        for (int fd = 0; fd <= highest && pending > 0; ++fd) {
            const bool can_write = FD_ISSET(fd, &writable);
            const bool can_read = FD_ISSET(fd, &readable);
            pending -= can_write + can_read;
            if (can_write && writers_.contains(fd))
                pump(fd);
            if (can_read && watched_.contains(fd))
                handle(fd);
        }
        run_deadlines();
    }
}

std::optional<Clock::time_point> MainLoop::next_deadline() const {
    std::optional<Clock::time_point> next = accept_resumes_;
    const auto consider = [&next](Clock::time_point at) {
        if (!next || at < *next)
            next = at;
    };
    for (const auto& [sd, connection] : connections_) {
        if (!connection.spoke)
            consider(connection.accepted + scaled(FIRST_REQUEST_PATIENCE_S));
        if (!connection.output.empty())
            consider(connection.last_sent + scaled(NO_PROGRESS_LIMIT_S));
        else if (!connection.pending.empty() && !connection.closing)
            consider(connection.last_bytes + PARTIAL_REQUEST_PATIENCE);
    }
    return next;
}

void MainLoop::run_deadlines() {
    const auto now = Clock::now();
    if (accept_resumes_ && now >= *accept_resumes_) {
        // Try each listener now: a backlog that emptied meanwhile never wakes
        // select(), and only an empty accept() ends the shortage.
        accept_resumes_.reset();
        set_listeners_watched(true);
        for (int listener : {main_sd_, serial_a_sd_, serial_b_sd_}) {
            if (listener >= 0 && !accept_resumes_)
                accept_all(listener, listener != main_sd_);
        }
    }
    std::vector<int> silent, stuck, stale;
    for (const auto& [sd, connection] : connections_) {
        if (!connection.spoke && now - connection.accepted >= scaled(FIRST_REQUEST_PATIENCE_S))
            silent.push_back(sd);
        else if (!connection.output.empty() && now - connection.last_sent >= scaled(NO_PROGRESS_LIMIT_S))
            stuck.push_back(sd);
        else if (connection.output.empty() && !connection.pending.empty() && !connection.closing &&
                 now - connection.last_bytes >= PARTIAL_REQUEST_PATIENCE)
            stale.push_back(sd);
    }
    for (int sd : silent) {
        log_message(LOG_INFO, "Connection %d sent nothing since it was accepted: closed", sd);
        disconnect(sd, connections_[sd].serial);
    }
    for (int sd : stuck) {
        log_message(LOG_WARNING, "Connection %d takes no answers (%zu bytes waiting): closed", sd,
                    connections_[sd].output.size());
        disconnect(sd);
    }
    for (int sd : stale)
        pump(sd, true);
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

void MainLoop::set_listeners_watched(bool watched) {
    for (int listener : {main_sd_, serial_a_sd_, serial_b_sd_}) {
        if (watched)
            watch(listener);
        else
            watched_.remove(listener);
    }
}

void MainLoop::accept_trouble(int error) {
    // Out of descriptors or memory: the waiting connections stay in the
    // backlog while the listeners rest, so the loop does not spin on them.
    if (!accept_failing_)
        log_message(LOG_ERR, "accept() failed: %s; accepting again when resources free up", strerror(error));
    accept_failing_ = true;
    set_listeners_watched(false);
    accept_resumes_ = Clock::now() + ACCEPT_PAUSE;
}

void MainLoop::accept_all(int listener, bool serial) {
    for (;;) {
        sockaddr_in peer = {};
        socklen_t peer_length = sizeof peer;
        int sd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (sd < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                // Every waiting connection was taken: the shortage is over.
                if (accept_failing_)
                    log_message(LOG_INFO, "Accepting connections again");
                accept_failing_ = false;
                return;
            }
            if (error == EINTR || is_connection_error(error)) {
                log_trace("accept() failed: %s", strerror(error));
                continue;
            }
            if (is_listener_broken(error)) {
                log_message(LOG_ERR, "accept() failed: %s", strerror(error));
                quit_requested = true;
                return;
            }
            accept_trouble(error);
            return;
        }
        if (!WatchedSet::fits(sd)) {
            log_message(LOG_WARNING, "Connection refused: descriptor %d is beyond the range select() can watch", sd);
            close(sd);
            continue;
        }
        if (clients_connected() >= static_cast<uint64_t>(MAX_CLIENTS))
            make_room();
        if (!register_client(sd, peer, serial)) {
            close(sd);
            continue;
        }
        set_keepalive(sd);
        watch(sd);
        Connection& connection = connections_[sd];
        connection = Connection{};
        connection.serial = serial;
        connection.accepted = connection.last_bytes = Clock::now();
    }
}

// Whether bytes of the client wait unread: after a stall of the loop a
// connection has spoken even though nothing of it was read yet.
static bool bytes_waiting(int sd) {
    int count = 0;
    if (ioctl(sd, FIONREAD, &count) != 0) {
        log_message(LOG_ERR, "ioctl(FIONREAD) failed on connection %d: %s", sd, strerror(errno));
        return false;
    }
    return count > 0;
}

bool MainLoop::make_room() {
    // The connection that never said anything and came first goes; failing
    // that, the one silent longest, if that has been long enough. One whose
    // request waits unread is served in this round, not dropped.
    const auto now = Clock::now();
    int victim = -1;
    Clock::time_point oldest;
    bool victim_spoke = true;
    for (const auto& [sd, connection] : connections_) {
        if (bytes_waiting(sd))
            continue;
        if (connection.spoke) {
            if (victim_spoke && now - connection.last_bytes >= scaled(MAKE_ROOM_IDLE_S) &&
                (victim < 0 || connection.last_bytes < oldest)) {
                victim = sd;
                oldest = connection.last_bytes;
            }
        } else if (victim_spoke || connection.accepted < oldest) {
            victim = sd;
            oldest = connection.accepted;
            victim_spoke = false;
        }
    }
    if (victim < 0)
        return false;
    log_message(LOG_WARNING, "All %d client slots are in use: connection %d (%s) is dropped for a new one",
                MAX_CLIENTS, victim, victim_spoke ? "idle" : "silent since accepted");
    disconnect(victim, connections_[victim].serial);
    return true;
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
    auto found = connections_.find(sd);
    if (found == connections_.end())
        return;
    if (found->second.serial)
        serve_serial_client(sd);
    else
        serve_device_client(sd);
}

void MainLoop::serve_device_client(int sd) {
    ssize_t length;
    do {
        length = recv(sd, buffer_, RECEIVE_BUFFER, 0);
    } while (length < 0 && errno == EINTR);
    if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
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
    connection.spoke = true;
    pump(sd);
}

bool MainLoop::pump(int sd, bool flush_partial) {
    for (;;) {
        if (!answer_requests(sd, flush_partial))
            return false;
        if (!send_output(sd))
            return false;
        Connection& connection = connections_[sd];
        if (connection.closing && connection.output.empty()) {
            disconnect(sd);
            return false;
        }
        // Answers that drained below the limit make room for the requests
        // held back meanwhile.
        if (connection.closing || connection.output.size() >= OUTPUT_LIMIT || !has_whole_request(connection.pending))
            break;
    }
    update_watch(sd);
    return true;
}

bool MainLoop::answer_requests(int sd, bool flush) {
    Connection& connection = connections_[sd];
    std::vector<uint8_t>& pending = connection.pending;
    while (!pending.empty() && !connection.closing && connection.output.size() < OUTPUT_LIMIT) {
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
        if (!follow(sd, answer))
            return false;
    }
    return true;
}

bool MainLoop::follow(int sd, MainPhaseAnswer& answer) {
    Connection& connection = connections_[sd];
    if (!answer.response.empty()) {
        if (connection.output.empty())
            connection.last_sent = Clock::now();
        connection.output.insert(connection.output.end(), answer.response.begin(), answer.response.end());
    }
    switch (answer.then) {
    case MainPhaseAnswer::Then::stay:
        return true;
    case MainPhaseAnswer::Then::disconnect:
        connection.closing = true;
        return true;
    case MainPhaseAnswer::Then::camera_session:
    case MainPhaseAnswer::Then::wheel_session:
        return hand_over(sd, answer);
    }
    return true;
}

bool MainLoop::hand_over(int sd, MainPhaseAnswer& answer) {
    // The session sends the answers still waiting here before anything of
    // its own, and serves the requests that came after the connect. From
    // here on the socket is the session's.
    Connection connection = std::move(connections_[sd]);
    forget(sd);
    const bool camera = answer.then == MainPhaseAnswer::Then::camera_session;
    const bool started = make_blocking(sd) &&
                         (camera ? start_camera_session(*answer.camera, connection.pending, std::move(connection.output))
                                 : start_wheel_session(*answer.wheel, connection.pending, std::move(connection.output)));
    if (!started) {
        if (camera)
            release_camera(sd);
        else
            release_wheel(sd);
        log_trace("Camera/Wheel client %d disconnected (daemon)", sd);
        unregister_client(sd);
    }
    return false;
}

bool MainLoop::send_output(int sd) {
    Connection& connection = connections_[sd];
    std::vector<uint8_t>& output = connection.output;
    size_t sent = 0;
    while (sent < output.size()) {
        const ssize_t length = send(sd, output.data() + sent, output.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno == EPIPE || errno == ECONNRESET)
                log_trace("send() failed: %s", strerror(errno));
            else
                log_message(LOG_ERR, "send() failed: %s", strerror(errno));
            disconnect(sd);
            return false;
        }
        sent += static_cast<size_t>(length);
    }
    if (sent > 0) {
        output.erase(output.begin(), output.begin() + static_cast<long>(sent));
        connection.last_sent = Clock::now();
    }
    return true;
}

void MainLoop::update_watch(int sd) {
    const Connection& connection = connections_[sd];
    if (connection.closing || connection.output.size() >= OUTPUT_LIMIT)
        watched_.remove(sd);
    else
        watch(sd);
    if (connection.output.empty())
        writers_.remove(sd);
    else
        writers_.add(sd);
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
    forget(sd);
    if (!make_blocking(sd) || !start_serial_session(*port)) {
        release_serial(sd);
        log_trace("Serial client %d disconnected (daemon)", sd);
        unregister_client(sd);
    }
}

void MainLoop::forget(int sd) {
    watched_.remove(sd);
    writers_.remove(sd);
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
    for (int fd : {main_sd_, serial_a_sd_, serial_b_sd_, multicast_sd_, alpaca_sd_}) {
        if (fd >= 0)
            close(fd);
    }
    for (const auto& [sd, connection] : connections_)
        close(sd);
    connections_.clear();
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
