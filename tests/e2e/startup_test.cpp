// The daemon's life seen from outside: start-up as root and as a user, the
// pid lock, the listeners, the configuration as the running daemon shows it,
// and the end on each termination signal.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/harness/test_box.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

constexpr uid_t NOBODY = 65534;
constexpr const char* MULTICAST_GROUP_HEX = "D2EA0AEA";  // 234.10.234.210 as /proc/net/igmp shows it

// Starts the daemon with no argument and returns the detached child's pid,
// after checking that the launching parent exited 0.
pid_t start_daemon(TestBox& box, pid_t* launcher_out = nullptr) {
    pid_t launcher = box.start();
    if (launcher_out)
        *launcher_out = launcher;
    auto launched = box.wait_exit(launcher);
    EXPECT_TRUE(launched && launched->exited && launched->status == 0) << box.output(launcher);
    auto pid = box.daemon_pid();
    EXPECT_TRUE(pid.has_value()) << "no pid file; output:\n" << box.output(launcher);
    return pid.value_or(-1);
}

bool lock_held_by_other(const std::filesystem::path& path) {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0)
        return false;
    bool held = lockf(fd, F_TEST, 0) != 0 && (errno == EACCES || errno == EAGAIN);
    close(fd);
    return held;
}

}  // namespace

TEST(Startup, RootStartDetachesLocksAndListens) {
    TestBox box("verbosity = info\n");
    pid_t launcher = 0;
    pid_t daemon = start_daemon(box, &launcher);
    ASSERT_GT(daemon, 0);
    EXPECT_NE(daemon, launcher);

    // Logged before the fork, while the log still goes to standard error.
    EXPECT_NE(box.output(launcher).find("UID set to root"), std::string::npos);

    const auto pid_file = box.run_path("telvad.pid");
    std::ifstream in(pid_file);
    EXPECT_EQ(std::to_string(daemon) + "\n", std::string(std::istreambuf_iterator<char>(in), {}));
    EXPECT_TRUE(lock_held_by_other(pid_file));

    ASSERT_TRUE(eventually([&] { return box.in_main_loop(daemon); }));
    for (uint16_t port : {48899, 49000, 49001})
        EXPECT_TRUE(box.tcp_listening(daemon, port)) << port;
    EXPECT_TRUE(box.udp_bound(daemon, 11111));
    EXPECT_NE(box.proc_net(daemon, "igmp").find(MULTICAST_GROUP_HEX), std::string::npos);
    EXPECT_FALSE(box.udp_bound(daemon, 32227));

    kill(daemon, SIGTERM);
    auto ended = box.wait_exit(daemon, 10s);
    ASSERT_TRUE(ended && ended->exited);
    EXPECT_EQ(0, ended->status);
}

TEST(Startup, SecondStartLeavesTheFirstAlone) {
    TestBox box("verbosity = info\n");
    pid_t first = start_daemon(box);
    ASSERT_GT(first, 0);
    ASSERT_TRUE(eventually([&] { return box.in_main_loop(first); }));

    pid_t launcher = box.start();
    auto launched = box.wait_exit(launcher);
    ASSERT_TRUE(launched && launched->exited);
    EXPECT_EQ(0, launched->status);  // the parent of the fork leaves at once

    ASSERT_TRUE(box.wait_for_log("set_pid_lock() failed: "));
    pid_t second = 0;
    for (const LogLine& line : box.log()) {
        if (line.text.starts_with("lock_reg() failed: "))
            second = line.pid;
    }
    ASSERT_NE(0, second);
    EXPECT_NE(first, second);
    auto refused = box.wait_exit(second, 10s);
    ASSERT_TRUE(refused && refused->exited);
    EXPECT_NE(0, refused->status);

    // The first keeps running, listening, locked, and its pid file intact.
    EXPECT_EQ(0, kill(first, 0));
    EXPECT_TRUE(box.tcp_listening(first, 48899));
    EXPECT_EQ(first, box.daemon_pid(1s));
    EXPECT_TRUE(lock_held_by_other(box.run_path("telvad.pid")));
    EXPECT_EQ(0u, box.count_log("Removed lock file"));
}

TEST(Startup, UserStartIsRefusedWithoutFork) {
    TestBox box("verbosity = info\n");
    pid_t launcher = box.start({}, NOBODY);
    auto ended = box.wait_exit(launcher);
    ASSERT_TRUE(ended && ended->exited);
    EXPECT_EQ(255, ended->status);
    EXPECT_NE(box.output(launcher).find("Unable to set UID to root. Sudo?"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(box.run_path("telvad.pid")));
}

TEST(Startup, MissingConfigurationStartsOnDefaults) {
    TestBox box(std::nullopt);
    pid_t launcher = 0;
    pid_t daemon = start_daemon(box, &launcher);
    ASSERT_GT(daemon, 0);
    EXPECT_NE(box.output(launcher).find("fopen() failed: No such file or directory"), std::string::npos);
    EXPECT_TRUE(eventually([&] { return box.in_main_loop(daemon); }));
    EXPECT_TRUE(box.tcp_listening(daemon, 48899));
}

class Termination : public testing::TestWithParam<int> {};

TEST_P(Termination, EndsWithinASecondAndRemovesTheLock) {
    TestBox box("verbosity = info\n");
    pid_t daemon = start_daemon(box);
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(eventually([&] { return box.in_main_loop(daemon); }));

    kill(daemon, GetParam());
    // The daemon's own way out takes well under a second; a sanitizer
    // build adds its leak scan after it, so the exit itself gets longer.
    EXPECT_TRUE(box.wait_for_log("Removed lock file: /run/telvad.pid", 1s)) << "not done a second after the signal";
    EXPECT_FALSE(std::filesystem::exists(box.run_path("telvad.pid")));
    auto ended = box.wait_exit(daemon, 10s);
    ASSERT_TRUE(ended.has_value());
    ASSERT_TRUE(ended->exited) << "killed by signal " << ended->status;
    EXPECT_EQ(0, ended->status);
}

INSTANTIATE_TEST_SUITE_P(Signals, Termination, testing::Values(SIGHUP, SIGINT, SIGQUIT, SIGTERM),
                         [](const testing::TestParamInfo<int>& signal) { return std::string(sigabbrev_np(signal.param)); });
