#include "tests/harness/test_box.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace harness {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + strerror(errno));
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// --- Inside the keeper process, right after unshare() ----------------------
// Plain system calls only; a failure names its step for the test's message.

struct SetupError {
    const char* step;
    int error;
};

void check(bool ok, const char* step) {
    if (!ok)
        throw SetupError{step, errno};
}

void bring_up_loopback(bool route_multicast) {
    int sd = ::socket(AF_INET, SOCK_DGRAM, 0);
    check(sd >= 0, "socket()");
    ifreq request = {};
    strcpy(request.ifr_name, "lo");
    check(ioctl(sd, SIOCGIFFLAGS, &request) == 0, "SIOCGIFFLAGS");
    request.ifr_flags |= IFF_UP | IFF_RUNNING | IFF_MULTICAST;
    check(ioctl(sd, SIOCSIFFLAGS, &request) == 0, "SIOCSIFFLAGS");
    if (!route_multicast) {
        close(sd);
        return;
    }

    // Multicast goes out (and loops back) on lo: 224.0.0.0/4 dev lo.
    rtentry route = {};
    auto* destination = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
    auto* mask = reinterpret_cast<sockaddr_in*>(&route.rt_genmask);
    destination->sin_family = mask->sin_family = AF_INET;
    destination->sin_addr.s_addr = htonl(0xE0000000);
    mask->sin_addr.s_addr = htonl(0xF0000000);
    route.rt_flags = RTF_UP;
    char device[] = "lo";
    route.rt_dev = device;
    check(ioctl(sd, SIOCADDRT, &route) == 0, "SIOCADDRT");
    close(sd);
}

// Runs "ip <args>" in the network namespace of `netns_pid` (0: this one).
int run_ip(pid_t netns_pid, const std::vector<std::string>& args) {
    std::vector<std::string> words = {"/sbin/ip"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string netns = "/proc/" + std::to_string(netns_pid) + "/ns/net";
    pid_t child = fork();
    if (child == 0) {
        if (netns_pid != 0) {
            int fd = open(netns.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || setns(fd, CLONE_NEWNET) != 0)
                _exit(126);
        }
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ip(pid_t netns_pid, const std::vector<std::string>& args) {
    errno = EINVAL;
    check(run_ip(netns_pid, args) == 0, "ip");
}

// The far side of the box's wired network: a namespace of its own, joined
// to the box by a veth pair, eth0 in the box and lan0 outside. Returns the
// pid of a process that holds it.
pid_t set_up_lan() {
    int ready[2];
    check(pipe2(ready, O_CLOEXEC) == 0, "pipe2()");
    pid_t peer = fork();
    check(peer >= 0, "fork()");
    if (peer == 0) {
        close(ready[0]);
        char report = unshare(CLONE_NEWNET) == 0 ? 'r' : 'f';
        if (report == 'r') {
            try {
                bring_up_loopback(false);
            } catch (const SetupError&) {
                report = 'f';
            }
        }
        [[maybe_unused]] ssize_t ignored = write(ready[1], &report, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char report = 0;
    check(read(ready[0], &report, 1) == 1 && report == 'r', "peer namespace");
    close(ready[0]);

    const std::string peer_pid = std::to_string(peer);
    ip(0, {"link", "add", "eth0", "type", "veth", "peer", "name", "lan0", "netns", peer_pid});
    ip(0, {"addr", "add", std::string(BOX_ADDRESS) + "/24", "dev", "eth0"});
    ip(0, {"link", "set", "eth0", "up"});
    ip(0, {"route", "add", "224.0.0.0/4", "dev", "eth0"});
    ip(peer, {"addr", "add", std::string(PEER_ADDRESS) + "/24", "dev", "lan0"});
    ip(peer, {"link", "set", "lan0", "up"});
    ip(peer, {"route", "add", "224.0.0.0/4", "dev", "lan0"});
    return peer;
}

void bind_mount(const fs::path& source, const char* target) {
    check(mount(source.c_str(), target, nullptr, MS_BIND, nullptr) == 0, target);
}

void overlay(const char* target, const fs::path& upper, const fs::path& work) {
    std::string options = std::string("lowerdir=") + target + ",upperdir=" + upper.string() +
                          ",workdir=" + work.string();
    check(mount("overlay", target, "overlay", 0, options.c_str()) == 0, target);
}

void create_empty(const char* path) {
    int fd = open(path, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    check(fd >= 0, path);
    close(fd);
}

void set_up_mounts(const fs::path& dir, bool with_config, const std::array<std::string, 2>& serial_ttys) {
    check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make / private");
    bind_mount(dir / "run", "/run");

    overlay("/etc", dir / "etc-upper", dir / "etc-work");
    unlink("/etc/telvad.conf");  // a host file must not leak in
    if (with_config) {
        create_empty("/etc/telvad.conf");
        bind_mount(dir / "telvad.conf", "/etc/telvad.conf");
    }

    // An overlay over /dev hides the mounts beneath it; keep handles on
    // them and put them back on top.
    std::vector<std::pair<int, const char*>> submounts;
    for (const char* path : {"/dev/pts", "/dev/shm", "/dev/mqueue"}) {
        int fd = open(path, O_PATH | O_CLOEXEC);
        if (fd >= 0)
            submounts.emplace_back(fd, path);
    }
    overlay("/dev", dir / "dev-upper", dir / "dev-work");
    for (auto [fd, path] : submounts)
        bind_mount("/proc/self/fd/" + std::to_string(fd), path);
    create_empty("/dev/log");
    bind_mount(dir / "log.sock", "/dev/log");
    // The serial ports are pseudo-terminals whose master ends the test holds.
    const char* serial_paths[] = {"/dev/ttyS2", "/dev/ttyS3"};
    for (size_t i = 0; i < serial_ttys.size(); ++i) {
        create_empty(serial_paths[i]);
        bind_mount(serial_ttys[i], serial_paths[i]);
    }
}

int tcp_state_listen = 0x0A;

// Parses the port and state columns of /proc/net/{tcp,udp}.
bool table_has(const std::string& table, uint16_t port, int state) {
    std::istringstream lines(table);
    std::string line;
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) {
        unsigned slot, local_address, local_port, remote_address, remote_port, line_state;
        if (sscanf(line.c_str(), " %u: %x:%x %x:%x %x", &slot, &local_address, &local_port, &remote_address,
                   &remote_port, &line_state) != 6)
            continue;
        if (local_port == port && (state < 0 || static_cast<int>(line_state) == state))
            return true;
    }
    return false;
}

}  // namespace

std::string telvad_binary() { return TELVAD_BINARY; }

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TestBox::TestBox(std::optional<std::string> config, Network network) : network_(network) {
    char pattern[] = "/tmp/telvad-box-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        fail("mkdtemp()");
    dir_ = pattern;
    chmod(dir_.c_str(), 0755);
    for (const char* sub : {"run", "etc-upper", "etc-work", "dev-upper", "dev-work", "reports"})
        fs::create_directory(dir_ / sub);
    chmod((dir_ / "reports").c_str(), 0777);  // processes started as another user report too
    if (config)
        write_file(dir_ / "telvad.conf", *config);

    log_fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (log_fd_ < 0)
        fail("socket(AF_UNIX)");
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", (dir_ / "log.sock").c_str());
    if (bind(log_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail("bind(log.sock)");
    chmod(address.sun_path, 0666);

    for (size_t i = 0; i < serial_masters_.size(); ++i) {
        serial_masters_[i] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (serial_masters_[i] < 0 || grantpt(serial_masters_[i]) != 0 || unlockpt(serial_masters_[i]) != 0)
            fail("posix_openpt()");
        serial_ttys_[i] = ptsname(serial_masters_[i]);
    }

    prctl(PR_SET_CHILD_SUBREAPER, 1);
    create_namespaces();

    if (pipe2(stop_pipe_, O_CLOEXEC) != 0)
        fail("pipe2()");
    reader_ = std::thread([this] { read_log(); });
}

TestBox::~TestBox() {
    kill_remaining();
    if (stop_pipe_[1] >= 0) {
        [[maybe_unused]] ssize_t ignored = write(stop_pipe_[1], "x", 1);
    }
    if (reader_.joinable())
        reader_.join();
    report_sanitizer_logs();
    for (int fd : {log_fd_, net_ns_, mnt_ns_, peer_ns_, stop_pipe_[0], stop_pipe_[1], serial_masters_[0],
                   serial_masters_[1]}) {
        if (fd >= 0)
            close(fd);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void TestBox::create_namespaces() {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        fail("pipe2()");
    const bool with_config = fs::exists(dir_ / "telvad.conf");
    pid_t keeper = fork();
    if (keeper < 0)
        fail("fork()");
    if (keeper == 0) {
        close(ready[0]);
        char report[256] = "ok 0";
        try {
            check(unshare(CLONE_NEWNS | CLONE_NEWNET) == 0, "unshare()");
            bring_up_loopback(network_ == Network::loopback);
            if (network_ == Network::lan)
                snprintf(report, sizeof report, "ok %d", set_up_lan());
            set_up_mounts(dir_, with_config, serial_ttys_);
        } catch (const SetupError& error) {
            snprintf(report, sizeof report, "%s: %s", error.step, strerror(error.error));
        }
        [[maybe_unused]] ssize_t ignored = write(ready[1], report, strlen(report));
        pause();  // the box's namespaces live while the test holds them
        _exit(0);
    }
    close(ready[1]);
    char report[256] = {};
    ssize_t length = read(ready[0], report, sizeof report - 1);
    close(ready[0]);
    int peer = 0;
    if (length > 0 && sscanf(report, "ok %d", &peer) == 1) {
        net_ns_ = open(("/proc/" + std::to_string(keeper) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        mnt_ns_ = open(("/proc/" + std::to_string(keeper) + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC);
        if (peer > 0)
            peer_ns_ = open(("/proc/" + std::to_string(peer) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    }
    kill(keeper, SIGKILL);
    if (peer > 0)
        kill(peer, SIGKILL);
    waitpid(keeper, nullptr, 0);
    if (peer > 0)
        waitpid(peer, nullptr, 0);  // ours now: its parent, the keeper, is gone
    if (net_ns_ < 0 || mnt_ns_ < 0 || (network_ == Network::lan && peer_ns_ < 0))
        throw std::runtime_error(std::string("setting up the test box failed: ") + report);
}

pid_t TestBox::start(const std::vector<std::string>& args, uid_t uid) {
    std::vector<std::string> words = {telvad_binary()};
    words.insert(words.end(), args.begin(), args.end());
    return start_command(words, uid);
}

pid_t TestBox::start_command(std::vector<std::string> words, uid_t uid) {
    // Everything the child needs is prepared before fork(): the test
    // process has threads.
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        environment.emplace_back(*entry);
    const std::string report_path = (dir_ / "reports" / "sanitizer").string();
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        const char* current = getenv(name);
        environment.push_back(std::string(name) + "=" + (current ? std::string(current) + ":" : "") +
                              "log_path=" + report_path);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    const std::string output_template = (dir_ / "output.").string();
    pid_t child = fork();
    if (child < 0)
        fail("fork()");
    if (child == 0) {
        if (setns(net_ns_, CLONE_NEWNET) != 0 || setns(mnt_ns_, CLONE_NEWNS) != 0 || chdir("/") != 0)
            _exit(126);
        char output[512];
        snprintf(output, sizeof output, "%s%d", output_template.c_str(), getpid());
        int out = open(output, O_CREAT | O_WRONLY | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(126);
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    started_.push_back(child);
    return child;
}

int TestBox::in_mounts(const std::function<int()>& work) const {
    pid_t child = fork();
    if (child < 0)
        fail("fork()");
    if (child == 0) {
        if (setns(mnt_ns_, CLONE_NEWNS) != 0 || chdir("/") != 0)
            _exit(255);
        _exit(work() & 0xFF);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}

fs::path TestBox::overlay(const std::string& dir) {
    std::string name = dir;
    std::replace(name.begin(), name.end(), '/', '_');
    const fs::path upper = dir_ / ("overlay" + name);
    const fs::path work = dir_ / ("overlay" + name + ".work");
    fs::create_directories(upper);
    fs::create_directories(work);
    const std::string options = "lowerdir=" + dir + ",upperdir=" + upper.string() + ",workdir=" + work.string();
    if (in_mounts([&] { return mount("overlay", dir.c_str(), "overlay", 0, options.c_str()) == 0 ? 0 : 1; }) != 0)
        throw std::runtime_error("overlay over " + dir + " in the test box failed");
    return upper;
}

std::optional<Exit> TestBox::wait_exit(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t result = waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            if (WIFEXITED(status))
                return Exit{true, WEXITSTATUS(status)};
            return Exit{false, WTERMSIG(status)};
        }
        // ECHILD: a detaching daemon is not ours until its parent is gone.
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(2ms);
    }
}

std::string TestBox::output(pid_t started) const {
    return read_file(dir_ / ("output." + std::to_string(started)));
}

std::optional<pid_t> TestBox::daemon_pid(std::chrono::milliseconds timeout, const std::string& pid_file) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        std::string text = read_file(run_path(pid_file));
        if (!text.empty() && text.back() == '\n')
            return static_cast<pid_t>(std::stol(text));
        std::this_thread::sleep_for(2ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

fs::path TestBox::run_path(const std::string& name) const { return dir_ / "run" / name; }

std::string TestBox::control(const std::string& line) const {
    int sd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", run_path("telvad-sim.sock").c_str());
    if (sd < 0 || connect(sd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (sd >= 0)
            close(sd);
        return "error: no control socket";
    }
    const std::string request = line + "\n";
    [[maybe_unused]] ssize_t sent = send(sd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char chunk[4096];
    for (;;) {
        pollfd wait = {sd, POLLIN, 0};
        if (poll(&wait, 1, 5000) != 1)
            break;
        ssize_t length = recv(sd, chunk, sizeof chunk, 0);
        if (length <= 0)
            break;
        answer.append(chunk, static_cast<size_t>(length));
        // Complete once the last line is the verdict.
        const size_t last = answer.rfind('\n', answer.size() >= 2 ? answer.size() - 2 : 0);
        const std::string verdict = answer.substr(last == std::string::npos ? 0 : last + 1);
        if (answer.back() == '\n' && (verdict.starts_with("ok") || verdict.starts_with("error: ")))
            break;
    }
    close(sd);
    return answer;
}

void TestBox::read_log() {
    char datagram[8193];
    for (;;) {
        pollfd fds[2] = {{log_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents != 0)
            return;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        ssize_t length = recv(log_fd_, datagram, sizeof datagram - 1, 0);
        if (length <= 0)
            continue;
        std::string raw(datagram, static_cast<size_t>(length));
        // "<30>Dec  8 03:13:28 telvad[123]: text"
        LogLine line;
        size_t close_angle = raw.find('>');
        if (raw.starts_with("<") && close_angle != std::string::npos)
            line.priority = std::stoi(raw.substr(1, close_angle - 1));
        size_t tag_end = raw.find("]: ");
        size_t open_bracket = tag_end == std::string::npos ? std::string::npos : raw.rfind('[', tag_end);
        if (open_bracket != std::string::npos) {
            size_t ident_start = raw.rfind(' ', open_bracket);
            ident_start = ident_start == std::string::npos ? 0 : ident_start + 1;
            line.ident = raw.substr(ident_start, open_bracket - ident_start);
            line.pid = static_cast<pid_t>(std::stol(raw.substr(open_bracket + 1, tag_end - open_bracket - 1)));
            line.text = raw.substr(tag_end + 3);
        } else {
            line.text = raw;
        }
        std::lock_guard lock(mutex_);
        log_.push_back(std::move(line));
        log_changed_.notify_all();
    }
}

std::vector<LogLine> TestBox::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

size_t TestBox::count_log(std::string_view text) const {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const LogLine& line : log_)
        count += line.text.find(text) != std::string::npos;
    return count;
}

bool TestBox::wait_for_log(std::string_view text, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return log_changed_.wait_for(lock, timeout, [&] {
        for (const LogLine& line : log_) {
            if (line.text.find(text) != std::string::npos)
                return true;
        }
        return false;
    });
}

int TestBox::socket(int domain, int type, int protocol) const {
    return socket_in(net_ns_, domain, type, protocol);
}

int TestBox::peer_socket(int domain, int type, int protocol) const {
    return socket_in(peer_ns_, domain, type, protocol);
}

int TestBox::run_in_box(const std::vector<std::string>& ip_args) const { return run_ip_in(net_ns_, ip_args); }

int TestBox::run_in_peer(const std::vector<std::string>& ip_args) const { return run_ip_in(peer_ns_, ip_args); }

int TestBox::run_ip_in(int netns, const std::vector<std::string>& ip_args) const {
    // The command runs from a thread that has joined the namespace; fork()
    // copies only that thread.
    int status = -1;
    std::thread([&] {
        if (setns(netns, CLONE_NEWNET) == 0)
            status = run_ip(0, ip_args);
    }).join();
    return status;
}

int TestBox::socket_in(int netns, int domain, int type, int protocol) const {
    // setns() changes only the calling thread: a short-lived one keeps the
    // test's own threads where they are.
    int sd = -1;
    int error = 0;
    std::thread([&] {
        if (setns(netns, CLONE_NEWNET) != 0) {
            error = errno;
            return;
        }
        sd = ::socket(domain, type, protocol);
        error = errno;
    }).join();
    if (sd < 0) {
        errno = error;
        fail("socket() in the test box");
    }
    return sd;
}

std::string TestBox::proc_net(pid_t pid, const std::string& table) const {
    return read_file("/proc/" + std::to_string(pid) + "/net/" + table);
}

bool TestBox::tcp_listening(pid_t pid, uint16_t port) const {
    return table_has(proc_net(pid, "tcp"), port, tcp_state_listen);
}

bool TestBox::in_main_loop(pid_t pid) const {
    // The first field of /proc/<pid>/syscall is the number of the call the
    // main thread is blocked in.
    const std::string call = read_file("/proc/" + std::to_string(pid) + "/syscall");
    const long number = call.empty() ? -1 : strtol(call.c_str(), nullptr, 10);
    return number == SYS_select || number == SYS_pselect6;
}

bool TestBox::udp_bound(pid_t pid, uint16_t port) const { return table_has(proc_net(pid, "udp"), port, -1); }

void TestBox::kill_remaining() {
    struct stat box_ns = {};
    if (net_ns_ < 0 || fstat(net_ns_, &box_ns) != 0)
        return;
    const std::string box_link = "net:[" + std::to_string(box_ns.st_ino) + "]";
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    for (;;) {
        bool found = false;
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            char link[64] = {};
            if (readlink((entry.path() / "ns" / "net").c_str(), link, sizeof link - 1) <= 0 || box_link != link)
                continue;
            found = true;
            kill(std::stoi(name), SIGKILL);
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (!found || std::chrono::steady_clock::now() > deadline)
            return;
        std::this_thread::sleep_for(5ms);
    }
}

void TestBox::report_sanitizer_logs() const {
    for (const auto& entry : fs::directory_iterator(dir_ / "reports"))
        ADD_FAILURE() << "sanitizer report " << entry.path().filename() << ":\n" << read_file(entry.path());
}

}  // namespace harness
