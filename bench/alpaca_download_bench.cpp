// Alpaca image downloads over loopback HTTP, beside baselines measured in
// the same run.
//
//   alpaca_download_bench [rounds] [json_rounds]     (root; defaults 9 and 3)
//
// The bench moves into a network namespace of its own (loopback only) and
// forks the serving process: the Alpaca server on port 8000 with two
// recording test cameras, camera 0 holding a 9576 x 6388 and camera 1 a
// 4000 x 4000 16-bit frame, plus a plain TCP sender on port 8001. This
// process is the client; every body is read into one buffer reused for all
// rounds, and every download is timed from connect to its last byte.
//
// - ImageBytes of camera 0 against a plain loopback copy of the same number
//   of bytes from the serving process (its frame) into the same buffer,
//   best of `rounds` each; the ratio is the download's throughput over the
//   copy's (goal: at least 0.8).
// - JSON of camera 1 against building the same answer the plain way (one
//   Jansson value per pixel, the envelope, json_dumps compact as the
//   framework serialises a JSON body, then freeing it all), without even
//   sending it, best of `json_rounds`; each download must equal that text
//   byte for byte (goal: at least 20x faster).
// - Peak memory of the serving process during a download above what it
//   held just before (its peak is reset before each download, read after);
//   the worst round is printed. Goals: at most one frame (122 MB) for
//   ImageBytes, at most 64 MB for the JSON of camera 0 (measured before any
//   other JSON download, so no JSON buffer is left over to reuse).
#include <arpa/inet.h>
#include <jansson.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench/bench_io.h"
#include "alpaca/image_encoding.h"
#include "alpaca/server.h"
#include "alpaca/types.h"
#include "tests/alpaca/support/recording_devices.h"

namespace {

using namespace bench;
using Frame = std::vector<uint16_t>;

constexpr int BIG_W = 9576, BIG_H = 6388;
constexpr int SQUARE_W = 4000, SQUARE_H = 4000;
constexpr uint32_t BIG_SEED = 12345, SQUARE_SEED = 777;
constexpr uint16_t ALPACA_PORT = 8000, PLAIN_PORT = 8001;
constexpr size_t IMAGEBYTES_HEADER = 44;
constexpr size_t BIG_BODY = IMAGEBYTES_HEADER + size_t{2} * BIG_W * BIG_H;

std::string system_error(const char* call) { return std::string(call) + ": " + std::strerror(errno); }

// Pixels spread over the whole 16-bit range (mostly five digits in JSON).
std::shared_ptr<Frame> make_frame(int width, int height, uint32_t seed) {
    auto frame = std::make_shared<Frame>(size_t(width) * size_t(height));
    for (auto& v : *frame) {
        seed = seed * 1664525 + 1013904223;
        v = static_cast<uint16_t>(seed >> 16);
    }
    return frame;
}

void bring_loopback_up() {
    const int sd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    const bool up = sd >= 0 && ioctl(sd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ioctl(sd, SIOCSIFFLAGS, &request) == 0);
    if (sd >= 0)
        close(sd);
    if (!up)
        fail(system_error("bringing lo up"));
}

// --- The serving process ---

// Sends the ImageBytes-sized run of bytes (44 header bytes, then the frame)
// to every connection, then closes it.
void plain_sender(int listener, const Frame* frame) {
    const uint8_t header[IMAGEBYTES_HEADER] = {};
    for (;;) {
        const int sd = accept(listener, nullptr, nullptr);
        if (sd < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue;
        if (sd < 0) {
            perror("plain sender: accept");
            return;
        }
        if (send_all(sd, header, sizeof header))
            send_all(sd, frame->data(), frame->size() * 2);
        close(sd);
    }
}

// Runs in the child: serves until the parent closes `control` (or dies).
[[noreturn]] void serve(int ready, int control) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const auto big = make_frame(BIG_W, BIG_H, BIG_SEED);
    const auto square = make_frame(SQUARE_W, SQUARE_H, SQUARE_SEED);

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in plain = loopback(PLAIN_PORT);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&plain), sizeof plain) != 0 || listen(listener, 4) != 0) {
        perror("plain sender");
        _exit(1);
    }
    std::thread(plain_sender, listener, big.get()).detach();

    if (AlpacaServer::start_alpaca_server() != 0)
        _exit(1);
    // Camera 0 and camera 1, each answering get_imagearray with its frame.
    int device_id = 1;
    for (const auto& [frame, width, height] : {std::tuple{big, BIG_W, BIG_H}, std::tuple{square, SQUARE_W, SQUARE_H}}) {
        auto camera = AlpacaTest::make_recording_device(int(AlpacaServer::DeviceType::camera), device_id++, "bench");
        AlpacaTest::Canned canned;
        canned.frame = AlpacaServer::FrameView{frame->data(), width, height, frame, frame->size()};
        AlpacaTest::recorder_of(*camera).set_canned(canned);
        if (AlpacaServer::alpaca_server()->add_device(camera.release()) < 0)
            _exit(1);
    }

    const char byte = 'R';
    if (write(ready, &byte, 1) != 1)
        _exit(1);
    char c;
    while (read(control, &c, 1) > 0) {
    }
    _exit(0);
}

struct Server {
    pid_t pid = -1;
    int control = -1;  // closing it ends the server
};

Server start_server() {
    int ready[2], control[2];
    if (pipe(ready) != 0 || pipe(control) != 0)
        fail(system_error("pipe"));
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        fail(system_error("fork"));
    if (pid == 0) {
        close(ready[0]);
        close(control[1]);
        serve(ready[1], control[0]);
    }
    close(ready[1]);
    close(control[0]);
    char byte = 0;
    const bool up = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (!up)
        fail("the serving process did not start");
    return {pid, control[1]};
}

void stop_server(const Server& server) {
    close(server.control);
    int status = 0;
    waitpid(server.pid, &status, 0);
}

// --- Memory of the serving process ---

// --- The client ---

int connect_to(uint16_t port) {
    const int sd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = loopback(port);
    if (sd < 0 || connect(sd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        fail(system_error("connect"));
    return sd;
}

// Reads `length` bytes into `into`, from `at` on, wrapping to its start
// when it is shorter (so a body longer than the buffer is read and dropped).
bool read_body(int sd, std::vector<uint8_t>& into, size_t at, size_t length) {
    while (length > 0) {
        const size_t at_in = at % into.size();
        const ssize_t n = recv(sd, into.data() + at_in, std::min(length, into.size() - at_in), 0);
        if (n <= 0)
            return false;
        at += size_t(n);
        length -= size_t(n);
    }
    return true;
}

struct Download {
    size_t length = 0;  // of the body
    double seconds = 0;
};

// The plain copy: connect, then everything the sender sends.
Download plain_copy(std::vector<uint8_t>& into) {
    const auto start = Clock::now();
    const int sd = connect_to(PLAIN_PORT);
    const bool whole = read_body(sd, into, 0, BIG_BODY);
    const double seconds = seconds_since(start);
    close(sd);
    if (!whole)
        fail("the plain copy ended short");
    return {BIG_BODY, seconds};
}

// GET of a camera's imagearray; the body goes into `into`.
Download get_image(int camera, bool imagebytes, uint32_t client_transaction, std::vector<uint8_t>& into) {
    const auto start = Clock::now();
    const int sd = connect_to(ALPACA_PORT);
    const std::string request = "GET /api/v1/camera/" + std::to_string(camera) +
                                "/imagearray?ClientID=1&ClientTransactionID=" +
                                std::to_string(client_transaction) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                (imagebytes ? "Accept: application/imagebytes\r\n" : "") +
                                "Connection: close\r\n\r\n";
    if (!send_all(sd, request.data(), request.size()))
        fail(system_error("send"));
    std::string head;
    char block[4096];
    size_t end;
    while ((end = head.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = recv(sd, block, sizeof block, 0);
        if (n <= 0)
            fail("no answer to " + request.substr(0, request.find('\r')));
        head.append(block, size_t(n));
    }
    const std::string status = head.substr(0, head.find("\r\n"));
    if (status.rfind("HTTP/1.1 200", 0) != 0)
        fail(request.substr(0, request.find('\r')) + " answered " + head);
    std::string lower = head.substr(0, end);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const size_t field = lower.find("\r\ncontent-length:");
    if (field == std::string::npos)
        fail("answer without Content-Length: " + head.substr(0, end));
    const size_t length = std::strtoull(lower.c_str() + field + 17, nullptr, 10);
    const size_t early = head.size() - end - 4;
    if (early > length || early > into.size())
        fail("answer longer than its Content-Length");
    std::memcpy(into.data(), head.data() + end + 4, early);
    const bool whole = read_body(sd, into, early, length - early);
    const double seconds = seconds_since(start);
    close(sd);
    if (!whole)
        fail("the download ended short");
    return {length, seconds};
}

// An ImageBytes body of the big frame: its header, and every 7919th
// element against the frame (x outer, y inner, y = 0 the last row).
void check_imagebytes(const std::vector<uint8_t>& body, const Frame& frame, uint32_t client) {
    const auto u32 = [&](size_t at) { return uint32_t(body[at] | body[at + 1] << 8 | body[at + 2] << 16 | body[at + 3] << 24); };
    const uint32_t header[11] = {1, 0, client, u32(12), 44, 8, 8, 2, BIG_W, BIG_H, 0};
    for (size_t i = 0; i < 11; ++i)
        if (u32(4 * i) != header[i])
            fail("ImageBytes header field " + std::to_string(i) + " is " + std::to_string(u32(4 * i)));
    for (size_t i = 0; i < frame.size(); i += 7919) {
        const size_t x = i / BIG_H, y = i % BIG_H;
        const uint16_t got = uint16_t(body[44 + 2 * i] | body[45 + 2 * i] << 8);
        if (got != frame[(BIG_H - 1 - y) * BIG_W + x])
            fail("ImageBytes element " + std::to_string(i) + " differs from the frame");
    }
}

// Builds the JSON answer the plain way, as the framework would send it, and
// returns the seconds that took, freeing the values and the text included.
// `inspect` sees the text before it is freed and is not timed.
template <typename Inspect>
double reference_json(const Frame& f, int width, int height, uint32_t client, uint32_t server, Inspect inspect) {
    const auto start = Clock::now();
    json_t* o = json_object();
    json_object_set_new(o, "ErrorNumber", json_integer(0));
    json_object_set_new(o, "ErrorMessage", json_string(""));
    json_object_set_new(o, "Type", json_integer(2));
    json_object_set_new(o, "Rank", json_integer(2));
    json_t* value = json_array();
    for (int x = 0; x < width; ++x) {
        json_t* column = json_array();
        for (int y = 0; y < height; ++y)
            json_array_append_new(column, json_integer(f[size_t(height - 1 - y) * size_t(width) + size_t(x)]));
        json_array_append_new(value, column);
    }
    json_object_set_new(o, "Value", value);
    json_object_set_new(o, "ClientTransactionID", json_integer(client));
    json_object_set_new(o, "ServerTransactionID", json_integer(server));
    char* text = json_dumps(o, JSON_COMPACT);
    if (text == nullptr)
        fail("json_dumps failed");
    const double built = seconds_since(start);
    inspect(text);
    const auto release = Clock::now();
    free(text);
    json_decref(o);
    return built + seconds_since(release);
}

// The ServerTransactionID at the end of a JSON answer.
uint32_t server_transaction(const std::vector<uint8_t>& body, size_t length) {
    static const std::string key = "\"ServerTransactionID\":";
    const auto at = std::search(body.rbegin() + long(body.size() - length), body.rend(), key.rbegin(), key.rend());
    if (at == body.rend())
        fail("no ServerTransactionID in the JSON answer");
    return uint32_t(std::strtoul(reinterpret_cast<const char*>(&*at.base()) + 0, nullptr, 10));
}

void print_rate(const char* what, const Download& d) {
    printf("%-40s %10.0f %10.3f\n", what, double(d.length) / d.seconds / 1e6, d.seconds);
}

}  // namespace

int main(int argc, char** argv) try {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    const int json_rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    if (unshare(CLONE_NEWNET) != 0)
        fail(system_error("unshare(CLONE_NEWNET) (run as root)"));
    bring_loopback_up();
    const Server server = start_server();
    uint32_t client_transaction = 1;

    // ImageBytes against the plain copy, alternating; round 0 warms up.
    std::vector<uint8_t> buffer(BIG_BODY, 0x5A);
    Download best_plain{0, 1e30}, best_bytes{0, 1e30};
    long plain_peak = 0, bytes_peak = 0;
    for (int round = 0; round <= rounds; ++round) {
        long before = reset_peak(server.pid);
        const Download plain = plain_copy(buffer);
        plain_peak = std::max(plain_peak, status_kb(server.pid, "VmHWM:") - before);
        before = reset_peak(server.pid);
        const Download bytes = get_image(0, true, client_transaction++, buffer);
        bytes_peak = std::max(bytes_peak, status_kb(server.pid, "VmHWM:") - before);
        if (bytes.length != BIG_BODY)
            fail("ImageBytes body of " + std::to_string(bytes.length) + " bytes");
        if (round == 0)
            check_imagebytes(buffer, *make_frame(BIG_W, BIG_H, BIG_SEED), client_transaction - 1);
        if (round > 0) {
            if (plain.seconds < best_plain.seconds)
                best_plain = plain;
            if (bytes.seconds < best_bytes.seconds)
                best_bytes = bytes;
        }
    }
    printf("ImageBytes of camera 0, %d x %d 16-bit, over loopback; best of %d rounds\n", BIG_W, BIG_H, rounds);
    printf("%-40s %10s %10s\n", "", "MB/s", "s");
    print_rate("plain loopback copy", best_plain);
    print_rate("Alpaca ImageBytes download", best_bytes);
    printf("%-40s %10.2f\n", "ratio (goal >= 0.8)", best_plain.seconds / best_bytes.seconds);
    printf("%-40s %10.1f MB (plain copy: %.1f MB)\n", "server peak above start (goal <= 122)",
           megabytes(bytes_peak), megabytes(plain_peak));
    fflush(stdout);

    // JSON of camera 0, before any other JSON download: memory only, the
    // body wraps around the buffer.
    long json_peak = 0;
    Download big_json;
    for (int round = 0; round < json_rounds; ++round) {
        const long before = reset_peak(server.pid);
        big_json = get_image(0, false, client_transaction++, buffer);
        json_peak = std::max(json_peak, status_kb(server.pid, "VmHWM:") - before);
    }
    printf("\nJSON of camera 0, %d x %d (%.0f MB); memory the worst of %d rounds\n", BIG_W, BIG_H,
           double(big_json.length) / 1e6, json_rounds);
    printf("%-40s %10s %10s\n", "", "MB/s", "s");
    print_rate("Alpaca JSON download (last round)", big_json);
    printf("%-40s %10.1f MB\n", "server peak above start (goal <= 64)", megabytes(json_peak));
    fflush(stdout);

    // JSON of camera 1 against the plain construction.
    const auto square = make_frame(SQUARE_W, SQUARE_H, SQUARE_SEED);
    Download best_json{0, 1e30};
    double best_reference = 1e30;
    for (int round = 0; round < json_rounds; ++round) {
        const uint32_t client = client_transaction++;
        const Download json = get_image(1, false, client, buffer);
        if (json.length > buffer.size())
            fail("the JSON answer does not fit the buffer");
        best_json = json.seconds < best_json.seconds ? json : best_json;
        const double reference = reference_json(
            *square, SQUARE_W, SQUARE_H, client, server_transaction(buffer, json.length), [&](const char* text) {
                const size_t n = std::strlen(text);
                if (n != json.length || std::memcmp(text, buffer.data(), n) != 0)
                    fail("the JSON download differs from the reference (" + std::to_string(json.length) +
                         " bytes, reference " + std::to_string(n) + ")");
            });
        best_reference = std::min(best_reference, reference);
    }
    printf("\nJSON of camera 1, %d x %d, identical to the reference; best of %d rounds\n", SQUARE_W, SQUARE_H,
           json_rounds);
    printf("%-40s %10s %10s\n", "", "MB/s", "s");
    print_rate("reference: Jansson values, json_dumps", {best_json.length, best_reference});
    print_rate("Alpaca JSON download", best_json);
    printf("%-40s %10.1f\n", "speed-up (goal >= 20)", best_reference / best_json.seconds);

    stop_server(server);
    return 0;
} catch (const std::exception& error) {
    fprintf(stderr, "alpaca_download_bench: %s\n", error.what());
    return 1;
}
