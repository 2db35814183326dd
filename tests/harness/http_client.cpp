#include "tests/harness/http_client.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace harness {

namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr uint64_t kMaxBody = 1ull << 31;

std::string trimmed(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    return begin == std::string_view::npos ? std::string() : std::string(text.substr(begin, end - begin + 1));
}

// Status line and headers of a head (without its blank line); false when
// it is not one.
bool parse_head(std::string_view head, HttpAnswer& answer) {
    size_t line_end = head.find("\r\n");
    answer.status_line = std::string(head.substr(0, line_end));
    if (answer.status_line.compare(0, 5, "HTTP/") != 0 || answer.status_line.size() < 12 ||
        answer.status_line[8] != ' ')
        return false;
    answer.status = std::atoi(answer.status_line.c_str() + 9);
    while (line_end != std::string_view::npos) {
        size_t begin = line_end + 2;
        line_end = head.find("\r\n", begin);
        std::string_view line = head.substr(begin, line_end == std::string_view::npos ? line_end : line_end - begin);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return false;
        answer.headers.emplace_back(std::string(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    }
    return answer.status >= 100 && answer.status <= 999;
}

// The body length a Content-Length value gives, nullopt when it is no
// plain decimal number within bounds.
std::optional<uint64_t> content_length(const std::string& value) {
    if (value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    uint64_t length = std::strtoull(value.c_str(), nullptr, 10);
    return length <= kMaxBody ? std::optional<uint64_t>(length) : std::nullopt;
}

}  // namespace

std::optional<std::string> HttpAnswer::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0)
            return value;
    return std::nullopt;
}

HttpClient::HttpClient(uint16_t port, int sd, bool keep_alive, std::chrono::milliseconds timeout)
    : sd_(sd >= 0 ? sd : socket(AF_INET, SOCK_STREAM, 0)), keep_alive_(keep_alive), timeout_(timeout) {
    if (sd_ < 0)
        return;
    // Bounds a connect that the listener's full backlog holds up.
    timeval limit{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    setsockopt(sd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        close();
}

HttpClient::~HttpClient() { close(); }

void HttpClient::close() {
    if (sd_ >= 0)
        ::close(sd_);
    sd_ = -1;
    pending_.clear();
}

bool HttpClient::receive_more(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wait = {sd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) != 1)
        return false;
    char buffer[64 * 1024];
    ssize_t n = recv(sd_, buffer, sizeof buffer, 0);
    if (n <= 0)
        return false;
    pending_.append(buffer, static_cast<size_t>(n));
    return true;
}

HttpAnswer HttpClient::request(const std::string& method, const std::string& target, const HttpHeaders& headers,
                               const std::string& form) {
    HttpAnswer answer;
    if (sd_ < 0)
        return answer;
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!keep_alive_)
        text += "Connection: close\r\n";
    for (const auto& [name, value] : headers)
        text += name + ": " + value + "\r\n";
    if (!form.empty())
        text += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(form.size()) +
                "\r\n";
    text += "\r\n" + form;
    for (size_t sent = 0; sent < text.size();) {
        ssize_t n = send(sd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            close();
            return answer;
        }
        sent += static_cast<size_t>(n);
    }

    size_t head_end;
    while ((head_end = pending_.find("\r\n\r\n")) == std::string::npos)
        if (pending_.size() > kMaxHead || !receive_more(deadline)) {
            close();
            return answer;
        }
    if (!parse_head(std::string_view(pending_).substr(0, head_end), answer)) {
        close();
        return HttpAnswer{};
    }
    pending_.erase(0, head_end + 4);

    const bool no_body = method == "HEAD" || answer.status == 204 || answer.status == 304 || answer.status < 200;
    std::optional<std::string> length_text = answer.header("Content-Length");
    bool closes = !keep_alive_;
    if (std::optional<std::string> connection = answer.header("Connection"))
        closes = closes || strcasecmp(connection->c_str(), "close") == 0;
    if (!no_body && length_text) {
        std::optional<uint64_t> length = content_length(*length_text);
        while (length && pending_.size() < *length)
            if (!receive_more(deadline))
                length.reset();
        if (!length) {
            close();
            return HttpAnswer{};
        }
        answer.body = pending_.substr(0, *length);
        pending_.erase(0, *length);
    } else if (!no_body) {
        // Framed by the close: whatever comes until the server closes.
        while (receive_more(deadline)) {
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            close();
            return HttpAnswer{};
        }
        answer.body = std::move(pending_);
        closes = true;
    }
    if (closes)
        close();
    return answer;
}

bool own_loopback_network() {
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = ioctl(sd, SIOCGIFFLAGS, &request) == 0 &&
              (request.ifr_flags |= IFF_UP, ioctl(sd, SIOCSIFFLAGS, &request) == 0);
    ::close(sd);
    return up;
}

HttpAnswer http_request(uint16_t port, const std::string& method, const std::string& target,
                        const HttpHeaders& headers, const std::string& form) {
    return HttpClient(port).request(method, target, headers, form);
}

}  // namespace harness
