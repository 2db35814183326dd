// The configuration file as the running daemon shows it: the ports it
// listens on, where its pid file is, what reaches its log.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/harness/test_box.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

// A daemon started in its own box with `config`, waited for until its main
// loop runs.
struct Started {
    explicit Started(const std::string& config, const std::string& pid_file = "telvad.pid") : box(config) {
        launcher = box.start();
        auto launched = box.wait_exit(launcher);
        EXPECT_TRUE(launched && launched->exited && launched->status == 0) << box.output(launcher);
        daemon = box.daemon_pid(5s, pid_file).value_or(-1);
        EXPECT_GT(daemon, 0) << box.output(launcher);
        EXPECT_TRUE(daemon > 0 && eventually([&] { return box.in_main_loop(daemon); }));
    }
    // What the daemon logged before it detached (standard error only).
    bool early_log_has(const std::string& text) const {
        return box.output(launcher).find(text) != std::string::npos;
    }
    // Stops the daemon, so that everything it logs on the way out is there.
    void stop() {
        kill(daemon, SIGTERM);
        ASSERT_TRUE(box.wait_exit(daemon, 10s).has_value());
    }

    TestBox box;
    pid_t launcher = -1;
    pid_t daemon = -1;
};

}  // namespace

TEST(Configuration, VerbosityDebugAloneGivesEveryDefault) {
    Started started("verbosity=debug\n");
    EXPECT_TRUE(started.early_log_has("UID set to root"));
    EXPECT_TRUE(std::filesystem::exists(started.box.run_path("telvad.pid")));
    for (uint16_t port : {48899, 49000, 49001})
        EXPECT_TRUE(started.box.tcp_listening(started.daemon, port)) << port;
    EXPECT_FALSE(started.box.udp_bound(started.daemon, 32227));
    started.stop();
    EXPECT_TRUE(started.box.wait_for_log("Removed lock file: /run/telvad.pid", 1s));
}

TEST(Configuration, PortsZeroMeansDefaultAndNumbersWrapToSixteenBits) {
    Started started("as_port = 0\nserial_port_a = 65537\nserial_port_b=48000\n");
    EXPECT_TRUE(started.box.tcp_listening(started.daemon, 48899));
    EXPECT_TRUE(started.box.tcp_listening(started.daemon, 1));
    EXPECT_TRUE(started.box.tcp_listening(started.daemon, 48000));
    EXPECT_FALSE(started.box.tcp_listening(started.daemon, 49000));
}

TEST(Configuration, TabSeparatorAndIndentedHashLinesAreIgnored) {
    Started started("as_port\t48000\n   #serial_port_a = 48001\n#serial_port_b = 48002\n");
    EXPECT_TRUE(started.box.tcp_listening(started.daemon, 48899));
    EXPECT_TRUE(started.box.tcp_listening(started.daemon, 49000));
    EXPECT_TRUE(started.box.tcp_listening(started.daemon, 49001));
    for (uint16_t port : {48000, 48001, 48002})
        EXPECT_FALSE(started.box.tcp_listening(started.daemon, port)) << port;
}

TEST(Configuration, LockPathIsTaken) {
    Started started("lock /run/other.pid\nverbosity info\n", "other.pid");
    EXPECT_FALSE(std::filesystem::exists(started.box.run_path("telvad.pid")));
    started.stop();
    EXPECT_TRUE(started.box.wait_for_log("Removed lock file: /run/other.pid", 1s));
}

struct AlpacaCase {
    const char* value;
    bool enabled;
};

class AlpacaSwitch : public testing::TestWithParam<AlpacaCase> {};

TEST_P(AlpacaSwitch, OnlyOneEnablesTheDiscoverySocket) {
    Started started(std::string("alpaca_enabled = ") + GetParam().value + "\n");
    EXPECT_EQ(GetParam().enabled, started.box.udp_bound(started.daemon, 32227));
}

INSTANTIATE_TEST_SUITE_P(Values, AlpacaSwitch,
                         testing::Values(AlpacaCase{"2", false}, AlpacaCase{"yes", false}, AlpacaCase{"1", true}),
                         [](const testing::TestParamInfo<AlpacaCase>& c) { return std::string("value_") + c.param.value; });

TEST(Configuration, VerbosityAboveSevenIsReportedAndLetsEverythingThrough) {
    Started started("verbosity = 12\n");
    EXPECT_TRUE(started.early_log_has("The value 12 is not a valid priority value"));
    EXPECT_TRUE(started.early_log_has("UID set to root"));
    started.stop();
    EXPECT_TRUE(started.box.wait_for_log("Removed lock file: /run/telvad.pid", 1s));
}

TEST(Configuration, VerbosityZeroKeepsWarning) {
    Started started("verbosity = 0\n");
    EXPECT_FALSE(started.early_log_has("UID set to root"));
    started.stop();
    EXPECT_EQ(0u, started.box.count_log("Removed lock file"));
}

TEST(Configuration, VerbosityEmergSilencesErrors) {
    TestBox box("verbosity = emerg\n");
    pid_t launcher = box.start({}, 65534);
    auto ended = box.wait_exit(launcher);
    ASSERT_TRUE(ended && ended->exited);
    EXPECT_EQ(255, ended->status);
    EXPECT_EQ("", box.output(launcher));
}
