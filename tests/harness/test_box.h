// A private box for end-to-end tests: the real telvad binary, run as root in
// its own mount and network namespace.
//
// Inside the box: loopback is up with multicast routed to it; /run is a
// private directory (run_path() shows it from outside); /etc/telvad.conf is
// bind-mounted from a file the test writes; /dev/log is bind-mounted to a
// datagram socket the box reads, so every syslog line of the daemon, before
// and after it detaches, can be asserted; /dev/ttyS2 and /dev/ttyS3 are
// pseudo-terminals whose master ends the test holds (serial_master()). Boxes are independent, so tests
// using the fixed ports and paths can run side by side.
//
// The test process becomes a child subreaper: a daemon that detaches from
// the process the box started is reparented to the test, which can therefore
// collect its exit status.
//
// Sanitizer reports of every process started in the box are written into the
// box's directory; the destructor turns each one into a test failure.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace harness {

using namespace std::chrono_literals;

// One syslog line as the daemon sent it.
struct LogLine {
    int priority = -1;   // facility | level, as in "<30>"
    std::string ident;   // "telvad"
    pid_t pid = 0;       // from "telvad[1234]"
    std::string text;    // the message
    int level() const { return priority & 7; }
};

// How a process ended: exited with a status, or killed by a signal.
struct Exit {
    bool exited = false;
    int status = -1;  // exit status when exited, otherwise the signal
};

// Polls `condition` until it holds or `timeout` passes; its last answer.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s);

// The box's network: loopback only (multicast routed to lo), or a wired LAN:
// eth0 at BOX_ADDRESS in the box, joined by a veth pair to lan0 at
// PEER_ADDRESS in a namespace of its own that plays the astronomer's PC
// (multicast routed over the pair on both sides).
enum class Network { loopback, lan };
inline constexpr const char* BOX_ADDRESS = "10.0.0.5";
inline constexpr const char* PEER_ADDRESS = "10.0.0.1";

class TestBox {
public:
    // `config` is written to /etc/telvad.conf; without one the box has no
    // such file.
    explicit TestBox(std::optional<std::string> config = std::string(), Network network = Network::loopback);
    ~TestBox();
    TestBox(const TestBox&) = delete;
    TestBox& operator=(const TestBox&) = delete;

    // Starts the telvad binary with `args` inside the box, as `uid` (0:
    // root). Its standard output and error go to a file, see output().
    pid_t start(const std::vector<std::string>& args = {}, uid_t uid = 0);
    // The same for any program: `argv[0]` is its path.
    pid_t start_command(std::vector<std::string> argv, uid_t uid = 0);

    // Waits for a child of the test (a started process, or a daemon that
    // detached from one) to end.
    std::optional<Exit> wait_exit(pid_t pid, std::chrono::milliseconds timeout = 5s);

    // What a started process wrote to its standard output and error.
    std::string output(pid_t started) const;

    // The pid in the box's pid file, once it holds a complete line.
    std::optional<pid_t> daemon_pid(std::chrono::milliseconds timeout = 5s,
                                    const std::string& pid_file = "telvad.pid") const;

    // The path, seen from the test, of a file in the box's /run.
    std::filesystem::path run_path(const std::string& name) const;

    // Sends one line to the virtual box's control socket (/run/telvad-sim.sock
    // of a daemon started with --simulate) and returns its answer: the lines
    // up to and including the one that begins with "ok" or "error: ".
    std::string control(const std::string& line) const;

    // Runs `work` in a child process that has joined the box's mount
    // namespace (mount(), umount() and file changes as the box sees them);
    // returns what `work` returned (0..255), or -1 when the child could not
    // join. `work` runs after fork() in a threaded process: keep it to plain
    // system calls and what was prepared before the call.
    int in_mounts(const std::function<int()>& work) const;

    // Lays a writable layer over the box's directory `dir`: files the test
    // puts under the returned path before any program in the box looks for
    // them show in `dir` over the host's own, and what the box writes there
    // lands in the layer, never on the host.
    std::filesystem::path overlay(const std::string& dir);

    // Log lines received so far, and waiting for one that contains `text`.
    std::vector<LogLine> log() const;
    bool wait_for_log(std::string_view text, std::chrono::milliseconds timeout = 5s) const;
    size_t count_log(std::string_view text) const;

    // A socket in the box's network namespace, or on the PC's side of the LAN.
    int socket(int domain, int type, int protocol = 0) const;
    int peer_socket(int domain, int type, int protocol = 0) const;

    // The test's end of the pseudo-terminal at /dev/ttyS2 (0) or /dev/ttyS3 (1).
    int serial_master(int position) const { return serial_masters_[static_cast<size_t>(position)]; }

    // Runs "ip ARGS..." in the box, or on the PC's side; its exit status.
    int run_in_box(const std::vector<std::string>& ip_args) const;
    int run_in_peer(const std::vector<std::string>& ip_args) const;

    // /proc/<pid>/net/<table> of a process in the box: "tcp", "udp", "igmp".
    std::string proc_net(pid_t pid, const std::string& table) const;

    // Whether some process of the box listens on TCP `port`, or has UDP
    // `port` bound, according to /proc of `pid`. The daemon writes its pid
    // file before it opens its sockets: wrap these in eventually().
    bool tcp_listening(pid_t pid, uint16_t port) const;
    // Whether the main thread of `pid` waits in select(): the daemon has
    // opened everything it opens at start-up.
    bool in_main_loop(pid_t pid) const;
    bool udp_bound(pid_t pid, uint16_t port) const;

private:
    void create_namespaces();
    int socket_in(int netns, int domain, int type, int protocol) const;
    int run_ip_in(int netns, const std::vector<std::string>& ip_args) const;
    void read_log();
    void kill_remaining();
    void report_sanitizer_logs() const;

    std::filesystem::path dir_;
    int log_fd_ = -1;
    int net_ns_ = -1;
    int mnt_ns_ = -1;
    int peer_ns_ = -1;
    std::array<int, 2> serial_masters_ = {-1, -1};
    std::array<std::string, 2> serial_ttys_;
    Network network_;
    int stop_pipe_[2] = {-1, -1};
    std::vector<pid_t> started_;
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable log_changed_;
    std::vector<LogLine> log_;
};

// The telvad binary under test.
std::string telvad_binary();

}  // namespace harness
