// A client of telvad's binary protocol for end-to-end tests: builds
// requests byte by byte and reads whole responses.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "tests/harness/test_box.h"

namespace harness {

using Bytes = std::vector<uint8_t>;

// A request of `size` bytes: the request magic, the length, the command; the
// rest zero.
Bytes make_request(uint32_t command, size_t size = 20);

template <typename T>
void put(Bytes& bytes, size_t offset, T value) {
    if (bytes.size() < offset + sizeof value)
        bytes.resize(offset + sizeof value);
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

template <typename T>
T get(const Bytes& bytes, size_t offset) {
    T value{};
    if (offset + sizeof value <= bytes.size())
        std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

class ProtocolClient {
public:
    // Connects to the daemon's main port: over loopback inside the box, or
    // from the PC's side of the LAN.
    explicit ProtocolClient(const TestBox& box, Network from = Network::loopback, uint16_t port = 48899);
    ~ProtocolClient();
    ProtocolClient(const ProtocolClient&) = delete;
    ProtocolClient& operator=(const ProtocolClient&) = delete;

    bool connected() const { return sd_ >= 0; }
    int sd() const { return sd_; }

    bool send(const Bytes& bytes);
    // One whole response: the 20-byte header and as many bytes as its length
    // field says. Empty when none came in time or the connection closed.
    Bytes read_response(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Sends `request` and reads its response.
    Bytes ask(const Bytes& request, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Whether the daemon closes the connection within `timeout`, with no
    // byte sent before.
    bool closed_by_daemon(std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // Whether nothing arrives within `timeout` while the connection stays.
    bool silent(std::chrono::milliseconds timeout);
    void close();

private:
    bool read_exactly(uint8_t* into, size_t length, std::chrono::steady_clock::time_point deadline);
    int sd_ = -1;
};

}  // namespace harness
