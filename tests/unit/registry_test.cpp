// The registries on the virtual box: client slots, matching by id, what a
// full table does, and the records of devices that come and go while held.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "common/config.h"
#include "platform/platform.h"
#include "driver/wheel_ops.h"
#include "registry/registry.h"
#include "sim/virtual_box.h"
#include "sim/virtual_platform.h"
#include "tests/unit/support.h"

namespace {

sockaddr_in peer_at(const char* address) {
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    inet_pton(AF_INET, address, &peer.sin_addr);
    return peer;
}

// A descriptor the registry may close.
int new_socket() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

class Registry : public testing::Test {
protected:
    void SetUp() override {
        init_config();
        daemon_config->verbosity = 7;
        publish_log_threshold();
        box = std::make_shared<sim::VirtualBox>();
        platform::install(sim::make_virtual_platform(box));
        clear_registries();
    }
    void TearDown() override { free_config(); }

    std::string plug(const std::string& what) {
        std::string answer = box->execute("plug " + what);
        EXPECT_TRUE(answer.starts_with("ok ")) << answer;
        return answer.substr(3, answer.find('\n') - 3);
    }

    std::shared_ptr<sim::VirtualBox> box;
};

}  // namespace

TEST_F(Registry, FullClientTableRefusesWithoutReplacing) {
    LogCapture log;
    std::vector<int> sockets;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        sockets.push_back(new_socket());
        ASSERT_TRUE(register_client(sockets.back(), peer_at("10.0.0.1"), false));
    }
    int extra = new_socket();
    EXPECT_FALSE(register_client(extra, peer_at("10.0.0.2"), true));
    EXPECT_TRUE(log.has_line("Connection from 10.0.0.2 refused: all 128 client slots are in use"));
    EXPECT_EQ(128u, clients_connected());
    // The last registered client is still known: its disconnection is clean.
    unregister_client(sockets.back());
    EXPECT_TRUE(log.has_line("Client #128 with sd '" + std::to_string(sockets.back()) +
                             "' from address '10.0.0.1' disconnected."));
    close(extra);
    for (size_t i = 0; i + 1 < sockets.size(); ++i)
        unregister_client(sockets[i]);
    EXPECT_EQ(0u, clients_connected());
}

TEST_F(Registry, LoopbackClientsAreNotAnnounced) {
    LogCapture log;
    int sd = new_socket();
    ASSERT_TRUE(register_client(sd, peer_at("127.0.0.1"), false));
    EXPECT_TRUE(is_device_client(sd));
    unregister_client(sd);
    EXPECT_EQ("", log.text());

    int serial = new_socket();
    ASSERT_TRUE(register_client(serial, peer_at("192.168.1.9"), true));
    EXPECT_FALSE(is_device_client(serial));
    EXPECT_TRUE(log.has_line("Serial client #1 with sd: " + std::to_string(serial) +
                             " from addr: 192.168.1.9 connected."));
    unregister_client(serial);

    unregister_client(serial);  // twice: unknown now, and closed anyway
    EXPECT_TRUE(log.has_line("Could not find connected client with sd '" + std::to_string(serial) + "'!"));
    EXPECT_TRUE(is_device_client(12345));
    EXPECT_TRUE(log.has_line("Could not find client sd: 12345"));
}

TEST_F(Registry, TheOnlyCameraByWildcard) {
    plug("camera 3120 id=5");
    add_camera("/dev/telva0");
    int sd = new_socket();
    ASSERT_TRUE(register_client(sd, peer_at("10.0.0.1"), false));
    EXPECT_FALSE(camera_busy(ONLY_DEVICE_ID));
    CameraRecord* camera = claim_camera(ONLY_DEVICE_ID, sd).record;
    ASSERT_NE(nullptr, camera);
    EXPECT_EQ(5u, camera->info.id);
    EXPECT_TRUE(camera_busy(5));
    EXPECT_TRUE(camera_busy(ONLY_DEVICE_ID));

    plug("camera 3136 id=6");
    add_camera("/dev/telva1");
    EXPECT_TRUE(camera_busy(ONLY_DEVICE_ID)) << "two cameras: the wildcard names none";
    EXPECT_FALSE(camera_busy(6));
    release_camera(sd);
    EXPECT_EQ(ClaimResult::not_found, claim_camera(ONLY_DEVICE_ID, sd).result);
    unregister_client(sd);
}

TEST_F(Registry, AFullCameraTableAddsNothing) {
    // One USB bus holds fewer than 128 devices: fill the table with records
    // that stay held after their cameras were unplugged.
    int sd = new_socket();
    ASSERT_TRUE(register_client(sd, peer_at("10.0.0.1"), false));
    for (int i = 0; i < MAX_CAMERAS; ++i) {
        const uint32_t id = 100 + static_cast<uint32_t>(i);
        std::string node = plug("camera 3120 id=" + std::to_string(id));
        add_camera(node.c_str());
        ASSERT_TRUE(claim_camera(id, sd));
        box->execute("unplug " + node);
        remove_camera(node.c_str());
    }
    LogCapture log;
    std::string extra = plug("camera 3120 id=999");
    add_camera(extra.c_str());
    EXPECT_TRUE(log.has_line("Could not add camera " + extra + ": all 128 camera records are taken"));
    EXPECT_EQ(0u, cameras_present());
    EXPECT_EQ(128, list_cameras(true).count);
}

TEST_F(Registry, HeldCameraKeepsItsRecordAcrossUnplugAndReplug) {
    plug("camera 3120 id=7");
    add_camera("/dev/telva0");
    int sd = new_socket();
    ASSERT_TRUE(register_client(sd, peer_at("10.0.0.1"), false));
    CameraRecord* camera = claim_camera(7, sd).record;
    ASSERT_NE(nullptr, camera);

    box->execute("unplug /dev/telva0");
    remove_camera("/dev/telva0");
    EXPECT_EQ(DeviceState::held_absent, camera->state.load());
    EXPECT_TRUE(camera->node.empty());
    EXPECT_EQ(7u, camera->info.id);
    EXPECT_EQ(0u, cameras_present());
    remove_camera("/dev/telva0");  // a second remove finds a closed node: nothing happens

    std::string again = plug("camera 3120 id=7");
    add_camera(again.c_str());
    EXPECT_EQ(DeviceState::held, camera->state.load()) << "the same record, held again";
    EXPECT_FALSE(camera->node.empty());
    EXPECT_STREQ(again.c_str(), camera->path);
    EXPECT_EQ(1u, cameras_present());

    release_camera(sd);
    EXPECT_EQ(1, list_cameras(false).count);
    unregister_client(sd);
}

// A held camera stays its holder's while it is unplugged: a second client's
// connect is refused as busy, and its release touches nothing of the holder's.
// The Alpaca server is held to the same rules. Wheels alike.
TEST_F(Registry, NobodyTakesOrFreesARecordSomebodyElseHolds) {
    LogCapture log;
    const std::string node = plug("camera 3120 id=21");
    add_camera(node.c_str());
    const std::string wheel_path = plug("wheel id=22");
    add_wheel(wheel_path.c_str());
    int holder = new_socket(), other = new_socket();
    ASSERT_TRUE(register_client(holder, peer_at("10.0.0.1"), false));
    ASSERT_TRUE(register_client(other, peer_at("10.0.0.2"), false));
    CameraRecord* camera = claim_camera(21, holder).record;
    WheelRecord* wheel = claim_wheel(22, holder).record;
    ASSERT_NE(nullptr, camera);
    ASSERT_NE(nullptr, wheel);

    for (bool unplugged : {false, true}) {
        SCOPED_TRACE(unplugged ? "unplugged" : "present");
        EXPECT_EQ(ClaimResult::busy, claim_camera(21, other).result);
        EXPECT_EQ(ClaimResult::busy, claim_wheel(22, other).result);
        EXPECT_FALSE(alpaca_claim_camera(camera));
        EXPECT_FALSE(alpaca_claim_wheel(wheel));
        release_camera(other);
        release_wheel(other);
        EXPECT_FALSE(alpaca_release_camera(camera));
        EXPECT_FALSE(alpaca_release_wheel(wheel));
        EXPECT_EQ(holder, camera->owner_sock);
        EXPECT_EQ(21u, camera->info.id);
        EXPECT_EQ(holder, wheel->owner_sock);
        EXPECT_EQ(22u, wheel->info.id);
        EXPECT_EQ(unplugged ? DeviceState::held_absent : DeviceState::held, camera->state.load());
        EXPECT_EQ(unplugged ? DeviceState::held_absent : DeviceState::held, wheel->state.load());
        box->execute("unplug " + node);
        box->execute("unplug " + wheel_path);
        remove_camera(node.c_str());
        remove_wheel(wheel_path.c_str());
    }
    EXPECT_TRUE(log.has_line("Could not find associated camera to sd '" + std::to_string(other) + "'"));

    release_camera(holder);
    release_wheel(holder);
    EXPECT_EQ(DeviceState::free, camera->state.load());
    EXPECT_EQ(DeviceState::free, wheel->state.load());
    EXPECT_EQ(0, list_cameras(true).count);
    EXPECT_EQ(0, list_wheels(true).count);

    // The Alpaca server holds a camera: TCP clients are refused, and only
    // the Alpaca release lets go of it.
    const std::string again = plug("camera 3120 id=23");
    add_camera(again.c_str());
    CameraRecord* alpaca = claim_camera(23, other).record;
    ASSERT_NE(nullptr, alpaca);
    release_camera(other);
    ASSERT_TRUE(alpaca_claim_camera(alpaca));
    EXPECT_EQ(ClaimResult::busy, claim_camera(23, holder).result);
    release_camera(0);
    EXPECT_EQ(DeviceState::held, alpaca->state.load());
    EXPECT_TRUE(alpaca_release_camera(alpaca));
    EXPECT_FALSE(alpaca_release_camera(alpaca));
    EXPECT_EQ(1, list_cameras(false).count);
    unregister_client(holder);
    unregister_client(other);
}

// A held wheel is unplugged and plugged in again while its holder's
// exchanges go on: every exchange runs on the port it started with, the
// registry swaps the port without waiting for them, and the holder's
// exchanges go through again on the new one.
TEST_F(Registry, AWheelComesBackUnderItsHoldersExchanges) {
    std::string path = plug("wheel id=41 move_ms=0");
    add_wheel(path.c_str());
    int sd = new_socket();
    ASSERT_TRUE(register_client(sd, peer_at("10.0.0.1"), false));
    WheelRecord* wheel = claim_wheel(41, sd).record;
    ASSERT_NE(nullptr, wheel);
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::thread holder([&] {
        while (!stop) {
            int first = 0, second = 0;
            if (wheel_get_counts(*wheel, first, second).is_ok())
                ++answered;
        }
    });
    for (int round = 0; round < 4; ++round) {
        box->execute("unplug " + path);
        remove_wheel(path.c_str());
        EXPECT_EQ(DeviceState::held_absent, wheel->state.load());
        path = plug("wheel id=41 move_ms=0");
        add_wheel(path.c_str());
        EXPECT_EQ(DeviceState::held, wheel->state.load());
        const int before = answered;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (answered == before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_GT(answered, before) << "round " << round;
    }
    stop = true;
    holder.join();
    release_wheel(sd);
    EXPECT_EQ(1, list_wheels(false).count);
    unregister_client(sd);
}
