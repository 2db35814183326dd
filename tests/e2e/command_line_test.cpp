// telvad's command line: foreground mode and the options that end at once.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/harness/test_box.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(CommandLine, ForegroundNeitherForksNorLeavesStandardError) {
    TestBox box("verbosity = info\n");
    pid_t daemon = box.start({"-f"});
    ASSERT_EQ(daemon, box.daemon_pid());
    ASSERT_TRUE(eventually([&] { return box.in_main_loop(daemon); }));
    EXPECT_TRUE(box.tcp_listening(daemon, 48899));
    EXPECT_TRUE(eventually([&] { return contains(box.output(daemon), "listening: clients on TCP 48899"); }));

    // Both sinks: standard error and syslog.
    EXPECT_TRUE(contains(box.output(daemon), "UID set to root"));
    EXPECT_TRUE(box.wait_for_log("UID set to root", 1s));
    for (const LogLine& line : box.log()) {
        EXPECT_EQ("telvad", line.ident);
        EXPECT_EQ(daemon, line.pid);
    }

    kill(daemon, SIGINT);
    auto ended = box.wait_exit(daemon, 10s);
    ASSERT_TRUE(ended && ended->exited);
    EXPECT_EQ(0, ended->status);
    EXPECT_TRUE(contains(box.output(daemon), "Removed lock file: /run/telvad.pid"));
}

TEST(CommandLine, ForegroundRunsWithoutRoot) {
    TestBox box("verbosity = info\nlock = /run/open/telvad.pid\n");
    std::filesystem::create_directory(box.run_path("open"));
    chmod(box.run_path("open").c_str(), 0777);

    pid_t daemon = box.start({"--foreground"}, 65534);
    ASSERT_EQ(daemon, box.daemon_pid(5s, "open/telvad.pid")) << box.output(daemon);
    ASSERT_TRUE(eventually([&] { return box.in_main_loop(daemon); }));
    EXPECT_TRUE(box.tcp_listening(daemon, 48899));
    // Without privilege the priority stays; that is logged and the daemon runs on.
    EXPECT_TRUE(contains(box.output(daemon), "Setting nice value to -20 failed: 1, Operation not permitted"));
    EXPECT_FALSE(contains(box.output(daemon), "UID set to root"));

    kill(daemon, SIGTERM);
    auto ended = box.wait_exit(daemon, 10s);
    ASSERT_TRUE(ended && ended->exited);
    EXPECT_EQ(0, ended->status);
}

TEST(CommandLine, OptionsThatEndAtOnce) {
    TestBox box;
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* output;
    };
    const Case cases[] = {
        {{"-V"}, 0, "telvad 61 (built "},
        {{"--help"}, 0, "Usage: "},
        {{"--bogus"}, 2, "unknown option: --bogus\nUsage: "},
        {{"-c"}, 2, "option requires an argument: -c\nUsage: "},
        {{"stray"}, 2, "unexpected argument: stray\nUsage: "},
    };
    for (const Case& c : cases) {
        pid_t pid = box.start(c.args);
        auto ended = box.wait_exit(pid);
        ASSERT_TRUE(ended && ended->exited) << c.args[0];
        EXPECT_EQ(c.status, ended->status) << c.args[0];
        EXPECT_TRUE(contains(box.output(pid), c.output)) << box.output(pid);
    }
    EXPECT_FALSE(std::filesystem::exists(box.run_path("telvad.pid")));
}

TEST(CommandLine, SimulateServesTheVirtualBox) {
    TestBox box("verbosity = info\n");
    std::filesystem::path scenario = box.run_path("scenario.sim");
    std::ofstream(scenario) << "# two devices\nplug camera 3120 id=77\nplug wheel filters=5 filters2=7\n";

    pid_t daemon = box.start({"-f", "--simulate", "/run/scenario.sim"});
    ASSERT_EQ(daemon, box.daemon_pid()) << box.output(daemon);
    ASSERT_TRUE(eventually([&] { return box.in_main_loop(daemon); })) << box.output(daemon);
    const std::string devices = box.control("list");
    EXPECT_TRUE(contains(devices, "camera /dev/telva0 ")) << devices;
    EXPECT_TRUE(contains(devices, " id=77 ")) << devices;
    EXPECT_TRUE(contains(devices, "wheel /dev/bus/usb/")) << devices;
    EXPECT_TRUE(contains(box.control("plug camera"), "error: ")) << "a malformed line is refused";
    EXPECT_EQ(devices, box.control("list")) << "and changes nothing";

    kill(daemon, SIGTERM);
    auto ended = box.wait_exit(daemon, 10s);
    ASSERT_TRUE(ended && ended->exited);
    EXPECT_EQ(0, ended->status);
}

TEST(CommandLine, SimulateRefusesABadScenario) {
    TestBox box("verbosity = info\n");
    std::ofstream(box.run_path("bad.sim")) << "plug camera 3120\nplug toaster\n";
    pid_t daemon = box.start({"-f", "--simulate=/run/bad.sim"});
    auto ended = box.wait_exit(daemon);
    ASSERT_TRUE(ended && ended->exited);
    EXPECT_EQ(1, ended->status);
    EXPECT_TRUE(contains(box.output(daemon), "Cannot start the virtual box: /run/bad.sim:2: error: "))
        << box.output(daemon);
    EXPECT_FALSE(std::filesystem::exists(box.run_path("telvad.pid")));
}
