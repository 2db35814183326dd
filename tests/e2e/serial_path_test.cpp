// Connections to the serial ports: each position serves one client at a
// time, and is free again when its client goes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness/protocol_client.h"
#include "tests/harness/test_box.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

// A client of a serial port that has said something, so the daemon takes it up.
std::unique_ptr<ProtocolClient> serial_client(const TestBox& box, uint16_t port) {
    auto client = std::make_unique<ProtocolClient>(box, Network::loopback, port);
    EXPECT_TRUE(client->connected());
    EXPECT_TRUE(client->send(Bytes{0xFF, 0xF1}));  // Telnet NOP
    return client;
}

}  // namespace

TEST(SerialPorts, OneClientPerPosition) {
    TestBox box("verbosity = info\n");
    pid_t launcher = box.start({"--simulate"});
    box.wait_exit(launcher);
    pid_t daemon = box.daemon_pid().value_or(-1);
    ASSERT_TRUE(daemon > 0 && eventually([&] { return box.in_main_loop(daemon); }));

    auto first = serial_client(box, 49000);
    ASSERT_TRUE(box.wait_for_log("connected to serial position: 0."));
    auto second = serial_client(box, 49000);
    EXPECT_TRUE(second->closed_by_daemon());
    EXPECT_TRUE(box.wait_for_log("Serial 0 already opened", 1s));

    auto other = serial_client(box, 49001);
    EXPECT_TRUE(box.wait_for_log("connected to serial position: 1.", 2s));
    EXPECT_NE(box.control("list").find("serial b /dev/ttyS3 dtr=0 rts=0"), std::string::npos) << box.control("list");

    first->close();
    ASSERT_TRUE(box.wait_for_log("disconnected from serial position '0'.", 2s));
    auto third = serial_client(box, 49000);
    EXPECT_TRUE(eventually([&] { return box.count_log("connected to serial position: 0.") == 2; }));
    // The position is the new client's: its session greets it with the
    // modem state (IAC SB 44 107 value IAC SE).
    pollfd wait = {third->sd(), POLLIN, 0};
    uint8_t greeting[7] = {};
    ASSERT_EQ(poll(&wait, 1, 2000), 1);
    EXPECT_EQ(recv(third->sd(), greeting, sizeof greeting, MSG_WAITALL), 7);
    EXPECT_EQ(greeting[3], 107);
}
