// The RFC 2217 bridge end to end: the real daemon on the virtual box, a pty
// at /dev/ttyS2 whose other end the test holds, and raw Telnet clients (and
// pyserial) on TCP 49000.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "tests/harness/protocol_client.h"
#include "tests/harness/test_box.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t IAC = 0xFF, SB = 0xFA, SE = 0xF0, WILL = 0xFB, WONT = 0xFC, DO = 0xFD, DONT = 0xFE;

// Reads until `count` bytes came, the peer closed, or `timeout` passed.
Bytes receive(int fd, size_t count, std::chrono::milliseconds timeout = 3s) {
    Bytes bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry = {fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            break;
        uint8_t buffer[65536];
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (got <= 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

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

Bytes com_port(uint8_t code, const Bytes& values) {
    Bytes message = {IAC, SB, 44, code};
    for (uint8_t value : values)
        message.push_back(value);
    message.push_back(IAC);
    message.push_back(SE);
    return message;
}

Bytes modem_state(uint8_t value) { return com_port(107, {value}); }

termios line_of(int master) {
    termios attributes = {};
    tcgetattr(master, &attributes);  // on a pty master: the slave's attributes
    return attributes;
}

speed_t speed_of(int master) {
    const termios attributes = line_of(master);
    return cfgetospeed(&attributes);
}

class SerialBridge : public ::testing::Test {
protected:
    void SetUp() override {
        box.wait_exit(box.start({"--simulate"}));
        const pid_t daemon = box.daemon_pid().value_or(-1);
        ASSERT_TRUE(daemon > 0 && eventually([&] { return box.in_main_loop(daemon); }));
        master = box.serial_master(0);
    }

    // A client that has offered COM-PORT-OPTION and read the greeting and
    // the answer. `state` receives the first modem state it was sent.
    std::unique_ptr<ProtocolClient> open(uint8_t* state = nullptr) {
        auto client = std::make_unique<ProtocolClient>(box, Network::loopback, 49000);
        EXPECT_TRUE(client->send(Bytes{IAC, WILL, 44}));
        const Bytes greeting = receive(client->sd(), 10);
        EXPECT_EQ(greeting.size(), 10u);
        if (greeting.size() == 10) {
            EXPECT_EQ(Bytes(greeting.begin(), greeting.begin() + 4), (Bytes{IAC, SB, 44, 107}));
            EXPECT_EQ(Bytes(greeting.begin() + 5, greeting.end()), (Bytes{IAC, SE, IAC, DO, 44}));
            if (state)
                *state = greeting[4];
        }
        return client;
    }

    // Sends a request and expects exactly `answer` back (nothing, when empty).
    void expect_answer(ProtocolClient& client, const Bytes& request, const Bytes& answer) {
        ASSERT_TRUE(client.send(request));
        if (answer.empty())
            EXPECT_TRUE(client.silent(300ms)) << testing::PrintToString(request);
        else
            EXPECT_EQ(receive(client.sd(), answer.size()), answer) << testing::PrintToString(request);
    }

    // What the device end of the pty receives within `timeout`.
    Bytes device_bytes(size_t count, std::chrono::milliseconds timeout = 3s) {
        return receive(master, count, timeout);
    }

    bool list_has(const std::string& text) { return box.control("list").find(text) != std::string::npos; }

    TestBox box{"verbosity = info\n"};
    int master = -1;
};

}  // namespace

TEST_F(SerialBridge, GreetingThenOneAnswerToEveryNegotiation) {
    uint8_t state = 0;
    auto client = open(&state);
    EXPECT_EQ(state & 0x03, 0x03) << "both change bits";
    EXPECT_EQ(state & ~0x33, 0) << "only CTS and DSR are reported";
    expect_answer(*client, {IAC, DO, 1, IAC, WILL, 0, IAC, WONT, 44, IAC, WILL, 44},
                  {IAC, WONT, 1, IAC, DONT, 0, IAC, DONT, 44, IAC, DO, 44});
    EXPECT_TRUE(device_bytes(1, 200ms).empty()) << "negotiations never reach the device";
}

TEST_F(SerialBridge, LineSettingsReachThePtyAndAreAnswered) {
    auto client = open();
    expect_answer(*client, com_port(1, {0, 0, 0, 0}), com_port(101, {0x00, 0x00, 0x25, 0x80}));
    expect_answer(*client, com_port(1, {0x00, 0x01, 0xC2, 0x00}), com_port(101, {0x00, 0x01, 0xC2, 0x00}));
    EXPECT_EQ(speed_of(master), B115200);
    expect_answer(*client, com_port(1, {0x00, 0x00, 0x38, 0x40}), com_port(101, {0x00, 0x00, 0x38, 0x40}));
    EXPECT_EQ(speed_of(master), B115200) << "14400 has no speed code";
    expect_answer(*client, com_port(1, {0, 0, 0, 0}), com_port(101, {0x00, 0x01, 0xC2, 0x00}));

    expect_answer(*client, com_port(2, {0}), com_port(102, {8}));
    expect_answer(*client, com_port(3, {4}), com_port(103, {4}));
    expect_answer(*client, com_port(4, {2}), com_port(104, {2}));
    EXPECT_TRUE(line_of(master).c_cflag & CSTOPB);
    expect_answer(*client, com_port(4, {3}), com_port(104, {3}));
    EXPECT_TRUE(line_of(master).c_cflag & CSTOPB) << "1.5 stop bits change nothing";

    expect_answer(*client, com_port(5, {3}), com_port(105, {3}));
    EXPECT_TRUE(line_of(master).c_cflag & CRTSCTS);
    expect_answer(*client, com_port(5, {2}), com_port(105, {2}));
    EXPECT_TRUE(line_of(master).c_cflag & CRTSCTS) << "XON/XOFF leaves flow control";
    expect_answer(*client, com_port(5, {1}), com_port(105, {1}));
    EXPECT_FALSE(line_of(master).c_cflag & CRTSCTS);
    expect_answer(*client, com_port(5, {4}), com_port(105, {6}));
    expect_answer(*client, com_port(5, {5}), com_port(105, {5}));
    EXPECT_TRUE(list_has("serial a /dev/ttyS2 dtr=0 rts=0 cts=0 dsr=0 dcd=0 ri=0 break=1")) << box.control("list");
    expect_answer(*client, com_port(5, {4}), com_port(105, {5}));
    expect_answer(*client, com_port(5, {8}), com_port(105, {8}));
    expect_answer(*client, com_port(5, {11}), com_port(105, {11}));
    EXPECT_TRUE(list_has("serial a /dev/ttyS2 dtr=1 rts=1")) << box.control("list");
    expect_answer(*client, com_port(5, {7}), com_port(105, {8}));
    expect_answer(*client, com_port(5, {9}), com_port(105, {9}));
    expect_answer(*client, com_port(5, {10}), com_port(105, {11}));
    expect_answer(*client, com_port(5, {13}), com_port(105, {13}));
    EXPECT_TRUE(box.wait_for_log("set_com_port_option(): SET_CONTROL value 13 not implemented"));
    expect_answer(*client, com_port(11, {0xF3}), com_port(111, {0}));
    expect_answer(*client, com_port(0, {}), {});
    expect_answer(*client, com_port(12, {1}), com_port(112, {1}));
    expect_answer(*client, com_port(12, {2}), com_port(112, {2}));
    expect_answer(*client, com_port(12, {3}), com_port(112, {3}));

    // The modem thread was restarted by the settings above and still reports.
    ASSERT_EQ(box.control("modem a dsr=1"), "ok\n");
    EXPECT_EQ(receive(client->sd(), 7), modem_state(0x22));
    ASSERT_EQ(box.control("modem a cts=1 dsr=0"), "ok\n");
    EXPECT_EQ(receive(client->sd(), 7), modem_state(0x13));

    // A client that leaves in BREAK does not leave the line in it.
    expect_answer(*client, com_port(5, {5}), com_port(105, {5}));
    client->close();
    ASSERT_TRUE(box.wait_for_log("disconnected from serial position '0'."));
    EXPECT_TRUE(list_has("break=0")) << box.control("list");
}

TEST_F(SerialBridge, EscapingBothWaysAndLooseIacsReachTheDevice) {
    auto client = open();
    const uint8_t from_device[] = {'a', IAC, 'b', IAC};
    ASSERT_TRUE(write_all(master, from_device, sizeof from_device));
    EXPECT_EQ(receive(client->sd(), 6), (Bytes{'a', IAC, IAC, 'b', IAC, IAC}));

    ASSERT_TRUE(client->send({'x', IAC, IAC, 'y'}));
    EXPECT_EQ(device_bytes(3), (Bytes{'x', IAC, 'y'}));
    ASSERT_TRUE(client->send({IAC, 0xF1, 'n'}));
    EXPECT_EQ(device_bytes(3), (Bytes{IAC, 0xF1, 'n'})) << "IAC NOP is data";
    ASSERT_TRUE(client->send({'z', IAC}));
    EXPECT_EQ(device_bytes(2), (Bytes{'z', IAC})) << "a lone IAC at the end goes to the device";

    // A command split over two segments is still a command.
    ASSERT_TRUE(client->send({'p', IAC, SB, 44, 5}));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(client->send({8, IAC, SE, 'q'}));
    EXPECT_EQ(receive(client->sd(), 7), com_port(105, {8}));
    EXPECT_EQ(device_bytes(2), (Bytes{'p', 'q'}));
}

TEST_F(SerialBridge, TwentyMegabytesEachWayArriveWholeAndInOrder) {
    constexpr size_t SIZE = 20 << 20;
    auto client = open();
    std::mt19937 random(7);
    Bytes up(SIZE), down(SIZE);
    for (auto& byte : up)
        byte = static_cast<uint8_t>(random());
    for (auto& byte : down)
        byte = static_cast<uint8_t>(random());

    // Client to device, escaped and written in pieces of every size, so that
    // reads split the doubled IACs.
    std::thread writer([&] {
        Bytes escaped;
        escaped.reserve(2 * SIZE);
        for (uint8_t byte : up) {
            escaped.push_back(byte);
            if (byte == IAC)
                escaped.push_back(IAC);
        }
        size_t at = 0, piece = 1;
        while (at < escaped.size()) {
            const size_t length = std::min(piece, escaped.size() - at);
            if (!write_all(client->sd(), escaped.data() + at, length))
                return;
            at += length;
            piece = piece * 7 % 20011 + 1;
        }
    });
    Bytes at_device;
    std::thread device_reader([&] { at_device = receive(master, SIZE, 120s); });
    std::thread device_writer([&] { write_all(master, down.data(), down.size()); });

    Bytes at_client;
    at_client.reserve(SIZE);
    bool escape = false;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (at_client.size() < SIZE && std::chrono::steady_clock::now() < deadline) {
        const Bytes chunk = receive(client->sd(), 65536, 2s);
        if (chunk.empty())
            break;
        for (uint8_t byte : chunk) {
            if (byte == IAC && !escape) {
                escape = true;
                continue;
            }
            escape = false;
            at_client.push_back(byte);
        }
    }
    writer.join();
    device_writer.join();
    device_reader.join();
    EXPECT_EQ(at_client.size(), SIZE);
    EXPECT_TRUE(at_client == down) << "device to client";
    EXPECT_EQ(at_device.size(), SIZE);
    EXPECT_TRUE(at_device == up) << "client to device";
}

TEST_F(SerialBridge, ModemNotificationsNeverLandInsideRelayedData) {
    // A small receive window keeps the daemon's writes waiting for room in
    // the socket, where another writer could slip in.
    const int sd = box.socket(AF_INET, SOCK_STREAM);
    const int small = 4096;
    setsockopt(sd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(49000);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(sd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const uint8_t offer[] = {IAC, WILL, 44};
    ASSERT_TRUE(write_all(sd, offer, sizeof offer));
    ASSERT_EQ(receive(sd, 10).size(), 10u);
    constexpr size_t SIZE = 4 << 20;
    Bytes down(SIZE);
    std::mt19937 random(3);
    for (auto& byte : down)
        byte = static_cast<uint8_t>(random());
    std::thread device_writer([&] { write_all(master, down.data(), down.size()); });
    std::atomic<bool> done = false;
    // Notifications all through the transfer, while the daemon's data
    // writes wait for room.
    std::thread toggler([&] {
        for (int i = 0; !done; ++i)
            box.control(i % 2 ? "modem a dsr=0" : "modem a dsr=1");
    });

    // A strict reader: data, doubled IACs and whole NOTIFY-MODEMSTATE
    // messages, nothing else.
    Bytes data;
    int notifications = 0;
    bool malformed = false;
    Bytes stream;
    size_t at = 0;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (data.size() < SIZE && !malformed && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100us);
        const Bytes chunk = receive(sd, 4096, 2s);
        if (chunk.empty())
            break;
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        while (at < stream.size()) {
            if (stream[at] != IAC) {
                data.push_back(stream[at++]);
                continue;
            }
            if (at + 1 >= stream.size())
                break;
            if (stream[at + 1] == IAC) {
                data.push_back(IAC);
                at += 2;
                continue;
            }
            if (at + 7 > stream.size())
                break;
            const Bytes message(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at) + 7);
            if (message != modem_state(0x22) && message != modem_state(0x02)) {
                malformed = true;
                break;
            }
            ++notifications;
            at += 7;
        }
    }
    done = true;
    toggler.join();
    device_writer.join();
    EXPECT_FALSE(malformed) << "at byte " << at;
    EXPECT_GT(notifications, 0);
    EXPECT_EQ(data.size(), SIZE);
    EXPECT_TRUE(data == down);
    close(sd);
}

TEST_F(SerialBridge, AFullDeviceHoldsTheClientBackButNotTheOtherWay) {
    auto client = open();
    Bytes up(1 << 20);
    for (size_t i = 0; i < up.size(); ++i)
        up[i] = static_cast<uint8_t>(i % 251);
    std::thread writer([&] { write_all(client->sd(), up.data(), up.size()); });
    std::this_thread::sleep_for(500ms);  // the pty is full long before this

    const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_TRUE(write_all(master, hello, sizeof hello));
    EXPECT_EQ(receive(client->sd(), 5), (Bytes{'h', 'e', 'l', 'l', 'o'})) << "served while the device is full";

    EXPECT_EQ(receive(master, up.size(), 20s), up) << "nothing lost, nothing doubled";
    writer.join();
    EXPECT_EQ(box.count_log("dropping what it does not take"), 0u);
}

TEST_F(SerialBridge, ADeviceThatTakesNothingForLongIsBypassedUntilItTakesAgain) {
    auto client = open();
    const Bytes up(1 << 20, 'u');
    std::thread writer([&] { write_all(client->sd(), up.data(), up.size()); });
    const bool dropped =
        box.wait_for_log("Serial 0: the device took nothing for 5000 ms, dropping what it does not take", 20s);
    if (!dropped)
        shutdown(client->sd(), SHUT_RDWR);
    writer.join();  // the rest goes at once
    ASSERT_TRUE(dropped);
    expect_answer(*client, com_port(5, {7}), com_port(105, {9}));

    const size_t kept = receive(master, up.size(), 1s).size();
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, up.size());
    ASSERT_TRUE(client->send({'t', 'a', 'i', 'l'}));
    EXPECT_EQ(device_bytes(4), (Bytes{'t', 'a', 'i', 'l'}));
    EXPECT_TRUE(box.wait_for_log("Serial 0: the device takes data again"));
}

TEST_F(SerialBridge, BusyPortRefusesOthersAndTheNextClientStartsFresh) {
    auto first = open();
    expect_answer(*first, com_port(1, {0x00, 0x00, 0xE1, 0x00}), com_port(101, {0x00, 0x00, 0xE1, 0x00}));
    expect_answer(*first, com_port(4, {2}), com_port(104, {2}));
    expect_answer(*first, com_port(5, {3}), com_port(105, {3}));
    expect_answer(*first, com_port(5, {8}), com_port(105, {8}));
    expect_answer(*first, com_port(5, {11}), com_port(105, {11}));

    ProtocolClient second(box, Network::loopback, 49000);
    ASSERT_TRUE(second.send(Bytes{IAC, WILL, 44}));
    EXPECT_TRUE(second.closed_by_daemon());
    EXPECT_TRUE(box.wait_for_log("Serial 0 already opened"));
    ASSERT_TRUE(first->send({'s', 't', 'i', 'l', 'l'}));
    EXPECT_EQ(device_bytes(5), (Bytes{'s', 't', 'i', 'l', 'l'})) << "the first is not disturbed";

    first->close();
    ASSERT_TRUE(box.wait_for_log("disconnected from serial position '0'."));
    auto next = open();
    const termios line = line_of(master);
    EXPECT_EQ(cfgetospeed(&line), B9600);
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(list_has("serial a /dev/ttyS2 dtr=0 rts=0")) << box.control("list");
    expect_answer(*next, com_port(1, {0, 0, 0, 0}), com_port(101, {0x00, 0x00, 0x25, 0x80}));
}

TEST_F(SerialBridge, PyserialDrivesThePortWithItsDefaults) {
    // The far end of the line: answers each request of the script, checking
    // the line as it stands then.
    std::atomic<bool> stop = false;
    std::string seen;
    std::thread far_end([&] {
        std::string line;
        while (!stop) {
            const Bytes got = receive(master, 1, 100ms);
            if (got.empty())
                continue;
            if (got[0] != '\n') {
                line.push_back(static_cast<char>(got[0]));
                continue;
            }
            const termios attributes = line_of(master);
            seen += line + ": speed=" + std::to_string(cfgetospeed(&attributes)) +
                    " cstopb=" + std::to_string(!!(attributes.c_cflag & CSTOPB)) + " " + box.control("list");
            std::string answer;
            if (line == "ping") {
                answer = "pong\xff\n";
            } else if (line == "lines") {
                box.control("modem a cts=1 dsr=1");
                answer = "up\n";
            } else if (line == "break") {
                answer = "ok\n";
            }
            write_all(master, reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
            line.clear();
        }
    });

    const std::string script = R"(
import serial, sys, time
slowest = 0.0
def timed(what, action):
    global slowest
    start = time.monotonic()
    result = action()
    took = time.monotonic() - start
    slowest = max(slowest, took)
    print(what, round(took, 3), flush=True)
    return result
port = timed("open", lambda: serial.serial_for_url("rfc2217://127.0.0.1:49000", baudrate=57600,
             bytesize=serial.SEVENBITS, parity=serial.PARITY_EVEN, stopbits=serial.STOPBITS_ONE, timeout=2))
timed("write", lambda: port.write(b"ping\n"))
answer = timed("read", lambda: port.read(6))
assert answer == b"pong\xff\n", answer
timed("dtr", lambda: setattr(port, "dtr", False))
timed("rts", lambda: setattr(port, "rts", False))
timed("break", lambda: port.send_break(0.05))
timed("break_on", lambda: setattr(port, "break_condition", True))
port.write(b"break\n")
assert port.read(3) == b"ok\n"
timed("break_off", lambda: setattr(port, "break_condition", False))
port.write(b"lines\n")
assert port.read(3) == b"up\n"
deadline = time.monotonic() + 2
while not (port.cts and port.dsr) and time.monotonic() < deadline:
    time.sleep(0.01)
print("cts", port.cts, "dsr", port.dsr)
timed("close", port.close)
print("slowest", slowest)
sys.exit(0 if slowest < 2.5 else 3)
)";
    const pid_t python = box.start_command({"/usr/bin/python3", "-c", script});
    const auto exit = box.wait_exit(python, 30s);
    stop = true;
    far_end.join();
    const std::string output = box.output(python);
    ASSERT_TRUE(exit.has_value()) << output;
    EXPECT_TRUE(exit->exited && exit->status == 0) << output;
    EXPECT_NE(output.find("cts True dsr True"), std::string::npos) << output;
    // 57600 7E1 as the line keeps it (a pty forces 8 bits without parity),
    // DTR and RTS raised by the open, then dropped, and BREAK held.
    EXPECT_NE(seen.find("ping: speed=" + std::to_string(B57600) + " cstopb=0 serial a /dev/ttyS2 dtr=1 rts=1"),
              std::string::npos)
        << seen;
    EXPECT_NE(seen.find("break: speed=" + std::to_string(B57600) + " cstopb=0 serial a /dev/ttyS2 dtr=0 rts=0"),
              std::string::npos)
        << seen;
    EXPECT_NE(seen.find("break=1"), std::string::npos) << seen;
}
