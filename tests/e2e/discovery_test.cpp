// Discovery as a PC on the LAN sees it: the multicast address request and
// the Alpaca discovery request.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/harness/test_box.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

constexpr const char* GROUP = "234.10.234.210";

sockaddr_in address(const char* host, uint16_t port) {
    sockaddr_in result = {};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    inet_pton(AF_INET, host, &result.sin_addr);
    return result;
}

// Waits for one datagram; empty when none came in time.
std::string receive(int sd, std::chrono::milliseconds timeout = 2s) {
    pollfd wait = {sd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(timeout.count())) != 1)
        return "";
    char text[9000];
    ssize_t length = recv(sd, text, sizeof text, 0);
    return length > 0 ? std::string(text, static_cast<size_t>(length)) : "";
}

void send_to(int sd, const std::string& text, const sockaddr_in& to) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()),
              sendto(sd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

// A PC on the LAN that is a member of the discovery group.
struct GroupMember {
    explicit GroupMember(const TestBox& box) : sd(box.peer_socket(AF_INET, SOCK_DGRAM)) {
        int on = 1;
        setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in any = address("0.0.0.0", 11111);
        EXPECT_EQ(0, bind(sd, reinterpret_cast<sockaddr*>(&any), sizeof any));
        ip_mreq membership = {};
        inet_pton(AF_INET, GROUP, &membership.imr_multiaddr);
        inet_pton(AF_INET, PEER_ADDRESS, &membership.imr_interface);
        EXPECT_EQ(0, setsockopt(sd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership));
        unsigned char loop = 0;  // not our own requests
        setsockopt(sd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    }
    ~GroupMember() { close(sd); }

    // Asks, and returns the first reply.
    std::string ask(const std::string& request = "ETHADAP_GET_IP") {
        send_to(sd, request, address(GROUP, 11111));
        return receive(sd);
    }

    int sd;
};

struct RunningBox {
    explicit RunningBox(const std::string& config) : box(config, Network::lan) {
        pid_t launcher = box.start();
        box.wait_exit(launcher);
        daemon = box.daemon_pid().value_or(-1);
        EXPECT_TRUE(daemon > 0 && eventually([&] { return box.in_main_loop(daemon); })) << box.output(launcher);
    }
    TestBox box;
    pid_t daemon = -1;
};

}  // namespace

TEST(Discovery, AddressReplyFollowsWifiThenWire) {
    RunningBox running("");
    GroupMember pc(running.box);
    EXPECT_EQ("ETHADAP_GET_IP;10.0.0.5", pc.ask());

    ASSERT_EQ(0, running.box.run_in_box({"link", "add", "wlan0", "type", "veth", "peer", "name", "wlan0-far"}));
    ASSERT_EQ(0, running.box.run_in_box({"addr", "add", "192.168.4.1/24", "dev", "wlan0"}));
    EXPECT_EQ("ETHADAP_GET_IP;10.0.0.5", pc.ask()) << "wlan0 is down";

    ASSERT_EQ(0, running.box.run_in_box({"link", "set", "wlan0", "up"}));
    EXPECT_EQ("ETHADAP_GET_IP;192.168.4.1", pc.ask());
}

TEST(Discovery, WithoutAnAddressTheReplyCarriesLoopback) {
    RunningBox running("");
    GroupMember pc(running.box);
    // eth0 loses its address; the reply still leaves through it, from
    // another interface's address.
    ASSERT_EQ(0, running.box.run_in_box({"addr", "flush", "dev", "eth0"}));
    ASSERT_EQ(0, running.box.run_in_box({"route", "add", "224.0.0.0/4", "dev", "eth0"}));  // flushed with the address
    ASSERT_EQ(0, running.box.run_in_box({"link", "add", "usb0", "type", "veth", "peer", "name", "usb0-far"}));
    ASSERT_EQ(0, running.box.run_in_box({"addr", "add", "10.0.0.9/32", "dev", "usb0"}));
    ASSERT_EQ(0, running.box.run_in_box({"link", "set", "usb0", "up"}));
    EXPECT_EQ("ETHADAP_GET_IP;127.0.0.1", pc.ask());
    EXPECT_TRUE(running.box.wait_for_log("get_my_ip() could not obtain ip address", 1s));
}

TEST(Discovery, OnlyTheExactRequestIsAnswered) {
    RunningBox running("");
    GroupMember pc(running.box);
    // Datagrams are handled in order: if none of the wrong ones is answered,
    // the first reply is the one to the right request that follows them.
    for (const std::string wrong : {"ETHADAP_GET_IP\n", "ethadap_get_ip", "ETHADAP_GET", "", "ETHADAP_GET_IP;10.0.0.1"})
        send_to(pc.sd, wrong, address(GROUP, 11111));
    EXPECT_EQ("ETHADAP_GET_IP;10.0.0.5", pc.ask(std::string("ETHADAP_GET_IP\0after the zero", 29)));
    EXPECT_EQ("", receive(pc.sd, 300ms));
}

TEST(Discovery, AlpacaRequestIsAnsweredToTheSender) {
    RunningBox running("alpaca_enabled = 1\n");
    int pc = running.box.peer_socket(AF_INET, SOCK_DGRAM);
    const sockaddr_in box = address(BOX_ADDRESS, 32227);
    for (const std::string wrong : {"alpacadiscovery2", "alpacadiscovery1\n", "alpacadiscover", "ALPACADISCOVERY1"})
        send_to(pc, wrong, box);
    send_to(pc, "alpacadiscovery1", box);
    EXPECT_EQ("{\"AlpacaPort\":8000}", receive(pc));
    EXPECT_EQ("", receive(pc, 300ms));
    close(pc);
}

TEST(Discovery, AlpacaOffMeansNoAnswer) {
    RunningBox running("alpaca_enabled = 0\n");
    int pc = running.box.peer_socket(AF_INET, SOCK_DGRAM);
    send_to(pc, "alpacadiscovery1", address(BOX_ADDRESS, 32227));
    EXPECT_EQ("", receive(pc, 500ms));
    close(pc);
}
