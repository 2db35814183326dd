// The built lineward in test boxes on the virtual box, with stub systemctl
// and telvad-cli programs that note how they were called.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/harness/test_box.h"

namespace {

using namespace harness;
namespace fs = std::filesystem;

constexpr const char* SYSTEMCTL_CALL = "/usr/bin/systemctl stop lighttpd";
constexpr const char* RESET_CALL = "/usr/bin/telvad-cli factory-reset";

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t count_lines(const std::string& text, const std::string& line) {
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string each; std::getline(lines, each);)
        count += each == line;
    return count;
}

// The names of a process's threads.
std::vector<std::string> thread_names(pid_t pid) {
    std::vector<std::string> names;
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : fs::directory_iterator(tasks, error)) {
        std::string name = read_text(task.path() / "comm");
        if (!name.empty() && name.back() == '\n')
            name.pop_back();
        names.push_back(name);
    }
    return names;
}

// The samples a wiring's button has taken, from "pressed=X taps=N samples=N"; -1 without one.
long samples(const TestBox& box, const std::string& wiring) {
    const std::string reply = box.control("button " + wiring);
    const size_t at = reply.find("samples=");
    if (!reply.ends_with("\nok\n") || at == std::string::npos)
        return -1;
    return std::stol(reply.substr(at + 8));
}

struct Row {
    const char* name;
    std::vector<std::string> scenario;
    // The one wiring sampled among usb, ttyS0 and parallel ("" none); null
    // when the run is too short to ask.
    const char* sampled;
    bool resets;
    std::vector<std::pair<int, std::string>> logged;  // level, exact text
    uid_t uid = 0;
    bool countdown_dir = true;
    bool tap_after_window = false;
};

// One lineward in a box of its own, started with the row's scenario.
class LinewardRun {
public:
    explicit LinewardRun(const Row& asked) : row(asked), box(std::nullopt) {
        const fs::path bin = box.overlay("/usr/bin");
        for (const char* stub : {"systemctl", "telvad-cli"}) {
            std::ofstream(bin / stub) << "#!/bin/sh\necho \"$0 $*\" >> /run/stubs.log\n";
            fs::permissions(bin / stub, fs::perms(0755));
        }
        std::ofstream(box.run_path("stubs.log")).flush();
        std::ofstream scenario(box.run_path("scenario"));
        for (const std::string& line : asked.scenario)
            scenario << line << "\n";
        scenario.close();
        // Room for a lineward that is not root.
        fs::permissions(box.run_path("stubs.log"), fs::perms(0666));
        fs::permissions(box.run_path("."), fs::perms(01777));
        box.in_mounts([] { return chmod("/dev/log", 0666); });
        if (asked.countdown_dir) {
            fs::create_directory(box.run_path("lighttpd"));
            fs::permissions(box.run_path("lighttpd"), fs::perms(0777));
        }
    }

    void start(const char* scale) {
        pid = box.start_command({LINEWARD_BINARY, "--simulate", "/run/scenario", "--sim-socket",
                                 "/run/telvad-sim.sock", "--sim-time-scale", scale},
                                row.uid);
    }

    // Watches the countdown until lineward ends; asks the box which wiring
    // was sampled once the reset thread is gone.
    void watch() {
        bool asked = false;
        for (;;) {
            const std::string now = read_text(box.run_path("lighttpd/timer"));
            if (!now.empty() && (countdown.empty() || countdown.back() != now))
                countdown.push_back(now);
            const std::vector<std::string> names = thread_names(pid);
            const auto has = [&](const char* name) { return std::count(names.begin(), names.end(), name) > 0; };
            if (!asked && has("lineward-httpd") && !has("lineward-reset")) {
                asked = true;
                if (row.tap_after_window)
                    box.control("button parallel tap");
                for (const char* wiring : {"usb", "ttyS0", "parallel"})
                    sampled[wiring] = samples(box, wiring);
                cdc_report = box.control("tty ttyACM0");
            }
            if ((exit = box.wait_exit(pid, std::chrono::milliseconds(0))))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (++rounds > 60000)
                return;
        }
    }

    const Row& row;
    TestBox box;
    pid_t pid = -1;
    std::optional<Exit> exit;
    std::vector<std::string> countdown;
    std::map<std::string, long> sampled;
    std::string cdc_report;
    int rounds = 0;
};

// The row's messages, each at its level, and nothing else: program name as
// ident, nothing above warning.
void check_log(const LinewardRun& run) {
    const auto matches = [](const LogLine& line, const std::string& text) { return line.text.starts_with(text); };
    for (const auto& [level, text] : run.row.logged) {
        EXPECT_TRUE(run.box.wait_for_log(text)) << text;
        const auto lines = run.box.log();
        const auto line = std::find_if(lines.begin(), lines.end(), [&](const LogLine& l) { return matches(l, text); });
        ASSERT_NE(line, lines.end()) << text;
        EXPECT_EQ(line->level(), level) << text;
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) { return matches(l, text); }), 1)
            << text;
    }
    for (const LogLine& line : run.box.log()) {
        EXPECT_EQ(line.ident, "lineward") << line.text;
        EXPECT_LE(line.level(), 4) << line.text;
        EXPECT_TRUE(std::any_of(run.row.logged.begin(), run.row.logged.end(),
                                [&](const auto& expected) { return matches(line, expected.second); }))
            << "unexpected: " << line.text;
    }
}

TEST(Lineward, ButtonMethodsFailuresAndCountdown) {
    const std::vector<Row> rows = {
        {"usb button first, whatever the board", {"board name=N4200T", "plug button", "modem legacy dsr=1"}, "usb", false, {}},
        {"usb button tapped once", {"board name=X4", "plug button", "button usb tap"}, "usb", true, {}},
        {"N4200T: DSR at one sample", {"board name=N4200T", "button ttyS0 tap"}, "ttyS0", true, {}},
        {"N4200T: CTS held", {"board name=\"Box N4200T 2\"", "modem legacy cts=1"}, "ttyS0", true, {}},
        {"N4200T: never pressed", {"board name=N4200T"}, "ttyS0", false, {}},
        {"X4: the CDC line never resets",
         {"board name=X4", "tty ttyACM0 present", "tty ttyACM0 send 0123456789", "button parallel press",
          "modem legacy dsr=1"},
         "", false, {}},
        {"empty name: parallel port at one sample", {"board name=", "button parallel tap"}, "parallel", true, {}},
        {"unreadable name: parallel port", {"board unreadable", "button parallel press"}, "parallel", true,
         {{3, "Read failed"}}},
        {"no name file: parallel port, never pressed", {"board absent"}, "parallel", false, {}},
        {"no parallel port: nothing differs", {"parallel absent", "button parallel press"}, "", false, {}},
        {"pressed after the window", {"board name=Plain"}, "parallel", false, {}, 0, true, true},
        {"usb button held, then gone", {"plug button pressed=1 leave=2", "button parallel press"}, nullptr, true,
         {{3, "Reading the reset button /dev/bus/usb/001/002 failed: "}}},
        {"usb button that can't be opened",
         {"plug button openfail", "button usb press", "button parallel press"}, "", false,
         {{3, "Could not open the reset button /dev/bus/usb/001/002: Permission denied"}}},
        {"legacy port missing", {"board name=N4200T", "tty ttyS0 absent", "button ttyS0 press"}, "", false,
         {{3, "Could not open serial '/dev/ttyS0'"}}},
        {"legacy port without UART", {"board name=N4200T", "tty ttyS0 nouart"}, "", false,
         {{3, "Could not open serial '/dev/ttyS0'"}}},
        {"legacy port that is no terminal", {"board name=N4200T", "tty ttyS0 notty", "button ttyS0 press"}, "",
         false, {{3, "Could not setup serial '/dev/ttyS0'"}, {3, "serial_setup(): cannot GET settings for fd "}}},
        {"CDC line missing", {"board name=X4"}, "", false, {{3, "Could not open serial '/dev/ttyACM0'"}}},
        {"ioperm refused", {"button parallel press"}, "", false, {{3, "ioperm() failed: Operation not permitted"}},
         65534},
        {"countdown file can't be created", {"button parallel tap"}, nullptr, true,
         {{3, "open(/run/lighttpd/timer) failed: No such file or directory"}}, 0, false},
    };
    std::vector<std::unique_ptr<LinewardRun>> runs;
    for (const Row& row : rows)
        runs.push_back(std::make_unique<LinewardRun>(row));
    std::vector<std::thread> watchers;
    for (auto& run : runs) {
        run->start("0.02");
        watchers.emplace_back([&run] { run->watch(); });
    }
    for (std::thread& watcher : watchers)
        watcher.join();

    for (const auto& run : runs) {
        const Row& row = run->row;
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(run->exit) << "still running";
        EXPECT_TRUE(run->exit->exited && run->exit->status == 0) << run->box.output(run->pid);
        const std::string stubs = read_text(run->box.run_path("stubs.log"));
        EXPECT_EQ(count_lines(stubs, RESET_CALL), row.resets ? 1u : 0u) << stubs;
        EXPECT_EQ(count_lines(stubs, SYSTEMCTL_CALL), row.countdown_dir ? 1u : 0u) << stubs;
        if (row.sampled) {
            EXPECT_EQ(run->sampled.size(), 3u) << "the box was not asked after the reset thread ended";
            for (const auto& [wiring, count] : run->sampled)
                EXPECT_EQ(count > 0, wiring == row.sampled) << wiring << " took " << count << " samples";
        }
        if (std::string(row.name).starts_with("X4")) {
            EXPECT_EQ(run->cdc_report, "present opens=1\nok\n");
        }
        check_log(*run);
        if (!row.countdown_dir)
            continue;
        // Whole seconds without a newline, counting down once a (scaled)
        // second to the last second (a busy machine may skip one); the file
        // stays once the web server was stopped.
        ASSERT_GE(run->countdown.size(), 10u);
        long last = 300;
        for (const std::string& value : run->countdown) {
            const bool whole = value.size() <= 3 && value[0] != '0' &&
                               std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
            ASSERT_TRUE(whole) << "'" << value << "'";
            EXPECT_LE(std::stol(value), last);
            last = std::stol(value);
        }
        EXPECT_LE(last, 10);
        EXPECT_EQ(read_text(run->box.run_path("lighttpd/timer")), run->countdown.back());
    }
}

// A countdown file that is a pipe shows every write: "300" comes first. Its
// rewrites fail (a pipe can't be truncated), which the countdown survives.
// The same box refuses command lines the program does not take.
TEST(Lineward, CountdownStartsAt300AndSurvivesFailedRewrites) {
    Row row{"fifo", {}, nullptr, false, {{3, "Rewriting /run/lighttpd/timer failed: Invalid argument"}}};
    LinewardRun run(row);
    ASSERT_EQ(mkfifo(run.box.run_path("lighttpd/timer").c_str(), 0644), 0);
    const int fifo = open(run.box.run_path("lighttpd/timer").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    run.start("0.01");
    std::string first;
    EXPECT_TRUE(eventually([&] {
        char bytes[16];
        const ssize_t n = read(fifo, bytes, sizeof bytes);
        if (n > 0)
            first.append(bytes, static_cast<size_t>(n));
        return first.size() >= 3;
    }));
    EXPECT_EQ(first, "300");
    run.exit = run.box.wait_exit(run.pid, std::chrono::seconds(60));
    ASSERT_TRUE(run.exit);
    EXPECT_TRUE(run.exit->exited && run.exit->status == 0);
    EXPECT_EQ(count_lines(read_text(run.box.run_path("stubs.log")), SYSTEMCTL_CALL), 1u);
    check_log(run);
    EXPECT_EQ(run.box.count_log("Rewriting"), 1u);
    close(fifo);

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-f"}, {"--help"}, {"start"}, {"--sim-time-scale", "0.5"}, {"--simulate", "--sim-time-scale", "7"}}) {
        std::vector<std::string> argv = {LINEWARD_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        const pid_t pid = run.box.start_command(argv);
        const auto exit = run.box.wait_exit(pid, std::chrono::seconds(10));
        ASSERT_TRUE(exit) << args[0];
        EXPECT_TRUE(exit->exited && exit->status == 2) << args[0];
        EXPECT_NE(run.box.output(pid).find("Usage: "), std::string::npos) << args[0];
    }
}

}  // namespace
