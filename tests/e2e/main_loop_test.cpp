// The main loop against clients that misbehave: descriptors running out,
// clients that never read, silent connections filling the table, a camera
// that answers slowly, and all of that at once while cameras come and go.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "tests/e2e/camera_session_support.h"

using namespace camera_e2e;

namespace {

// A daemon with `config`, on the virtual box with `scenario` and `extra`
// arguments.
struct Daemon {
    explicit Daemon(const std::string& scenario = "", std::vector<std::string> extra = {},
                    const std::string& config = "verbosity = info\n")
        : box(config) {
        std::ofstream(box.run_path("scenario.sim")) << scenario;
        std::vector<std::string> args = {"--simulate", "/run/scenario.sim"};
        args.insert(args.end(), extra.begin(), extra.end());
        const pid_t launcher = box.start(args);
        box.wait_exit(launcher);
        pid = box.daemon_pid().value_or(-1);
        EXPECT_TRUE(pid > 0 && eventually([&] { return box.in_main_loop(pid); })) << box.output(launcher);
    }

    size_t entries(const char* what) const {
        size_t count = 0;
        if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/" + what).c_str())) {
            while (dirent* entry = readdir(dir))
                count += entry->d_name[0] != '.';
            closedir(dir);
        }
        return count;
    }
    size_t descriptors() const { return entries("fd"); }
    size_t threads() const { return entries("task"); }

    bool answers_version() const {
        ProtocolClient client(box);
        return client.ask(make_request(21), 2s).size() == 25u;
    }

    // SIGTERM ends the daemon's work within a second (a sanitizer build adds
    // its own scan after that, so the exit itself gets longer).
    bool ends_on_sigterm() {
        return kill(pid, SIGTERM) == 0 && box.wait_for_log("Removed lock file: /run/telvad.pid", 1s) &&
               box.wait_exit(pid, 10s).has_value();
    }

    TestBox box;
    pid_t pid = -1;
};

// A connection to the main port that reads as little as it can.
int deaf_connection(const TestBox& box) {
    const int sd = box.socket(AF_INET, SOCK_STREAM);
    const int small = 4096;
    setsockopt(sd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(48899);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    EXPECT_EQ(0, connect(sd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    fcntl(sd, F_SETFL, O_NONBLOCK);
    return sd;
}

// Pipelines enumeration requests on `sd` without reading, until nothing
// more goes in for a while (both ends' buffers full) or the daemon closes.
// The number of bytes sent.
size_t flood_enumerations(int sd, uint32_t command = 1) {
    Bytes burst;
    for (int i = 0; i < 512; ++i) {
        const Bytes request = make_request(command);
        burst.insert(burst.end(), request.begin(), request.end());
    }
    size_t total = 0;
    for (size_t offset = 0; total < (256u << 20);) {
        const ssize_t sent = send(sd, burst.data() + offset, burst.size() - offset, MSG_NOSIGNAL);
        if (sent > 0) {
            total += static_cast<size_t>(sent);
            offset = (offset + static_cast<size_t>(sent)) % burst.size();
            continue;
        }
        if (sent < 0 && errno != EAGAIN)
            break;
        pollfd wait = {sd, POLLOUT, 0};
        if (poll(&wait, 1, 500) != 1)
            break;
    }
    return total;
}

std::string alpaca_discovery(const TestBox& box) {
    const int sd = box.socket(AF_INET, SOCK_DGRAM);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(32227);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    sendto(sd, "alpacadiscovery1", 16, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd wait = {sd, POLLIN, 0};
    char text[64] = {};
    ssize_t length = 0;
    if (poll(&wait, 1, 2000) == 1)
        length = recv(sd, text, sizeof text, 0);
    close(sd);
    return length > 0 ? std::string(text, static_cast<size_t>(length)) : "";
}

}  // namespace

TEST(MainLoop, RunningOutOfDescriptorsOnlyDelaysNewClients) {
    // The camera's arrival is logged: the log socket is open before the limit.
    Daemon daemon("plug camera 1201 id=51\n");
    ASSERT_TRUE(cameras_listed(daemon.box, 1));
    // Room for a few connections only.
    const rlim_t room = daemon.descriptors() + 3;
    const rlimit limit = {room, room};
    ASSERT_EQ(0, prlimit(daemon.pid, RLIMIT_NOFILE, &limit, nullptr));

    std::vector<std::unique_ptr<ProtocolClient>> flood;
    for (int i = 0; i < 40; ++i)
        flood.push_back(std::make_unique<ProtocolClient>(daemon.box));
    ASSERT_TRUE(daemon.box.wait_for_log("accept() failed: Too many open files"));
    // The clients it holds are still served.
    EXPECT_EQ(25u, flood.front()->ask(make_request(21)).size());
    flood.clear();
    EXPECT_TRUE(eventually([&] { return daemon.answers_version(); }));
    EXPECT_EQ(1u, daemon.box.count_log("accept() failed")) << "once per episode";
    EXPECT_TRUE(daemon.box.wait_for_log("Accepting connections again"));
    EXPECT_TRUE(daemon.ends_on_sigterm());
}

TEST(MainLoop, AClientThatNeverReadsStallsNobody) {
    Daemon daemon("plug camera 1201 id=51\n", {}, "verbosity = info\nalpaca_enabled = 1\n");
    ASSERT_TRUE(cameras_listed(daemon.box, 1));
    const int deaf = deaf_connection(daemon.box);
    const size_t flooded = flood_enumerations(deaf);
    EXPECT_GT(flooded, 1u << 20) << "the daemon kept reading the client's requests";

    // Enumerations, a connect, discovery: all served meanwhile.
    EXPECT_EQ(1u, camera_count(daemon.box));
    ProtocolClient camera_client(daemon.box);
    EXPECT_EQ(0, connect_camera(camera_client, 51));
    EXPECT_EQ("{\"AlpacaPort\":8000}", alpaca_discovery(daemon.box));
    EXPECT_TRUE(daemon.ends_on_sigterm());
    close(deaf);
}

TEST(MainLoop, SilentConnectionsMakeRoomForANewClient) {
    Daemon daemon;
    const size_t before = daemon.descriptors();
    std::vector<std::unique_ptr<ProtocolClient>> silent;
    for (int i = 0; i < 128; ++i) {
        silent.push_back(std::make_unique<ProtocolClient>(daemon.box));
        ASSERT_TRUE(silent.back()->connected());
    }
    ASSERT_TRUE(eventually([&] { return daemon.descriptors() >= before + 128; }));
    ProtocolClient newcomer(daemon.box);
    EXPECT_EQ(25u, newcomer.ask(make_request(21)).size());
    EXPECT_TRUE(daemon.box.wait_for_log("(silent since accepted) is dropped for a new one"));
    EXPECT_TRUE(silent.front()->closed_by_daemon()) << "the oldest silent one made room";
    EXPECT_TRUE(silent.back()->silent(200ms));
}

// After a stall of the daemon, 128 connections wait with their requests
// unread and a 129th comes: the newcomer is refused, and every connection
// that asked first gets its answer.
TEST(MainLoop, ARequestWaitingUnreadIsNoSilence) {
    Daemon daemon;
    ASSERT_EQ(0, kill(daemon.pid, SIGSTOP));
    std::vector<std::unique_ptr<ProtocolClient>> waiting;
    for (int i = 0; i < 128; ++i) {
        waiting.push_back(std::make_unique<ProtocolClient>(daemon.box));
        ASSERT_TRUE(waiting.back()->send(make_request(21)));
    }
    ProtocolClient newcomer(daemon.box);
    ASSERT_TRUE(newcomer.connected());
    ASSERT_EQ(0, kill(daemon.pid, SIGCONT));
    for (auto& client : waiting)
        EXPECT_EQ(25u, client->read_response().size());
    EXPECT_TRUE(newcomer.closed_by_daemon());
    EXPECT_TRUE(daemon.box.wait_for_log("refused: all 128 client slots are in use"));
    EXPECT_EQ(0u, daemon.box.count_log("is dropped for a new one"));
}

TEST(MainLoop, ASlowCameraConnectsWithoutHoldingUpOthers) {
    Daemon daemon("plug camera 1201 id=51\nplug wheel id=7\n");
    ASSERT_TRUE(cameras_listed(daemon.box, 1));
    // Every driver request of the camera takes 200 ms: its connect needs seconds.
    ASSERT_TRUE(daemon.box.control("fault /dev/telva0 delay 200").starts_with("ok"));
    ProtocolClient slow(daemon.box);
    Bytes connect = make_request(2);
    put<uint32_t>(connect, 16, 51);
    ASSERT_TRUE(slow.send(connect));
    ASSERT_TRUE(daemon.box.wait_for_log("Client sd: "));

    ProtocolClient other(daemon.box);
    EXPECT_EQ(24u + 44u, other.ask(make_request(1024)).size()) << "the wheel enumeration";
    EXPECT_TRUE(slow.silent(0ms)) << "the enumeration was answered first";
    Bytes answer = slow.read_response(30s);
    ASSERT_EQ(86u, answer.size());
    EXPECT_EQ(0, status_of(answer));
    EXPECT_EQ(51u, get<uint32_t>(answer, 20));
    ASSERT_TRUE(daemon.box.control("fault /dev/telva0 clear").starts_with("ok"));
    EXPECT_EQ(0, status_of(slow.ask(make_request(16)))) << "the session serves it";
}

// Garbage, pipelining without reading and silent connections, while cameras
// are unplugged and plugged in during exposures and downloads. Afterwards
// the daemon is as it was: it serves at once, ends on SIGTERM, and holds the
// descriptors and threads it held before, which means it closed by itself
// the silent connections and the one that never read, still open here.
TEST(MainLoop, HostileClientsLeaveNothingBehind) {
    // Timer periods and the connection limits at a twentieth.
    Daemon daemon("plug camera 1201 id=51 width=2000 height=1500 read_rate=20000000\nplug camera 1201 id=52\n",
                  {"--sim-time-scale", "0.05"});
    ASSERT_TRUE(cameras_listed(daemon.box, 2));
    // The connection of the listing above may still be on its way out.
    size_t descriptors = daemon.descriptors();
    for (int look = 0; look < 25; ++look, std::this_thread::sleep_for(20ms))
        descriptors = std::min(descriptors, daemon.descriptors());
    const size_t threads = daemon.threads();

    std::atomic<bool> stop{false};
    std::vector<std::thread> hostile;
    hostile.emplace_back([&] {  // garbage, answered or not, then gone
        std::mt19937 random(7);
        while (!stop) {
            ProtocolClient client(daemon.box);
            Bytes noise(64 + random() % 3000);
            for (uint8_t& byte : noise)
                byte = static_cast<uint8_t>(random());
            const Bytes request = make_request(random() % 30, 41);
            if (random() % 2)
                std::copy(request.begin(), request.end(), noise.begin() + static_cast<long>(random() % (noise.size() - 41)));
            client.send(noise);
            client.read_response(50ms);
        }
    });
    hostile.emplace_back([&] {  // pipelines without reading, drops off when closed
        while (!stop) {
            const int deaf = deaf_connection(daemon.box);
            flood_enumerations(deaf, 0xFFFE);
            close(deaf);
        }
    });
    // Held open to the end: only the daemon's limits can close them.
    const int deaf = deaf_connection(daemon.box);
    flood_enumerations(deaf);
    std::vector<std::unique_ptr<ProtocolClient>> silent;
    hostile.emplace_back([&] {  // silent connections
        while (!stop) {
            silent.push_back(std::make_unique<ProtocolClient>(daemon.box));
            std::this_thread::sleep_for(20ms);
        }
    });
    hostile.emplace_back([&] {  // sessions whose cameras vanish
        int round = 0;
        while (!stop) {
            const uint32_t id = 51 + static_cast<uint32_t>(round++ % 2);
            ProtocolClient client(daemon.box);
            if (connect_camera(client, id) != 0)
                continue;
            client.ask(exposure_request(11, 0.3, 0, 0, 500, 500, 1), 2s);
            client.send(make_request(14));  // a download, maybe during the unplug
            client.read_response(300ms);
        }
    });
    std::string paths[2] = {"/dev/telva0", "/dev/telva1"};
    const std::string plugs[2] = {"plug camera 1201 id=51 width=2000 height=1500 read_rate=20000000",
                                  "plug camera 1201 id=52"};
    for (int round = 0; round < 8; ++round) {
        std::this_thread::sleep_for(700ms);
        std::string& path = paths[round % 2];
        EXPECT_TRUE(daemon.box.control("unplug " + path).starts_with("ok")) << path;
        std::this_thread::sleep_for(200ms);
        const std::string plugged = daemon.box.control(plugs[round % 2]);
        ASSERT_TRUE(plugged.starts_with("ok /dev/")) << plugged;
        path = plugged.substr(3, plugged.find_first_of(" \n", 3) - 3);
    }
    stop = true;
    for (std::thread& thread : hostile)
        thread.join();

    EXPECT_TRUE(daemon.answers_version());
    EXPECT_TRUE(cameras_listed(daemon.box, 2)) << daemon.box.control("list");
    EXPECT_TRUE(eventually([&] { return daemon.descriptors() == descriptors && daemon.threads() == threads; }, 10s))
        << daemon.descriptors() << " descriptors, " << descriptors << " before; " << daemon.threads()
        << " threads, " << threads << " before";
    EXPECT_TRUE(daemon.ends_on_sigterm());
    close(deaf);
}
