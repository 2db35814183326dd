#include "tests/harness/protocol_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace harness {

namespace {
constexpr uint64_t REQUEST_MAGIC_VALUE = 0xA0B1C2D3E4F50001ull;
}

Bytes make_request(uint32_t command, size_t size) {
    Bytes bytes(size, 0);
    put<uint64_t>(bytes, 0, REQUEST_MAGIC_VALUE);
    put<uint32_t>(bytes, 8, static_cast<uint32_t>(size));
    put<uint32_t>(bytes, 12, command);
    return bytes;
}

ProtocolClient::ProtocolClient(const TestBox& box, Network from, uint16_t port) {
    sd_ = from == Network::lan ? box.peer_socket(AF_INET, SOCK_STREAM) : box.socket(AF_INET, SOCK_STREAM);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, from == Network::lan ? BOX_ADDRESS : "127.0.0.1", &address.sin_addr);
    if (connect(sd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(sd_);
        sd_ = -1;
    }
}

ProtocolClient::~ProtocolClient() { close(); }

void ProtocolClient::close() {
    if (sd_ >= 0)
        ::close(sd_);
    sd_ = -1;
}

bool ProtocolClient::send(const Bytes& bytes) {
    return sd_ >= 0 && ::send(sd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool ProtocolClient::read_exactly(uint8_t* into, size_t length, std::chrono::steady_clock::time_point deadline) {
    size_t got = 0;
    while (got < length) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd wait = {sd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) != 1)
            return false;
        ssize_t n = recv(sd_, into + got, length - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

Bytes ProtocolClient::read_response(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Bytes response(20);
    if (sd_ < 0 || !read_exactly(response.data(), 20, deadline))
        return {};
    const uint32_t length = get<uint32_t>(response, 8);
    if (length > 20) {
        response.resize(length);
        if (!read_exactly(response.data() + 20, length - 20, deadline))
            return {};
    }
    return response;
}

Bytes ProtocolClient::ask(const Bytes& request, std::chrono::milliseconds timeout) {
    return send(request) ? read_response(timeout) : Bytes{};
}

bool ProtocolClient::closed_by_daemon(std::chrono::milliseconds timeout) {
    pollfd wait = {sd_, POLLIN, 0};
    if (sd_ < 0 || poll(&wait, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    // A daemon that closes with our bytes unread resets the connection.
    char byte;
    ssize_t got = recv(sd_, &byte, 1, 0);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

bool ProtocolClient::silent(std::chrono::milliseconds timeout) {
    pollfd wait = {sd_, POLLIN, 0};
    return sd_ >= 0 && poll(&wait, 1, static_cast<int>(timeout.count())) == 0;
}

}  // namespace harness
