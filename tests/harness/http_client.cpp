#include "tests/harness/http_client.h"

#include <net/if.h>
#include <sched.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace harness {

namespace {

size_t add_body(char* data, size_t size, size_t count, void* answer) {
    static_cast<HttpAnswer*>(answer)->body.append(data, size * count);
    return size * count;
}

// Header lines of the answer: the status line, then "Name: value" lines.
size_t add_header(char* data, size_t size, size_t count, void* answer_pointer) {
    auto& answer = *static_cast<HttpAnswer*>(answer_pointer);
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {  // a new answer (after a 100 Continue, say)
        answer.status_line = line;
        answer.headers.clear();
    } else if (const size_t colon = line.find(':'); colon != std::string::npos) {
        const size_t value = line.find_first_not_of(' ', colon + 1);
        answer.headers.emplace_back(line.substr(0, colon), value == std::string::npos ? "" : line.substr(value));
    }
    return size * count;
}

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~CurlGlobal() { curl_global_cleanup(); }
};

}  // namespace

std::optional<std::string> HttpAnswer::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0)
            return value;
    }
    return std::nullopt;
}

HttpClient::HttpClient(uint16_t port, int sd, bool keep_alive, std::chrono::milliseconds timeout)
    : base_url_("http://127.0.0.1:" + std::to_string(port) + "/"),
      given_sd_(sd),
      keep_alive_(keep_alive),
      timeout_(timeout) {
    static CurlGlobal global;
    curl_ = curl_easy_init();
}

HttpClient::~HttpClient() {
    curl_easy_cleanup(curl_);
    if (given_sd_ >= 0)
        close(given_sd_);
}

curl_socket_t HttpClient::open_socket(void* client_pointer, curlsocktype, curl_sockaddr* address) {
    auto& client = *static_cast<HttpClient*>(client_pointer);
    const int sd = client.given_sd_;
    client.given_sd_ = -1;
    if (sd >= 0)
        return sd;
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

HttpAnswer HttpClient::request(const std::string& method, const std::string& target, const HttpHeaders& headers,
                               const std::string& form) {
    HttpAnswer answer;
    if (curl_ == nullptr)
        return answer;
    CURL* curl = curl_;
    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_URL, base_url_.c_str());
    curl_easy_setopt(curl, CURLOPT_REQUEST_TARGET, target.c_str());
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, open_socket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_.count()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, keep_alive_ ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, add_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, add_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
    if (!form.empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.data());
    }
    if (method != (form.empty() ? "GET" : "POST"))
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    // Only the headers asked for: no Accept of libcurl's own, no Expect.
    curl_slist* list = curl_slist_append(nullptr, "Expect:");
    bool accept_given = false;
    for (const auto& [name, value] : headers) {
        list = curl_slist_append(list, (name + ": " + value).c_str());
        accept_given = accept_given || strcasecmp(name.c_str(), "Accept") == 0;
    }
    if (!accept_given)
        list = curl_slist_append(list, "Accept:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    const CURLcode result = curl_easy_perform(curl);
    curl_slist_free_all(list);
    long status = 0;
    if (result == CURLE_OK && curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK)
        answer.status = static_cast<int>(status);
    else
        answer = HttpAnswer{};
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
    close(sd);
    return up;
}

HttpAnswer http_request(uint16_t port, const std::string& method, const std::string& target,
                        const HttpHeaders& headers, const std::string& form) {
    return HttpClient(port).request(method, target, headers, form);
}

}  // namespace harness
