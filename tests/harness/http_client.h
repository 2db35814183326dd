// A small HTTP/1.1 client for tests of the Alpaca server: one request at a
// time on one connection to 127.0.0.1, bodies framed by Content-Length (or
// by the close), binary-safe, and every wait bounded by a timeout.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace harness {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpAnswer {
    int status = 0;           // 0 when no whole answer came
    std::string status_line;  // "HTTP/1.1 200 OK"
    HttpHeaders headers;      // in the order sent
    std::string body;         // the bytes as sent

    // The value of the first header of that name (compared without case).
    std::optional<std::string> header(std::string_view name) const;
};

class HttpClient {
public:
    // Connects `sd` (a TCP socket, taken over; -1: a new one in this
    // thread's network namespace) to 127.0.0.1:`port`. With `keep_alive`
    // the connection serves several requests while the server keeps it;
    // otherwise each request asks the server to close it afterwards.
    explicit HttpClient(uint16_t port = 8000, int sd = -1, bool keep_alive = false,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    bool connected() const { return sd_ >= 0; }

    // Sends one request (a non-empty `form` goes as an url-encoded body) and
    // reads its answer within the timeout. A failure leaves status 0 and the
    // connection closed.
    HttpAnswer request(const std::string& method, const std::string& target, const HttpHeaders& headers = {},
                       const std::string& form = {});

private:
    bool receive_more(std::chrono::steady_clock::time_point deadline);
    void close();

    int sd_ = -1;
    bool keep_alive_;
    std::chrono::milliseconds timeout_;
    std::string pending_;  // bytes received past the last answer
};

// Moves the calling thread (and the threads it starts later) into a network
// namespace of its own with loopback up, for tests that run the server in
// their own process: false when that fails (it needs root).
bool own_loopback_network();

// One request on a connection of its own from this thread's namespace.
HttpAnswer http_request(uint16_t port, const std::string& method, const std::string& target,
                        const HttpHeaders& headers = {}, const std::string& form = {});

}  // namespace harness
