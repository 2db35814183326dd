// What the download benchmarks share: failing with a message, timing,
// loopback sockets, whole reads and writes, the connected pair of the
// plain-copy baseline, and the peak memory of a process.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

namespace bench {

using Clock = std::chrono::steady_clock;

[[noreturn]] inline void fail(const std::string& what) { throw std::runtime_error(what); }

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Reads exactly `length` bytes; false when the peer ends first.
inline bool read_exactly(int sd, uint8_t* into, size_t length) {
    while (length > 0) {
        const ssize_t n = recv(sd, into, length, 0);
        if (n <= 0)
            return false;
        into += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

inline bool send_all(int sd, const void* data, size_t length) {
    const auto* at = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = send(sd, at, length, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// A field of /proc/PID/status in kB ("VmRSS:", "VmHWM:").
inline long status_kb(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, n, field) == 0)
            return std::atol(line.c_str() + n);
    fail(std::string("no ") + field + " in /proc/" + std::to_string(pid) + "/status");
}

// Resets the peak resident size to the present one and returns it (kB).
inline long reset_peak(pid_t pid) {
    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
    return status_kb(pid, "VmRSS:");
}

// A loopback connection in the box for the plain-copy baseline: `sender`
// accepted, `receiver` connected; both closed with the pair. `Box` is
// anything whose socket(domain, type) gives a socket in the box's network.
struct BaselinePair {
    template <typename Box>
    explicit BaselinePair(const Box& box) {
        const int listener = box.socket(AF_INET, SOCK_STREAM);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            receiver = box.socket(AF_INET, SOCK_STREAM);
            if (connect(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                sender = accept(listener, nullptr, nullptr);
        }
        close(listener);
        if (sender < 0) {
            if (receiver >= 0)
                close(receiver);
            fail("baseline connection");
        }
    }
    ~BaselinePair() {
        close(sender);
        close(receiver);
    }
    BaselinePair(const BaselinePair&) = delete;
    BaselinePair& operator=(const BaselinePair&) = delete;

    int sender = -1, receiver = -1;
};

template <typename Box>
BaselinePair baseline_pair(const Box& box) {
    return BaselinePair(box);
}

inline double megabytes(long kb) { return double(kb) * 1024 / 1e6; }

}  // namespace bench
