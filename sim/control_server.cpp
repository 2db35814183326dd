#include "sim/control_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "sim/virtual_box.h"

namespace sim {

namespace {

constexpr size_t MAX_LINE = 4096;
constexpr size_t MAX_CLIENTS = 16;

struct Client {
    int fd;
    std::string pending;
    bool discarding = false;  // inside a line that was too long
};

// A client that does not read its replies is dropped rather than allowed
// to stall the box.
bool reply(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Runs the complete lines in the client's buffer; false when it must go.
bool run_lines(VirtualBox& box, Client& client) {
    for (;;) {
        const size_t end = client.pending.find('\n');
        if (end == std::string::npos) {
            if (client.pending.size() > MAX_LINE) {
                client.pending.clear();
                if (!client.discarding && !reply(client.fd, "error: line too long\n"))
                    return false;
                client.discarding = true;
            }
            return true;
        }
        std::string line = client.pending.substr(0, end);
        client.pending.erase(0, end + 1);
        if (client.discarding) {
            client.discarding = false;
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string answer =
            line.size() > MAX_LINE ? std::string("error: line too long\n") : box.execute(line);
        if (!reply(client.fd, answer))
            return false;
    }
}

}  // namespace

std::unique_ptr<ControlServer> ControlServer::start(std::shared_ptr<VirtualBox> box, const std::string& path,
                                                    std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "control socket path is empty or too long: " + path;
        return nullptr;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode))
        unlink(path.c_str());
    const int listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd < 0) {
        error = std::string("socket(): ") + strerror(errno);
        return nullptr;
    }
    if (bind(listen_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd, 8) != 0) {
        error = "cannot listen on " + path + ": " + strerror(errno);
        close(listen_fd);
        return nullptr;
    }
    const int stop_fd = eventfd(0, EFD_CLOEXEC);
    if (stop_fd < 0) {
        error = std::string("eventfd(): ") + strerror(errno);
        close(listen_fd);
        unlink(path.c_str());
        return nullptr;
    }
    return std::unique_ptr<ControlServer>(new ControlServer(std::move(box), path, listen_fd, stop_fd));
}

ControlServer::ControlServer(std::shared_ptr<VirtualBox> box, std::string path, int listen_fd, int stop_fd)
    : box_(std::move(box)), path_(std::move(path)), listen_fd_(listen_fd), stop_fd_(stop_fd) {
    thread_ = std::thread([this] { serve(); });
}

ControlServer::~ControlServer() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(stop_fd_, &one, sizeof one);
    thread_.join();
    close(listen_fd_);
    close(stop_fd_);
    unlink(path_.c_str());
}

void ControlServer::serve() {
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> watched{{stop_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        for (const Client& client : clients)
            watched.push_back({client.fd, POLLIN, 0});
        if (poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (watched[0].revents)
            break;
        // Clients first: accepting may add to the vector the indices refer to.
        for (size_t i = clients.size(); i-- > 0;) {
            if (!watched[i + 2].revents)
                continue;
            char buffer[1024];
            const ssize_t n = recv(clients[i].fd, buffer, sizeof buffer, 0);
            bool keep = n > 0 || (n < 0 && errno == EINTR);
            if (n > 0) {
                clients[i].pending.append(buffer, static_cast<size_t>(n));
                keep = run_lines(*box_, clients[i]);
            }
            if (!keep) {
                close(clients[i].fd);
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (watched[1].revents & POLLIN) {
            const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0 && clients.size() >= MAX_CLIENTS) {
                reply(fd, "error: too many control connections\n");
                close(fd);
            } else if (fd >= 0) {
                clients.push_back({fd, {}, false});
            }
        }
    }
    for (const Client& client : clients)
        close(client.fd);
}

}  // namespace sim
