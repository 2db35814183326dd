// The control socket of the virtual box: a Unix stream socket served by one
// thread of its own. Each line received is run with VirtualBox::execute and
// answered with its reply; several clients may be connected at once.
#pragma once

#include <memory>
#include <string>
#include <thread>

namespace sim {

class VirtualBox;

class ControlServer {
public:
    // Binds `path` (replacing a stale socket there) and starts serving.
    // nullptr with the reason in `error` when the socket can't be set up.
    static std::unique_ptr<ControlServer> start(std::shared_ptr<VirtualBox> box, const std::string& path,
                                                std::string& error);

    // Stops the thread, closes every connection and removes the socket.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

private:
    ControlServer(std::shared_ptr<VirtualBox> box, std::string path, int listen_fd, int stop_fd);
    void serve();

    std::shared_ptr<VirtualBox> box_;
    std::string path_;
    int listen_fd_;
    int stop_fd_;
    std::thread thread_;
};

}  // namespace sim
