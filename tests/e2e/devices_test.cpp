// Cameras and wheels over the main port, on the virtual box: enumeration,
// connect, hot-plug, the wheel session and link watching.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "tests/harness/protocol_client.h"
#include "tests/harness/test_box.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

constexpr size_t CAMERA_INFO_SIZE = 66;
constexpr size_t WHEEL_INFO_SIZE = 44;
constexpr uint32_t ONLY = 0xFFFFFFFF;

// A daemon on the virtual box, started as the box starts it, with the
// devices of `scenario` attached before it starts.
struct SimulatedBox {
    explicit SimulatedBox(const std::string& scenario = "", Network network = Network::loopback)
        : box("verbosity = info\n", network) {
        std::ofstream(box.run_path("scenario.sim")) << scenario;
        pid_t launcher = box.start({"--simulate", "/run/scenario.sim"});
        box.wait_exit(launcher);
        pid = box.daemon_pid().value_or(-1);
        EXPECT_TRUE(pid > 0 && eventually([&] { return box.in_main_loop(pid); })) << box.output(launcher);
    }

    // Plugs a device and waits until the daemon has taken it.
    std::string plug(const std::string& what) {
        std::string answer = box.control("plug " + what);
        EXPECT_TRUE(answer.starts_with("ok ")) << answer;
        std::string path = answer.substr(3, answer.find('\n') - 3);
        return path;
    }

    TestBox box;
    pid_t pid = -1;
};

Bytes connect_request(uint32_t command, uint32_t id) {
    Bytes request = make_request(command);
    put<uint32_t>(request, 16, id);
    return request;
}

// The entries of an enumeration answer.
std::vector<Bytes> entries(const Bytes& answer, size_t entry_size) {
    std::vector<Bytes> list;
    for (size_t offset = 24; offset + entry_size <= answer.size(); offset += entry_size)
        list.emplace_back(answer.begin() + static_cast<long>(offset), answer.begin() + static_cast<long>(offset + entry_size));
    return list;
}

uint32_t count_of(const Bytes& answer) { return get<uint32_t>(answer, 20); }

}  // namespace

TEST(Devices, EnumerationListsTheFreeCamerasByteForByte) {
    SimulatedBox sim;
    sim.plug("camera 3120 id=11 desc=\"Deep sky\" ser=SN11");
    ASSERT_TRUE(sim.box.wait_for_log("Camera /dev/telva0 connected."));
    sim.plug("camera 1201 id=12");
    ASSERT_TRUE(sim.box.wait_for_log("Camera /dev/telva1 connected."));
    sim.plug("camera 3136 id=13");
    ASSERT_TRUE(sim.box.wait_for_log("Camera /dev/telva2 connected."));

    // What each camera says of itself, as a connect shows it.
    std::vector<Bytes> identity;
    for (uint32_t id : {11u, 12u, 13u}) {
        ProtocolClient probe(sim.box);
        Bytes answer = probe.ask(connect_request(2, id));
        ASSERT_EQ(86u, answer.size());
        ASSERT_EQ(0, get<int32_t>(answer, 16));
        identity.emplace_back(answer.begin() + 20, answer.end());
        EXPECT_EQ(id, get<uint32_t>(identity.back(), 0));
    }
    ASSERT_TRUE(eventually([&] {
        ProtocolClient client(sim.box);
        return count_of(client.ask(make_request(1))) == 3;
    }));

    ProtocolClient holder(sim.box);
    ASSERT_EQ(0, get<int32_t>(holder.ask(connect_request(2, 11)), 16));

    ProtocolClient client(sim.box);
    Bytes listed = client.ask(make_request(1));
    EXPECT_EQ(2u, count_of(listed));
    EXPECT_EQ(24u + 2 * CAMERA_INFO_SIZE, get<uint32_t>(listed, 8));
    EXPECT_EQ((std::vector<Bytes>{identity[1], identity[2]}), entries(listed, CAMERA_INFO_SIZE));

    Bytes internal = client.ask(make_request(0xFFFE));
    ASSERT_EQ(3u, count_of(internal));
    std::vector<Bytes> all = entries(internal, CAMERA_INFO_SIZE + 1);
    ASSERT_EQ(3u, all.size());
    const uint8_t states[] = {3, 2, 2};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(identity[i], Bytes(all[i].begin(), all[i].begin() + CAMERA_INFO_SIZE)) << i;
        EXPECT_EQ(states[i], all[i].back()) << i;
    }

    // After a camera connect, the main-port requests are the session's: refused.
    Bytes version = holder.ask(make_request(21));
    ASSERT_EQ(20u, version.size());
    EXPECT_EQ(-1, get<int32_t>(version, 16));
}

TEST(Devices, ConnectRefusals) {
    SimulatedBox sim("plug camera 3120 id=21\nplug camera 3113 id=22\n");
    ASSERT_TRUE(eventually([&] {
        ProtocolClient client(sim.box);
        return count_of(client.ask(make_request(1))) == 2;
    }));

    ProtocolClient ambiguous(sim.box);
    Bytes answer = ambiguous.ask(connect_request(2, ONLY));
    ASSERT_EQ(86u, answer.size());
    EXPECT_EQ(-1, get<int32_t>(answer, 16));
    EXPECT_EQ(-1, get<int32_t>(answer, 20));
    EXPECT_TRUE(ambiguous.closed_by_daemon());

    ProtocolClient holder(sim.box);
    ASSERT_EQ(0, get<int32_t>(holder.ask(connect_request(2, 21)), 16));
    ProtocolClient second(sim.box);
    answer = second.ask(connect_request(2, 21));
    EXPECT_EQ(-1, get<int32_t>(answer, 16));
    EXPECT_TRUE(second.closed_by_daemon());

    // The camera fails to identify itself: the driver's code, and the claim is undone.
    ASSERT_TRUE(sim.box.control("fault /dev/telva1 ioctl identify count=1").starts_with("ok"));
    ProtocolClient unlucky(sim.box);
    answer = unlucky.ask(connect_request(2, 22));
    EXPECT_EQ(1, get<int32_t>(answer, 16));
    EXPECT_EQ(-1, get<int32_t>(answer, 20));
    EXPECT_TRUE(unlucky.closed_by_daemon());
    EXPECT_TRUE(sim.box.wait_for_log("Camera in bad state, usb_camera_info() returned 1!", 1s));
    ProtocolClient lister(sim.box);
    EXPECT_EQ(1u, count_of(lister.ask(make_request(1)))) << "camera 22 is free again";
}

TEST(Devices, OnlyCameraByWildcard) {
    SimulatedBox sim("plug camera 3120 id=31\n");
    ASSERT_TRUE(eventually([&] {
        ProtocolClient client(sim.box);
        return count_of(client.ask(make_request(1))) == 1;
    }));
    ProtocolClient client(sim.box);
    Bytes answer = client.ask(connect_request(2, ONLY));
    ASSERT_EQ(0, get<int32_t>(answer, 16));
    EXPECT_EQ(31u, get<uint32_t>(answer, 20));
}

TEST(Devices, CamerasComeAndGo) {
    SimulatedBox sim("plug camera 3120 id=41\n");
    ASSERT_TRUE(sim.box.wait_for_log("Camera /dev/telva0 connected.")) << "found by the start-up probe";

    std::string node = sim.plug("camera 3136 id=42");
    ASSERT_TRUE(sim.box.wait_for_log("Camera " + node + " connected."));
    ProtocolClient client(sim.box);
    EXPECT_EQ(2u, count_of(client.ask(make_request(1))));
    ASSERT_TRUE(sim.box.control("unplug " + node).starts_with("ok"));
    ASSERT_TRUE(sim.box.wait_for_log("Camera " + node + " removed."));
    EXPECT_EQ(1u, count_of(client.ask(make_request(1))));

    // Unplugged while held: the record stays (state 1) until its client goes.
    ProtocolClient holder(sim.box);
    ASSERT_EQ(0, get<int32_t>(holder.ask(connect_request(2, 41)), 16));
    ASSERT_TRUE(sim.box.control("unplug /dev/telva0").starts_with("ok"));
    ASSERT_TRUE(sim.box.wait_for_log("Camera /dev/telva0 removed."));
    Bytes internal = client.ask(make_request(0xFFFE));
    ASSERT_EQ(1u, count_of(internal));
    EXPECT_EQ(1, internal.back());

    // Plugged again before its client went: the same record, the new node.
    std::string again = sim.plug("camera 3120 id=41");
    ASSERT_TRUE(sim.box.wait_for_log("Camera " + again + " connected."));
    internal = client.ask(make_request(0xFFFE));
    ASSERT_EQ(1u, count_of(internal));
    EXPECT_EQ(3, internal.back());

    holder.close();
    ASSERT_TRUE(eventually([&] { return count_of(client.ask(make_request(1))) == 1; }));

    // Unplugged while held, then the holder goes: the record is cleared.
    ProtocolClient holder2(sim.box);
    ASSERT_EQ(0, get<int32_t>(holder2.ask(connect_request(2, 41)), 16));
    ASSERT_TRUE(sim.box.control("unplug " + again).starts_with("ok"));
    ASSERT_TRUE(eventually([&] { return client.ask(make_request(0xFFFE)).back() == 1; }));
    holder2.close();
    EXPECT_TRUE(eventually([&] { return count_of(client.ask(make_request(0xFFFE))) == 0; }));
}

// A camera that answers slowly holds up nobody else: its holder's command
// is stuck in the driver when the camera is unplugged, and another client's
// enumeration is answered (with the removal done) while it is still stuck.
// A second client's connect to the held, unplugged camera is refused as
// busy and takes nothing from the holder, who gets it back when it returns.
TEST(Devices, ASlowHeldCameraHoldsUpNobodyAndIsNotTakenWhileAway) {
    SimulatedBox sim("plug camera 3120 id=61\n");
    ASSERT_TRUE(sim.box.wait_for_log("Camera /dev/telva0 connected."));
    ProtocolClient holder(sim.box);
    ASSERT_EQ(0, get<int32_t>(holder.ask(connect_request(2, 61)), 16));

    ASSERT_TRUE(sim.box.control("fault /dev/telva0 delay 6000").starts_with("ok"));
    ASSERT_TRUE(holder.send(make_request(33)));  // close the shutter: a command to the camera
    ASSERT_TRUE(eventually([&] { return sim.box.control("inflight /dev/telva0").starts_with("1\n"); }));
    ASSERT_TRUE(sim.box.control("unplug /dev/telva0").starts_with("ok"));
    ProtocolClient lister(sim.box);
    ASSERT_TRUE(eventually([&] {
        const Bytes internal = lister.ask(make_request(0xFFFE));
        return count_of(internal) == 1 && internal.back() == 1;
    }));
    pollfd stuck{holder.sd(), POLLIN, 0};
    EXPECT_EQ(0, poll(&stuck, 1, 0)) << "answered while the holder's command was still in the driver";

    ProtocolClient second(sim.box);
    Bytes answer = second.ask(connect_request(2, 61));
    EXPECT_EQ(-1, get<int32_t>(answer, 16));
    EXPECT_TRUE(second.closed_by_daemon());
    Bytes internal = lister.ask(make_request(0xFFFE));
    ASSERT_EQ(1u, count_of(internal)) << "the holder's record is kept";
    EXPECT_EQ(1, internal.back());

    const std::string again = sim.plug("camera 3120 id=61");
    ASSERT_TRUE(sim.box.wait_for_log("Camera " + again + " connected."));
    EXPECT_EQ(3, lister.ask(make_request(0xFFFE)).back());
    EXPECT_EQ(33u, get<uint32_t>(holder.read_response(10s), 12)) << "the stuck command's answer";
    EXPECT_EQ(0, get<int32_t>(holder.ask(make_request(16)), 16)) << "held and present again";
}

TEST(Devices, CameraWithoutFirmwareIsLoadedAndAppears) {
    SimulatedBox sim;
    sim.plug("camera 1201 id=51 nofw");
    // The bare controller takes its image and comes back as a new node.
    ASSERT_TRUE(sim.box.wait_for_log("Camera /dev/telva1 connected.", 10s));
    ProtocolClient client(sim.box);
    Bytes listed = client.ask(make_request(1));
    ASSERT_EQ(1u, count_of(listed));
    EXPECT_EQ(51u, get<uint32_t>(listed, 24));
    EXPECT_EQ(0u, sim.box.count_log("Camera /dev/telva0 connected."));
}

TEST(Devices, OtherUsbDevicesOfTheVendorAreNotWheels) {
    SimulatedBox sim;
    sim.plug("camera 3120 id=61");  // its USB device has vendor 0x1347, product 0x0c30
    ASSERT_TRUE(sim.box.wait_for_log("Camera /dev/telva0 connected."));
    ProtocolClient client(sim.box);
    EXPECT_EQ(0u, count_of(client.ask(make_request(0xFFFF))));
    EXPECT_EQ(0u, sim.box.count_log("wheel"));
}

TEST(Devices, WheelSession) {
    SimulatedBox sim("plug wheel id=71 filters=5 filters2=7 move_ms=1\n");
    ASSERT_TRUE(eventually([&] {
        ProtocolClient client(sim.box);
        return count_of(client.ask(make_request(1024))) == 1;
    }));
    ProtocolClient lister(sim.box);
    Bytes listed = lister.ask(make_request(1024));
    ASSERT_EQ(24u + WHEEL_INFO_SIZE, listed.size());

    ProtocolClient client(sim.box);
    Bytes connected = client.ask(connect_request(1025, 71));
    ASSERT_EQ(64u, connected.size());
    ASSERT_EQ(0, get<int32_t>(connected, 16));
    EXPECT_EQ(Bytes(listed.begin() + 24, listed.end()), Bytes(connected.begin() + 20, connected.end()));
    EXPECT_EQ(0u, count_of(lister.ask(make_request(1024))));

    Bytes counts = client.ask(make_request(1027));
    ASSERT_EQ(28u, counts.size());
    EXPECT_EQ(0, get<int32_t>(counts, 16));
    EXPECT_EQ(5, get<int32_t>(counts, 20));
    EXPECT_EQ(7, get<int32_t>(counts, 24));

    Bytes move = make_request(1026);
    put<uint32_t>(move, 16, 11);  // the last position of the second wheel
    EXPECT_EQ(0, get<int32_t>(client.ask(move), 16));
    EXPECT_NE(sim.box.control("list").find("position=0,7"), std::string::npos) << sim.box.control("list");
    Bytes both = make_request(1028, 21);
    put<uint32_t>(both, 16, 3);
    put<uint8_t>(both, 20, 2);
    EXPECT_EQ(0, get<int32_t>(client.ask(both), 16));
    EXPECT_NE(sim.box.control("list").find("position=3,2"), std::string::npos) << sim.box.control("list");

    // A wrong magic gets no answer; the session goes on.
    Bytes wrong = make_request(1027);
    put<uint64_t>(wrong, 0, 0xF5E4D3C2B1A00001ull);
    ASSERT_TRUE(client.send(wrong));
    EXPECT_TRUE(client.silent(300ms));
    EXPECT_TRUE(sim.box.wait_for_log("Unknown packet magic: ", 1s));
    Bytes unknown = client.ask(make_request(3));
    ASSERT_EQ(20u, unknown.size());
    EXPECT_EQ(-1, get<int32_t>(unknown, 16));
    EXPECT_TRUE(sim.box.wait_for_log("Unknown command: 3", 1s));
    EXPECT_EQ(0, get<int32_t>(client.ask(make_request(16)), 16));

    client.close();
    EXPECT_TRUE(eventually([&] { return count_of(lister.ask(make_request(1024))) == 1; }));
    EXPECT_TRUE(sim.box.wait_for_log("Client sd '", 1s));
}

TEST(Devices, PulledCableEndsTheSessionAndFreesTheCamera) {
    SimulatedBox sim("plug camera 3120 id=81\nplug camera 3113 id=82\n", Network::lan);
    ASSERT_TRUE(eventually([&] {
        ProtocolClient client(sim.box);
        return count_of(client.ask(make_request(1))) == 2;
    }));
    ProtocolClient wired(sim.box, Network::lan);   // arrives on eth0: watched
    ASSERT_EQ(0, get<int32_t>(wired.ask(connect_request(2, 81)), 16));
    ProtocolClient local(sim.box);                  // arrives on lo: never watched
    ASSERT_EQ(0, get<int32_t>(local.ask(connect_request(2, 82)), 16));

    ASSERT_EQ(0, sim.box.run_in_peer({"link", "set", "lan0", "down"}));
    const auto pulled = std::chrono::steady_clock::now();
    ProtocolClient lister(sim.box);
    ASSERT_TRUE(eventually([&] { return count_of(lister.ask(make_request(1))) == 1; }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - pulled, 3s);
    EXPECT_EQ(81u, get<uint32_t>(lister.ask(make_request(1)), 24));
    EXPECT_EQ(0, get<int32_t>(local.ask(make_request(16)), 16)) << "the local session goes on";
}
