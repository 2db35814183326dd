// The main port before a device is connected: exact answers to the version,
// enumeration and unknown requests, the framing of the request stream, bad
// input, and many clients at once.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "tests/harness/protocol_client.h"
#include "tests/harness/test_box.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t RESPONSE_MAGIC_VALUE = 0xF5E4D3C2B1A00001ull;

struct RunningDaemon {
    explicit RunningDaemon(const std::string& config = "verbosity = info\n") : box(config) {
        pid_t launcher = box.start();
        box.wait_exit(launcher);
        pid = box.daemon_pid().value_or(-1);
        EXPECT_TRUE(pid > 0 && eventually([&] { return box.in_main_loop(pid); })) << box.output(launcher);
    }
    // The daemon's open TCP sockets: listeners and client connections. (The
    // syslog socket opens with the first message that passes the log
    // threshold, so other descriptors may come and go.)
    size_t tcp_sockets() const {
        const std::string proc = "/proc/" + std::to_string(pid);
        std::set<std::string> tcp_inodes;
        std::ifstream table(proc + "/net/tcp");
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string field;
            for (int i = 0; i < 10 && fields >> field; ++i) {
            }
            tcp_inodes.insert(field);  // the tenth field is the inode
        }
        size_t count = 0;
        if (DIR* fds = opendir((proc + "/fd").c_str())) {
            while (dirent* entry = readdir(fds)) {
                char target[64] = {};
                const std::string path = proc + "/fd/" + entry->d_name;
                if (readlink(path.c_str(), target, sizeof target - 1) <= 0)
                    continue;
                const std::string link = target;
                if (link.starts_with("socket:[") && tcp_inodes.count(link.substr(8, link.size() - 9)))
                    ++count;
            }
            closedir(fds);
        }
        return count;
    }
    TestBox box;
    pid_t pid = -1;
};

// The response length of a fixed-size answer, as the protocol defines it.
size_t expected_length(uint32_t command) {
    switch (command) {
    case 1: case 10: case 23: case 1024: case 0xFFFE: case 0xFFFF: return 24;
    case 2: return 86;
    case 13: case 19: return 21;
    case 21: return 25;
    case 27: return 48;
    case 28: return 77;
    case 34: case 1027: return 28;
    case 1025: return 64;
    default: return 20;
    }
}

}  // namespace

TEST(ClientProtocol, VersionOnAFreshConnection) {
    RunningDaemon daemon;
    ProtocolClient client(daemon.box);
    ASSERT_TRUE(client.connected());
    const Bytes expected = {0x01, 0x00, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x19, 0x00, 0x00, 0x00, 0x15,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3D, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(expected, client.ask(make_request(21)));
    EXPECT_EQ(expected, client.ask(make_request(21))) << "the connection goes on";
}

TEST(ClientProtocol, EnumerationsWithNothingAttached) {
    RunningDaemon daemon;
    ProtocolClient client(daemon.box);
    for (uint32_t command : {1u, 0xFFFEu, 1024u, 0xFFFFu}) {
        Bytes answer = client.ask(make_request(command));
        ASSERT_EQ(24u, answer.size()) << command;
        EXPECT_EQ(RESPONSE_MAGIC_VALUE, get<uint64_t>(answer, 0));
        EXPECT_EQ(24u, get<uint32_t>(answer, 8));
        EXPECT_EQ(command, get<uint32_t>(answer, 12));
        EXPECT_EQ(0, get<int32_t>(answer, 16));
        EXPECT_EQ(0, get<int32_t>(answer, 20));
    }
}

TEST(ClientProtocol, OtherCodesAreRefusedAtTheirLength) {
    RunningDaemon daemon;
    ProtocolClient client(daemon.box);
    for (uint32_t command : {11u, 13u, 27u, 28u, 34u, 1027u, 0u, 0x12345u, 0xFFFFFFFFu}) {
        Bytes answer = client.ask(make_request(command, command == 11 ? 41 : 20));
        ASSERT_EQ(expected_length(command), answer.size()) << command;
        EXPECT_EQ(command, get<uint32_t>(answer, 12));
        EXPECT_EQ(-1, get<int32_t>(answer, 16)) << command;
    }
    EXPECT_EQ(25u, client.ask(make_request(21)).size());
}

TEST(ClientProtocol, ConnectToAnUnknownIdLeavesTheConnection) {
    RunningDaemon daemon;
    ProtocolClient client(daemon.box);
    for (uint32_t command : {2u, 1025u}) {
        Bytes connect = make_request(command);
        put<uint32_t>(connect, 16, 4242);
        Bytes answer = client.ask(connect);
        ASSERT_EQ(expected_length(command), answer.size());
        EXPECT_EQ(1, get<int32_t>(answer, 16));
        EXPECT_EQ(-1, get<int32_t>(answer, 20));
    }
    EXPECT_EQ(25u, client.ask(make_request(21)).size());
    EXPECT_TRUE(daemon.box.wait_for_log("Could not find camera id: 4242", 1s));
}

TEST(ClientProtocol, RequestsAreFramedWhateverTheSegments) {
    RunningDaemon daemon;
    ProtocolClient client(daemon.box);
    // One request in two segments.
    Bytes version = make_request(21);
    ASSERT_TRUE(client.send(Bytes(version.begin(), version.begin() + 7)));
    EXPECT_TRUE(client.silent(100ms));
    ASSERT_TRUE(client.send(Bytes(version.begin() + 7, version.end())));
    EXPECT_EQ(25u, client.read_response().size());

    // Three requests in one segment, answered in turn.
    Bytes three = make_request(1);
    for (uint32_t command : {21u, 1024u}) {
        Bytes more = make_request(command);
        three.insert(three.end(), more.begin(), more.end());
    }
    ASSERT_TRUE(client.send(three));
    EXPECT_EQ(1u, get<uint32_t>(client.read_response(), 12));
    EXPECT_EQ(21u, get<uint32_t>(client.read_response(), 12));
    EXPECT_EQ(1024u, get<uint32_t>(client.read_response(), 12));

    // A connect cut short after its code is answered as refused once the
    // client has been silent for a second; the connection goes on.
    ASSERT_TRUE(client.send(make_request(2, 16)));
    Bytes refused = client.read_response(3s);
    ASSERT_EQ(86u, refused.size());
    EXPECT_EQ(-1, get<int32_t>(refused, 16));
    EXPECT_EQ(25u, client.ask(make_request(21)).size());
}

TEST(ClientProtocol, HostileBytesGetOnlyWellFormedAnswers) {
    RunningDaemon daemon;
    std::mt19937 random(2026);
    for (int round = 0; round < 6; ++round) {
        ProtocolClient client(daemon.box);
        ASSERT_TRUE(client.connected());
        Bytes flood(8192);
        for (uint8_t& byte : flood)
            byte = static_cast<uint8_t>(random());
        if (round % 2 == 0) {
            // Requests with huge length fields and codes of every kind among the noise.
            for (size_t offset = 0; offset + 41 < flood.size(); offset += 41 + random() % 200) {
                Bytes request = make_request(random() % 40, 41);
                put<uint32_t>(request, 8, 0xFFFFFFF0u);
                std::copy(request.begin(), request.end(), flood.begin() + static_cast<long>(offset));
            }
        }
        ASSERT_TRUE(client.send(flood));
        for (;;) {
            Bytes answer = client.read_response(2s);
            if (answer.empty())
                break;
            ASSERT_EQ(RESPONSE_MAGIC_VALUE, get<uint64_t>(answer, 0));
            const uint32_t command = get<uint32_t>(answer, 12);
            if (command == 1 || command == 1024 || command == 0xFFFE || command == 0xFFFF)
                EXPECT_EQ(24u, answer.size());
            else
                EXPECT_EQ(expected_length(command), answer.size()) << command;
        }
    }
    EXPECT_EQ(0, kill(daemon.pid, 0));
    ProtocolClient after(daemon.box);
    EXPECT_EQ(25u, after.ask(make_request(21)).size());
}

TEST(ClientProtocol, HundredTwentyEightClientsAtOnce) {
    RunningDaemon daemon;
    std::vector<std::unique_ptr<ProtocolClient>> clients;
    for (int i = 0; i < 128; ++i) {
        clients.push_back(std::make_unique<ProtocolClient>(daemon.box));
        ASSERT_TRUE(clients.back()->connected());
    }
    for (auto& client : clients)
        EXPECT_EQ(25u, client->ask(make_request(21)).size());

    // Every slot is taken: the next client is refused cleanly, the others keep theirs.
    ProtocolClient refused(daemon.box);
    EXPECT_TRUE(refused.closed_by_daemon());
    EXPECT_TRUE(daemon.box.wait_for_log("refused: all 128 client slots are in use", 1s));
    EXPECT_EQ(25u, clients.front()->ask(make_request(21)).size());

    clients.front()->close();
    ASSERT_TRUE(eventually([&] {
        ProtocolClient again(daemon.box);
        return again.ask(make_request(21), 500ms).size() == 25u;
    }));
}

TEST(ClientProtocol, SilentClientsLeaveNoDescriptorBehind) {
    RunningDaemon daemon;
    const size_t before = daemon.tcp_sockets();
    for (int i = 0; i < 1000; ++i) {
        ProtocolClient client(daemon.box);
        ASSERT_TRUE(client.connected());
    }
    EXPECT_TRUE(eventually([&] { return daemon.tcp_sockets() <= before; }, 10s))
        << before << " before, " << daemon.tcp_sockets() << " after";
    ProtocolClient last(daemon.box);
    EXPECT_EQ(25u, last.ask(make_request(21)).size());
}
