// The ImageBytes download of a 61-megapixel frame from the real daemon's
// Alpaca camera, beside a plain loopback TCP copy of the same number of
// bytes, measured in the same run.
//
//   alpaca_camera_bench [rounds]      (root: it runs a test box; default 5)
//
// The daemon runs on the virtual box with Alpaca on and one classic big
// camera of 9576 x 6388 pixels (pattern coords). Each round connects over
// HTTP as a client would, exposes a short light frame of the whole sensor,
// polls ImageReady, and times from ImageReady to the last byte of
// GET imagearray (Accept: application/imagebytes), the body read into one
// buffer reused for every round. The baseline sends the same number of
// bytes from one buffer over a loopback connection in the same box into a
// buffer of the same size. Before each download the daemon's peak resident
// size is reset (/proc/PID/clear_refs), and read after it (VmHWM): the
// growth during the download, worst of the rounds, is printed (goal: at
// most one frame, 122 MB).
//
// On a shared box the throughputs swing from run to run, so the median of
// the rounds' own ratios (each download beside the copy that follows it) is
// printed too, and the CPU time each sender spent per frame: the daemon's
// (all its threads, from /proc/PID/stat, tick-grained, summed over the
// rounds) and the plain sender thread's.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_io.h"
#include "tests/harness/http_client.h"
#include "tests/harness/test_box.h"

namespace {

using namespace bench;
using Buffer = std::vector<uint8_t>;
constexpr uint32_t WIDTH = 9576, HEIGHT = 6388;
constexpr size_t HEADER = 44;
constexpr size_t BODY = HEADER + size_t{2} * WIDTH * HEIGHT;

// --- Memory of the daemon ---

// CPU seconds the process has used in all its threads, those ended included.
double process_cpu(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t name_end = text.rfind(')');
    if (name_end == std::string::npos)
        fail("no /proc/" + std::to_string(pid) + "/stat");
    // After the name: state, then utime and stime as the 12th and 13th.
    std::istringstream fields(text.substr(name_end + 1));
    std::string field;
    double ticks = 0;
    for (int i = 0; i < 13 && fields >> field; ++i)
        if (i >= 11)
            ticks += std::strtod(field.c_str(), nullptr);
    return ticks / double(sysconf(_SC_CLK_TCK));
}

double thread_cpu() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// --- The Alpaca client ---

class Camera {
public:
    explicit Camera(const harness::TestBox& box) : box_(box) {}

    // A member call that must succeed; returns the envelope.
    std::string call(const std::string& method, const std::string& member, const std::string& form = "") {
        const std::string id = "ClientID=7&ClientTransactionID=" + std::to_string(++transaction_);
        const std::string target = "/api/v1/camera/0/" + member + (method == "GET" ? "?" + id : "");
        const harness::HttpAnswer answer = harness::HttpClient(8000, box_.socket(AF_INET, SOCK_STREAM))
                                               .request(method, target, {}, method == "GET" ? "" : form + "&" + id);
        if (answer.status != 200 || answer.body.find("\"ErrorNumber\":0,") == std::string::npos)
            fail(method + " " + member + " " + form + " answered " + std::to_string(answer.status) + " " +
                 answer.body);
        return answer.body;
    }

    // GET imagearray as ImageBytes on a connection of its own, the body
    // read into `into`; returns the client transaction id it sent.
    uint32_t image_bytes(Buffer& into) {
        const uint32_t id = ++transaction_;
        const int sd = box_.socket(AF_INET, SOCK_STREAM);
        const sockaddr_in to = loopback(8000);
        if (connect(sd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            fail(std::string("connect: ") + std::strerror(errno));
        const std::string request = "GET /api/v1/camera/0/imagearray?ClientID=7&ClientTransactionID=" +
                                    std::to_string(id) +
                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: application/imagebytes\r\n"
                                    "Connection: close\r\n\r\n";
        if (!send_all(sd, request.data(), request.size()))
            fail(std::string("send: ") + std::strerror(errno));
        std::string head;
        char block[4096];
        size_t end;
        while ((end = head.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = recv(sd, block, sizeof block, 0);
            if (n <= 0)
                fail("no answer to GET imagearray");
            head.append(block, size_t(n));
        }
        std::string lower = head.substr(0, end);
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        const size_t field = lower.find("\r\ncontent-length:");
        if (lower.rfind("http/1.1 200", 0) != 0 || field == std::string::npos ||
            std::strtoull(lower.c_str() + field + 17, nullptr, 10) != into.size())
            fail("GET imagearray answered " + head.substr(0, end));
        const size_t early = head.size() - end - 4;
        if (early > into.size())
            fail("answer longer than its Content-Length");
        std::memcpy(into.data(), head.data() + end + 4, early);
        const bool whole = read_exactly(sd, into.data() + early, into.size() - early);
        close(sd);
        if (!whole)
            fail("the download ended short");
        return id;
    }

private:
    const harness::TestBox& box_;
    uint32_t transaction_ = 0;
};

// The header, and every 7919th element and the last against the coords
// pattern in the wire order: element (x, y), x outer, is the pixel at
// column x of row height-1-y, whose value is x + 2 * row.
void check_image(const Buffer& body, uint32_t client) {
    const auto u32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, body.data() + at, 4);
        return v;  // little-endian, as the host
    };
    const uint32_t header[11] = {1, 0, client, u32(12), 44, 8, 8, 2, WIDTH, HEIGHT, 0};
    for (size_t i = 0; i < 11; ++i)
        if (u32(4 * i) != header[i])
            fail("ImageBytes header field " + std::to_string(i) + " is " + std::to_string(u32(4 * i)));
    const auto check = [&](size_t i) {
        const size_t x = i / HEIGHT, row = HEIGHT - 1 - i % HEIGHT;
        const uint16_t got = uint16_t(body[HEADER + 2 * i] | body[HEADER + 2 * i + 1] << 8);
        if (got != uint16_t(x + 2 * row))
            fail("element " + std::to_string(i) + " (column " + std::to_string(x) + ", row " + std::to_string(row) +
                 ") is " + std::to_string(got));
    };
    const size_t count = size_t{WIDTH} * HEIGHT;
    for (size_t i = 0; i < count; i += 7919)
        check(i);
    check(count - 1);
}

struct Copy {
    double seconds = 0;
    double sender_cpu = 0;  // of the sending thread
};

// The same number of bytes over a plain loopback connection of the box.
Copy plain_copy(const harness::TestBox& box, const Buffer& from, Buffer& into) {
    const BaselinePair pair = baseline_pair(box);
    const int sender = pair.sender, receiver = pair.receiver;
    const auto start = Clock::now();
    double sender_cpu = 0;
    std::thread pump([&] {
        const double cpu = thread_cpu();
        send_all(sender, from.data(), from.size());
        sender_cpu = thread_cpu() - cpu;
    });
    const bool whole = read_exactly(receiver, into.data(), into.size());
    const double elapsed = seconds_since(start);
    pump.join();
    if (!whole)
        fail("the baseline copy failed");
    return {elapsed, sender_cpu};
}

}  // namespace

int main(int argc, char** argv) try {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    harness::TestBox box("alpaca_enabled = 1\nverbosity = warning\n");
    std::ofstream(box.run_path("bench.sim")) << "plug camera 1201 desc=big width=" << WIDTH << " height=" << HEIGHT
                                             << " pattern=coords\n";
    box.wait_exit(box.start({"--simulate", "/run/bench.sim", "--sim-time-scale", "0.01"}));
    const pid_t daemon = box.daemon_pid().value_or(-1);
    if (daemon <= 0 || !harness::eventually([&] { return box.in_main_loop(daemon); }) ||
        !harness::eventually([&] { return box.tcp_listening(daemon, 8000); }, std::chrono::seconds(10)))
        fail("telvad did not start serving Alpaca");

    Camera camera(box);
    camera.call("PUT", "connected", "Connected=true");
    for (const char* setting : {"binx BinX=1", "biny BinY=1", "startx StartX=0", "starty StartY=0",
                                "numx NumX=9576", "numy NumY=6388"}) {
        const std::string s = setting;
        camera.call("PUT", s.substr(0, s.find(' ')), s.substr(s.find(' ') + 1));
    }

    Buffer image(BODY), source(BODY, 0x5A), sink(BODY);
    std::vector<double> ours, plain, ratios;
    double our_cpu = 0, plain_cpu = 0;
    long peak = 0, held = 0;
    // Round 0 warms up (buffers faulted in on both sides) and is not counted.
    for (int round = 0; round <= rounds; ++round) {
        camera.call("PUT", "startexposure", "Duration=0.01&Light=true");
        const auto ready = [&] { return camera.call("GET", "imageready").find("\"Value\":true") != std::string::npos; };
        if (!harness::eventually(ready, std::chrono::seconds(60)))
            fail("no image");
        const long before = reset_peak(daemon);
        const double cpu = process_cpu(daemon);
        const auto start = Clock::now();
        const uint32_t id = camera.image_bytes(image);
        const double seconds = seconds_since(start);
        const double used = process_cpu(daemon) - cpu;
        const long grown = status_kb(daemon, "VmHWM:") - before;
        check_image(image, id);
        const Copy baseline = plain_copy(box, source, sink);
        if (round == 0)
            continue;
        ours.push_back(seconds);
        plain.push_back(baseline.seconds);
        ratios.push_back(baseline.seconds / seconds);
        our_cpu += used;
        plain_cpu += baseline.sender_cpu;
        peak = std::max(peak, grown);
        held = before;
    }
    camera.call("PUT", "connected", "Connected=false");

    const double best_ours = *std::min_element(ours.begin(), ours.end());
    const double best_plain = *std::min_element(plain.begin(), plain.end());
    const double mb = double(BODY) / 1e6;
    printf("Alpaca ImageBytes of a %u x %u frame (%.0f MB) from telvad --simulate, ImageReady to last byte;\n"
           "best of %d rounds\n",
           WIDTH, HEIGHT, mb, rounds);
    printf("%-40s %10s %10s\n", "", "MB/s", "s");
    printf("%-40s %10.0f %10.3f\n", "telvad Alpaca ImageBytes", mb / best_ours, best_ours);
    printf("%-40s %10.0f %10.3f\n", "plain loopback copy", mb / best_plain, best_plain);
    printf("%-40s %10.2f\n", "ratio (goal >= 0.8)", best_plain / best_ours);
    std::sort(ratios.begin(), ratios.end());
    printf("%-40s %10.2f (rounds %.2f to %.2f)\n", "median ratio of the rounds", ratios[ratios.size() / 2],
           ratios.front(), ratios.back());
    printf("%-40s %10.1f ms (plain sender: %.1f ms)\n", "daemon CPU per frame", 1e3 * our_cpu / rounds,
           1e3 * plain_cpu / rounds);
    printf("%-40s %10.1f MB (held before: %.1f MB)\n", "daemon peak above before (goal <= 122)", megabytes(peak),
           megabytes(held));
    return 0;
} catch (const std::exception& error) {
    fprintf(stderr, "alpaca_camera_bench: %s\n", error.what());
    return 1;
}
