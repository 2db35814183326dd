// Throughput and latency of the RFC 2217 bridge beside ser2net, each bridging
// a pty of the same test box over loopback, measured in the same run.
//
//   serial_bench [megabytes] [echoes]      (root: it runs a test box)
//
// For each bridge: 20 MB of random bytes (0xFF included) client to device and
// device to client, and the round trip of 1-byte and 64-byte echoes (a
// program on the pty's far end sends every byte straight back). The client is
// a small raw Telnet client: it escapes what it sends and drops the Telnet
// commands it receives. Each figure is the median of three rounds; the ratio
// column is telvad against ser2net (above 1 is better for throughput, below
// 1 for latency).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/test_box.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
constexpr uint8_t IAC = 0xFF;

// ser2net in its fastest configuration: RFC 2217 Telnet accepter, no
// character delay, 4096-byte buffers both ways.
constexpr const char* SER2NET_CONFIG = R"(connection: &bench
  accepter: telnet(rfc2217),tcp,127.0.0.1,3000
  connector: serialdev,/dev/ttyS3,9600n81,local
  options:
    kickolduser: true
    chardelay: false
    dev-to-net-bufsize: 4096
    net-to-dev-bufsize: 4096
)";

void fail(const std::string& what) { throw std::runtime_error(what); }

bool write_all(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written <= 0)
            return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// Reads what is there within `timeout_ms`; empty when nothing came.
Bytes read_some(int fd, int timeout_ms, size_t most = 65536) {
    pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, timeout_ms) <= 0)
        return {};
    Bytes bytes(most);
    const ssize_t got = read(fd, bytes.data(), bytes.size());
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return bytes;
}

void drain(int fd) {
    while (!read_some(fd, 50).empty()) {
    }
}

Bytes escaped(const Bytes& data) {
    Bytes out;
    out.reserve(data.size() + data.size() / 128);
    for (uint8_t byte : data) {
        out.push_back(byte);
        if (byte == IAC)
            out.push_back(IAC);
    }
    return out;
}

// The receiving half of the raw Telnet client: data bytes out, commands
// dropped.
class TelnetReader {
public:
    void feed(const uint8_t* bytes, size_t length, Bytes& data) {
        for (size_t i = 0; i < length; ++i) {
            const uint8_t byte = bytes[i];
            switch (state_) {
            case State::data:
                if (byte == IAC)
                    state_ = State::iac;
                else if (!in_subnegotiation_)
                    data.push_back(byte);
                break;
            case State::iac:
                state_ = State::data;
                if (byte == IAC && !in_subnegotiation_)
                    data.push_back(IAC);
                else if (byte == 250)
                    in_subnegotiation_ = true;
                else if (byte == 240)
                    in_subnegotiation_ = false;
                else if (byte >= 251)
                    state_ = State::option;
                break;
            case State::option:
                state_ = State::data;
                break;
            }
        }
    }

private:
    enum class State { data, iac, option };
    State state_ = State::data;
    bool in_subnegotiation_ = false;
};

struct Bridge {
    const char* name;
    uint16_t port;
    int master;
    int sd = -1;
};

void connect_client(const harness::TestBox& box, Bridge& bridge) {
    bridge.sd = box.socket(AF_INET, SOCK_STREAM);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(bridge.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(bridge.sd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail(std::string("connect to ") + bridge.name);
    const int one = 1;
    setsockopt(bridge.sd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Offer COM-PORT-OPTION, as RFC 2217 clients do; whatever the bridge
    // answers or announces is dropped.
    const uint8_t offer[] = {IAC, 251, 44};
    write_all(bridge.sd, offer, sizeof offer);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    drain(bridge.sd);
    drain(bridge.master);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Client to device: MB/s of payload.
double upstream(Bridge& bridge, const Bytes& payload) {
    const Bytes wire = escaped(payload);
    Bytes received;
    received.reserve(payload.size());
    const auto start = Clock::now();
    std::thread writer([&] { write_all(bridge.sd, wire.data(), wire.size()); });
    while (received.size() < payload.size()) {
        const Bytes chunk = read_some(bridge.master, 5000);
        if (chunk.empty())
            break;
        received.insert(received.end(), chunk.begin(), chunk.end());
    }
    const double took = seconds_since(start);
    writer.join();
    if (received != payload)
        fail(std::string(bridge.name) + ": client-to-device bytes differ");
    return static_cast<double>(payload.size()) / took / 1e6;
}

// Device to client: MB/s of payload.
double downstream(Bridge& bridge, const Bytes& payload) {
    Bytes received;
    received.reserve(payload.size());
    TelnetReader reader;
    const auto start = Clock::now();
    std::thread writer([&] { write_all(bridge.master, payload.data(), payload.size()); });
    while (received.size() < payload.size()) {
        const Bytes chunk = read_some(bridge.sd, 5000);
        if (chunk.empty())
            break;
        reader.feed(chunk.data(), chunk.size(), received);
    }
    const double took = seconds_since(start);
    writer.join();
    if (received != payload)
        fail(std::string(bridge.name) + ": device-to-client bytes differ");
    return static_cast<double>(payload.size()) / took / 1e6;
}

struct Latency {
    double median_us;
    double p99_us;
};

// Round trips of `size`-byte messages through each bridge and an echo on its
// pty's far end; the bridges take turns, echo by echo, so that whatever else
// the machine does falls on both alike.
std::vector<Latency> echo(std::vector<Bridge*> bridges, size_t size, int count) {
    std::atomic<bool> stop = false;
    std::vector<std::thread> far_ends;
    for (Bridge* bridge : bridges) {
        far_ends.emplace_back([&stop, master = bridge->master] {
            while (!stop) {
                const Bytes got = read_some(master, 20);
                if (!got.empty())
                    write_all(master, got.data(), got.size());
            }
        });
    }
    std::mt19937 random(11);
    std::vector<std::vector<double>> times(bridges.size());
    std::vector<TelnetReader> readers(bridges.size());
    for (int i = -50; i < count; ++i) {
        for (size_t b = 0; b < bridges.size(); ++b) {
            Bytes message(size);
            for (auto& byte : message)
                byte = static_cast<uint8_t>(random() % 255);  // no IAC: one wire byte each
            Bytes back;
            const auto start = Clock::now();
            write_all(bridges[b]->sd, message.data(), message.size());
            while (back.size() < size) {
                const Bytes chunk = read_some(bridges[b]->sd, 2000);
                if (chunk.empty())
                    fail(std::string(bridges[b]->name) + ": echo lost");
                readers[b].feed(chunk.data(), chunk.size(), back);
            }
            if (i >= 0)
                times[b].push_back(seconds_since(start) * 1e6);
        }
    }
    stop = true;
    for (std::thread& far_end : far_ends)
        far_end.join();
    std::vector<Latency> results;
    for (std::vector<double>& series : times) {
        std::sort(series.begin(), series.end());
        results.push_back({series[series.size() / 2], series[std::min(series.size() - 1, series.size() * 99 / 100)]});
    }
    return results;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) try {
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
    const int echoes = argc > 2 ? std::atoi(argv[2]) : 2000;
    constexpr int ROUNDS = 3;

    // The box's LAN gives it an IPv4 address besides loopback, without which
    // ser2net's address lookup (AI_ADDRCONFIG) finds none; both bridges are
    // still measured over loopback.
    harness::TestBox box("verbosity = warning\n", harness::Network::lan);
    {
        std::ofstream config(box.run_path("ser2net.yaml"));
        config << SER2NET_CONFIG;
    }
    box.wait_exit(box.start({"--simulate"}));
    const pid_t daemon = box.daemon_pid().value_or(-1);
    if (daemon <= 0 || !harness::eventually([&] { return box.in_main_loop(daemon); }))
        fail("telvad did not start");
    const pid_t ser2net =
        box.start_command({"/usr/sbin/ser2net", "-n", "-u", "-P", "/run/ser2net.pid", "-c", "/run/ser2net.yaml"});
    if (!harness::eventually([&] { return box.tcp_listening(ser2net, 3000); }))
        fail("ser2net did not start: " + box.output(ser2net));

    Bridge bridges[] = {{"telvad", 49000, box.serial_master(0)}, {"ser2net", 3000, box.serial_master(1)}};
    for (Bridge& bridge : bridges)
        connect_client(box, bridge);

    std::mt19937 random(5);
    Bytes payload(megabytes << 20);
    for (auto& byte : payload)
        byte = static_cast<uint8_t>(random());

    struct Figures {
        std::vector<double> up, down, one_median, one_p99, wide_median, wide_p99;
    } figures[2];
    for (int round = 0; round < ROUNDS; ++round) {
        for (int b = 0; b < 2; ++b) {
            Bridge& bridge = bridges[b];
            figures[b].up.push_back(upstream(bridge, payload));
            drain(bridge.sd);
            figures[b].down.push_back(downstream(bridge, payload));
            drain(bridge.master);
        }
        const std::vector<Latency> one = echo({&bridges[0], &bridges[1]}, 1, echoes);
        const std::vector<Latency> wide = echo({&bridges[0], &bridges[1]}, 64, echoes);
        for (int b = 0; b < 2; ++b) {
            figures[b].one_median.push_back(one[b].median_us);
            figures[b].one_p99.push_back(one[b].p99_us);
            figures[b].wide_median.push_back(wide[b].median_us);
            figures[b].wide_p99.push_back(wide[b].p99_us);
        }
    }

    printf("RFC 2217 bridge over loopback, pty device; %zu MB each way, %d echoes; median of %d rounds\n",
           megabytes, echoes, ROUNDS);
    printf("%-28s %12s %12s %10s\n", "", "telvad", "ser2net", "ratio");
    auto row = [](const char* what, const std::vector<double>& ours, const std::vector<double>& theirs) {
        const double a = median(ours), b = median(theirs);
        printf("%-28s %12.1f %12.1f %10.2f\n", what, a, b, a / b);
    };
    row("client->device MB/s", figures[0].up, figures[1].up);
    row("device->client MB/s", figures[0].down, figures[1].down);
    row("1-byte echo median us", figures[0].one_median, figures[1].one_median);
    row("1-byte echo p99 us", figures[0].one_p99, figures[1].one_p99);
    row("64-byte echo median us", figures[0].wide_median, figures[1].wide_median);
    row("64-byte echo p99 us", figures[0].wide_p99, figures[1].wide_p99);
    for (Bridge& bridge : bridges)
        close(bridge.sd);
    return 0;
} catch (const std::exception& error) {
    fprintf(stderr, "serial_bench: %s\n", error.what());
    return 1;
}
