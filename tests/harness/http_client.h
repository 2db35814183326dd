// The HTTP client of the Alpaca tests, on libcurl: one request at a time to
// 127.0.0.1, the request target sent exactly as given, binary-safe bodies,
// and every request bounded by a timeout.
#pragma once

#include <curl/curl.h>

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
    // Talks to 127.0.0.1:`port` over `sd` (a TCP socket not yet connected,
    // taken over) or, with -1 and for every later connection, a new socket
    // in the calling thread's network namespace. With `keep_alive` one
    // connection serves several requests while the server keeps it;
    // otherwise each request has a connection of its own.
    explicit HttpClient(uint16_t port = 8000, int sd = -1, bool keep_alive = false,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Sends one request (a non-empty `form` goes as an url-encoded body) and
    // reads its answer within the timeout. A failure leaves status 0 and the
    // connection closed.
    HttpAnswer request(const std::string& method, const std::string& target, const HttpHeaders& headers = {},
                       const std::string& form = {});

private:
    static curl_socket_t open_socket(void* client, curlsocktype purpose, curl_sockaddr* address);

    CURL* curl_;
    std::string base_url_;
    int given_sd_;  // handed to libcurl for the first connection
    bool keep_alive_;
    std::chrono::milliseconds timeout_;
};

// Moves the calling thread (and the threads it starts later) into a network
// namespace of its own with loopback up, for tests that run the server in
// their own process: false when that fails (it needs root).
bool own_loopback_network();

// One request on a connection of its own from this thread's namespace.
HttpAnswer http_request(uint16_t port, const std::string& method, const std::string& target,
                        const HttpHeaders& headers = {}, const std::string& form = {});

}  // namespace harness
