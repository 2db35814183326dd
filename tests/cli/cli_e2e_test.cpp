// telvad-cli installed set-user-id root in a test box, run as root, as the
// web server (uid 33) and as another user, with stub programs first on the
// fixed search path: each logs its argument vector to /run/stub.log and
// exits with the status in /run/fail-NAME (or /run/fail-NAME-FIRSTARG)
// when that file exists.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/harness/test_box.h"

namespace {

namespace fs = std::filesystem;
using harness::eventually;
using namespace std::chrono_literals;

const char kStub[] = R"(#!/bin/sh
name=${0##*/}
if [ $# -gt 0 ]; then echo "$name $*" >> /run/stub.log; else echo "$name" >> /run/stub.log; fi
case "$name" in
  iwlist) echo "wlan0     Scan completed";;
  resolvconf) echo "nameserver 192.168.1.1";;
  tar) mode=$(cat /run/tar-mode 2>/dev/null)
       [ -n "$mode" ] && mkdir -p /tmp/update
       [ "$mode" = script ] && printf '#!/bin/sh\necho update.sh >> /run/stub.log\nexit $(cat /run/fail-update.sh 2>/dev/null || echo 0)\n' > /tmp/update/update.sh
       [ "$mode" = link ] && ln -s /etc/hostname /tmp/update/update.sh
       [ "$mode" = hardlink ] && echo x > /tmp/victim && ln /tmp/victim /tmp/update/update.sh;;
esac
[ -f /run/fail-$name ] && exit $(cat /run/fail-$name)
[ -f "/run/fail-$name-$1" ] && exit $(cat "/run/fail-$name-$1")
exit 0
)";
const char* const kStubs[] = {"write-enable", "write-disable", "systemctl", "netctl", "ip", "iwlist",
                              "hostnamectl", "resolvconf", "sync", "reboot", "tar"};

const std::string kEth0 =
    "Description='Wired'\nInterface=eth0\nConnection=ethernet\nIP=static\nAddress=('192.168.1.23/24')\n"
    "Gateway='192.168.1.1'\nDNS=('192.168.1.1')\n";
const std::string kStatic =
    "Description='Wi-Fi, static'\nInterface=wlan0\nConnection=wireless\nSecurity=wpa\nESSID='Home'\n"
    "Key='WirelessKey'\nIP=static\nAddress=('192.168.2.23/24')\n#Gateway='192.168.2.1'\n#DNS=('192.168.2.1')\n";
const std::string kDhcp =
    "Description='Wi-Fi, DHCP'\nInterface=wlan0\nConnection=wireless\nSecurity=wpa\nESSID='Home'\n"
    "Key='WirelessKey'\nIP=dhcp";
const std::string kConfig =
    "lock = /run/telvad.pid\nverbosity = err\ndc_port = 48900\nas_port = 48899\nserial_port_a = 49000\n"
    "serial_port_b = 49001\nalpaca_enabled = 0\n";
const std::map<std::string, std::string> kFiles = {{"/etc/netctl/eth0", kEth0},
                                                   {"/etc/netctl/wlan0.static", kStatic},
                                                   {"/etc/netctl/wlan0.dhcp", kDhcp},
                                                   {"/etc/telvad.conf", kConfig}};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string lines(const std::vector<std::string>& list) {
    std::string out;
    for (const std::string& line : list)
        out += line + "\n";
    return out;
}

std::string read_host_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

struct Outcome {
    int status = -1;
    std::string output;
    std::string log;
};

class CliBox {
public:
    CliBox() {
        const fs::path sbin = box_.overlay("/usr/local/sbin");
        for (const char* name : kStubs) {
            std::ofstream(sbin / name) << kStub;
            fs::permissions(sbin / name, fs::perms(0755));
        }
        fs::copy_file(TELVAD_CLI_BINARY, sbin / "telvad-cli");
        chmod((sbin / "telvad-cli").c_str(), 04755);
        // A private /tmp, with the box's own directory (under the host's
        // /tmp) put back in it.
        const std::string dir = sbin.parent_path().string();
        EXPECT_EQ(box_.in_mounts([&] {
            int keep = open(dir.c_str(), O_PATH | O_CLOEXEC);
            char source[64];
            snprintf(source, sizeof source, "/proc/self/fd/%d", keep);
            return keep >= 0 && mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0 && mkdir(dir.c_str(), 0755) == 0 &&
                           mount(source, dir.c_str(), nullptr, MS_BIND, nullptr) == 0 && mkdir("/etc/netctl", 0755) == 0
                       ? 0
                       : 1;
        }), 0);
    }

    // Writes a file in the box (as `owner`), or removes it when `contents`
    // is null.
    void put(const std::string& path, const std::string* contents, uid_t owner = 0, mode_t mode = 0644) {
        ASSERT_EQ(box_.in_mounts([&] {
            unlink(path.c_str());
            if (contents == nullptr)
                return 0;
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
            bool ok = fd >= 0 && write(fd, contents->data(), contents->size()) == ssize_t(contents->size()) &&
                      fchown(fd, owner, owner) == 0 && fchmod(fd, mode) == 0;
            return close(fd) == 0 && ok ? 0 : 1;
        }), 0) << path;
    }
    void put(const std::string& path, const std::string& contents, uid_t owner = 0, mode_t mode = 0644) {
        put(path, &contents, owner, mode);
    }
    // A file's bytes in the box, or "(none)".
    std::string get(const std::string& path) {
        int pipe_fds[2];
        EXPECT_EQ(pipe(pipe_fds), 0);
        box_.in_mounts([&] {
            close(pipe_fds[0]);
            int fd = open(path.c_str(), O_RDONLY);
            if (fd < 0)
                return write(pipe_fds[1], "(none)", 6) == 6 ? 0 : 1;
            char buffer[4096];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
                if (write(pipe_fds[1], buffer, size_t(n)) != n)
                    return 1;
            return 0;
        });
        close(pipe_fds[1]);
        std::string contents;
        char buffer[4096];
        for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;)
            contents.append(buffer, size_t(n));
        close(pipe_fds[0]);
        return contents;
    }
    int in_mounts(const std::function<int()>& work) { return box_.in_mounts(work); }
    harness::TestBox& box() { return box_; }

    void reset_files() {
        for (const auto& [path, contents] : kFiles)
            put(path, contents);
        for (const auto& entry : fs::directory_iterator(box_.run_path("")))
            if (entry.path().filename().string().rfind("fail-", 0) == 0)
                fs::remove(entry.path());
    }
    // The stub `name` exits with `status` from now on.
    void fail(const std::string& name, int status) {
        std::ofstream(box_.run_path("fail-" + name)) << status;
    }

    // Runs the tool (or `argv` as given when its first word is a path) and
    // waits for the "write-disable" runs it leaves behind at exit.
    Outcome run(std::vector<std::string> argv, uid_t uid = 0) {
        std::ofstream(box_.run_path("stub.log"), std::ios::trunc).flush();
        if (argv.empty() || argv[0].front() != '/')
            argv.insert(argv.begin(), "/usr/local/sbin/telvad-cli");
        const pid_t pid = box_.start_command(argv, uid);
        const auto exit = box_.wait_exit(pid, 10s);
        Outcome outcome;
        EXPECT_TRUE(exit && exit->exited) << argv[1];
        outcome.status = exit ? exit->status : -1;
        outcome.output = box_.output(pid);
        EXPECT_TRUE(eventually([&] {
            outcome.log = read_host_file(box_.run_path("stub.log"));
            size_t enables = 0, disables = 0;
            for (size_t at = 0; (at = outcome.log.find("write-enable", at)) != std::string::npos; ++at)
                ++enables;
            for (size_t at = 0; (at = outcome.log.find("write-disable", at)) != std::string::npos; ++at)
                ++disables;
            return enables == disables;
        }));
        return outcome;
    }

private:
    harness::TestBox box_{std::nullopt};
};

struct Row {
    std::vector<std::string> args;
    uid_t uid;
    std::string fail;  // a stub that fails with status 3
    int status;
    std::string output;
    std::vector<std::string> log;
    std::map<std::string, std::string> changed;
};

const std::vector<std::string> kStopWifi = {
    "write-enable", "netctl stop wlan0.static", "netctl disable wlan0.static", "netctl stop wlan0.dhcp",
    "netctl disable wlan0.dhcp", "ip link set wlan0 down", "ip addr flush dev wlan0",
    "ip route add default dev eth0 via 192.168.1.1", "resolvconf -l eth0"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(CliTool, EveryOperationRunsItsProgramsAndEditsItsFiles) {
    CliBox cli;
    const std::string usage_head = "usage:\t/usr/local/sbin/telvad-cli <operation> [parameter]\noperations:\n";
    const std::string count_error =
        "/usr/local/sbin/telvad-cli: invalid number of options\nTry '/usr/local/sbin/telvad-cli help' for more information\n";
    const std::vector<std::string> enable = {"write-enable"}, disable = {"write-disable"};
    const std::string static_gw = replaced(kStatic, "#Gateway='192.168.2.1'", "Gateway='10.1.2.254'");
    const Row rows[] = {
        {{"restart", "daemon"}, 0, "", 0, "", {"systemctl restart telvad"}, {}},
        {{"restart", "daemon"}, 0, "systemctl", 3, "systemctl failed: Success\n", {"systemctl restart telvad"}, {}},
        {{"restart", "net"}, 0, "", 0, "", {"netctl restart eth0", "systemctl reload lighttpd"}, {}},
        {{"restart", "net"}, 0, "netctl", 1, "netctl failed: Success\n", {"netctl restart eth0"}, {}},
        {{"restart", "net"}, 0, "systemctl", 3, "systemctl failed: Success\n", {"netctl restart eth0", "systemctl reload lighttpd"}, {}},
        {{"restart", "all"}, 0, "", 1, "/usr/local/sbin/telvad-cli: unknown option: restart\nTry '/usr/local/sbin/telvad-cli help' for more information\n", {}, {}},
        {{"restart"}, 0, "", 1, count_error, {}, {}},
        {{}, 0, "", 1, count_error, {}, {}},
        {{"help", "a", "b", "c", "d"}, 0, "", 1, count_error, {}, {}},
        {{"version"}, 1000, "", 0, "61-astro\n", {}, {}},
        {{"setipnm", "eth", "10.1.2.3/16"}, 0, "", 0, "", enable + disable,
         {{"/etc/netctl/eth0", replaced(kEth0, "192.168.1.23/24", "10.1.2.3/16")}}},
        {{"setgw", "wifi", "10.1.2.254"}, 33, "", 0, "", enable + disable, {{"/etc/netctl/wlan0.static", static_gw}}},
        {{"setgw", "eth", "10.1.2.254"}, 1000, "", 1, "bad uid\n", {}, {}},
        {{"setdns", "eth", "fd00::53"}, 0, "", 0, "", enable + disable,
         {{"/etc/netctl/eth0", replaced(kEth0, "DNS=('192.168.1.1')", "DNS=('fd00::53')")}}},
        {{"setdns", "wifi", "1.1.1.1"}, 0, "write-enable", 1, "write-enable: Success\n", enable + disable, {}},
        {{"comment", "gw", "eth"}, 33, "", 0, "", enable + disable,
         {{"/etc/netctl/eth0", replaced(kEth0, "Gateway=", "#Gateway=")}}},
        {{"comment", "dns", "wifi"}, 0, "", 0, "", enable + disable, {}},
        {{"setport", "4000"}, 0, "", 0, "", enable + disable,
         {{"/etc/telvad.conf", replaced(kConfig, "as_port = 48899", "as_port = 4000")}}},
        {{"setsport", "b", "50001"}, 33, "", 0, "", enable + disable,
         {{"/etc/telvad.conf", replaced(kConfig, "serial_port_b = 49001", "serial_port_b = 50001")}}},
        {{"setsport", "c", "50001"}, 0, "", 1, "wrong serial position\n", {}, {}},
        {{"setalpen", "1"}, 0, "", 0, "", enable + disable,
         {{"/etc/telvad.conf", replaced(kConfig, "alpaca_enabled = 0", "alpaca_enabled = 1")}}},
        {{"sethn", "box-2.lan"}, 0, "", 0, "", enable + std::vector<std::string>{"hostnamectl set-hostname box-2.lan"} + disable, {}},
        {{"sethn", "box-2"}, 0, "hostnamectl", 3, "hostnamectl failed: Success\n",
         enable + std::vector<std::string>{"hostnamectl set-hostname box-2"} + disable, {}},
        {{"setssid", "Guest Net"}, 0, "", 0, "", enable + disable,
         {{"/etc/netctl/wlan0.static", replaced(kStatic, "'Home'", "'Guest Net'")},
          {"/etc/netctl/wlan0.dhcp", replaced(kDhcp, "'Home'", "'Guest Net'")}}},
        {{"setpw", ""}, 0, "", 0, "", enable + disable,
         {{"/etc/netctl/wlan0.static", replaced(kStatic, "WirelessKey", "lanternfish")},
          {"/etc/netctl/wlan0.dhcp", replaced(kDhcp, "WirelessKey", "lanternfish")}}},
        {{"setsec", "wep"}, 0, "", 0, "", enable + disable,
         {{"/etc/netctl/wlan0.static", replaced(kStatic, "=wpa", "=wep")},
          {"/etc/netctl/wlan0.dhcp", replaced(kDhcp, "=wpa", "=wep")}}},
        {{"start-wifi", "static"}, 33, "", 0, "",
         enable + kStopWifi + std::vector<std::string>{"ip route del default dev eth0", "netctl enable wlan0.static",
                                                       "netctl start wlan0.static"} + disable + disable, {}},
        {{"start-wifi", "dhcp"}, 0, "ip", 1, "ip link failed: Success\nip addr failed: Success\nstop_and_disable_wifi failed: Success\n",
         enable + kStopWifi + disable + disable, {}},
        {{"start-wifi", "dhcp"}, 0, "netctl-enable", 0, "netctl failed: Success\n",
         enable + kStopWifi + std::vector<std::string>{"ip route del default dev eth0", "netctl enable wlan0.dhcp",
                                                       "netctl start wlan0.dhcp"} + disable + disable, {}},
        {{"start-wifi", "dhcp"}, 0, "netctl-start", 3, "netctl failed: Success\n",
         enable + kStopWifi + std::vector<std::string>{"ip route del default dev eth0", "netctl enable wlan0.dhcp",
                                                       "netctl start wlan0.dhcp"} + disable + disable, {}},
        {{"start-wifi", "dhcp"}, 0, "ip-route", 0, "ip failed: Success\n",
         enable + kStopWifi + std::vector<std::string>{"ip route del default dev eth0", "netctl enable wlan0.dhcp",
                                                       "netctl start wlan0.dhcp"} + disable + disable, {}},
        {{"stop-wifi"}, 0, "", 0, "", kStopWifi + disable, {}},
        {{"stop-wifi"}, 0, "netctl", 3, "netctl failed: Success\nstop_and_disable_wifi failed: Success\n",
         {"write-enable", "netctl stop wlan0.static", "write-disable"}, {}},
        {{"scan-wifi"}, 0, "", 0, "wlan0     Scan completed\n", {"write-enable", "ip link set wlan0 up", "iwlist wlan0 scan", "write-disable"}, {}},
        {{"scan-wifi"}, 0, "iwlist", 3, "wlan0     Scan completed\niwlist failed: Success\n",
         {"write-enable", "ip link set wlan0 up", "iwlist wlan0 scan", "write-disable"}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.empty() ? "(none)" : row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : ""));
        cli.reset_files();
        if (!row.fail.empty())
            cli.fail(row.fail, 3);
        const Outcome outcome = cli.run(row.args, row.uid);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_EQ(outcome.output, row.output);
        EXPECT_EQ(outcome.log, lines(row.log));
        for (const auto& [path, contents] : kFiles) {
            const auto changed = row.changed.find(path);
            EXPECT_EQ(cli.get(path), changed == row.changed.end() ? contents : changed->second) << path;
            EXPECT_EQ(cli.get(path + ".new"), "(none)");
        }
    }
    // The wired profile's gateway reaches the route, the resolver list its file.
    EXPECT_EQ(cli.get("/tmp/dhcpcd.resolv.conf"), "nameserver 192.168.1.1\n");

    // help and build are open to everyone.
    Outcome help = cli.run({"help"}, 1000);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.substr(0, usage_head.size()), usage_head);
    EXPECT_EQ(std::count(help.output.begin(), help.output.end(), '\n'), 21);
    Outcome build = cli.run({"build"}, 1000);
    EXPECT_EQ(build.output.substr(0, 6), "Date: ");
    EXPECT_EQ(build.output.substr(build.output.size() - 10), ", Release\n");

    // A profile that cannot be read ends the edit after the first profile;
    // one that cannot be renamed over stays as it was.
    cli.reset_files();
    cli.put("/etc/netctl/wlan0.dhcp", nullptr);
    Outcome missing = cli.run({"setssid", "Other"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, "open(/etc/netctl/wlan0.dhcp) failed: No such file or directory\nsed failed: No such file or directory\n");
    EXPECT_EQ(cli.get("/etc/netctl/wlan0.static"), kStatic);  // the uncomment pass found nothing to change
    cli.reset_files();
    ASSERT_EQ(cli.in_mounts([] { return mount("/etc/netctl/eth0", "/etc/netctl/eth0", nullptr, MS_BIND, nullptr); }), 0);
    Outcome busy = cli.run({"setgw", "eth", "10.0.0.1"});
    EXPECT_EQ(busy.status, 1);
    EXPECT_EQ(busy.output, "rename(/etc/netctl/eth0.new) failed: Device or resource busy\nmv failed: Device or resource busy\n");
    EXPECT_EQ(cli.get("/etc/netctl/eth0"), kEth0);
    EXPECT_EQ(cli.get("/etc/netctl/eth0.new"), "(none)");
    ASSERT_EQ(cli.in_mounts([] { return umount("/etc/netctl/eth0"); }), 0);

    // An edit keeps the file's mode and owner.
    cli.put("/etc/netctl/eth0", kEth0, 33, 0640);
    EXPECT_EQ(cli.run({"setgw", "eth", "10.0.0.9"}).status, 0);
    EXPECT_EQ(cli.in_mounts([] {
        struct stat st;
        return stat("/etc/netctl/eth0", &st) == 0 && (st.st_mode & 07777) == 0640 && st.st_uid == 33 ? 0 : 1;
    }), 0);

    // A full file system: the original stays, nothing half-written is left.
    ASSERT_EQ(cli.in_mounts([] { return mount("tmpfs", "/etc/netctl", "tmpfs", 0, "size=16k"); }), 0);
    cli.put("/etc/netctl/eth0", kEth0);
    cli.in_mounts([] {
        int fd = open("/etc/netctl/filler", O_WRONLY | O_CREAT, 0644);
        static char block[4096];
        while (write(fd, block, sizeof block) > 0) {
        }
        return close(fd);
    });
    Outcome full = cli.run({"setgw", "eth", "10.9.9.9"});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.output, "write(/etc/netctl/eth0.new) failed: No space left on device\nsed failed: No space left on device\n");
    EXPECT_EQ(cli.get("/etc/netctl/eth0"), kEth0);
    EXPECT_EQ(cli.get("/etc/netctl/eth0.new"), "(none)");
    cli.in_mounts([] { return umount("/etc/netctl"); });
}

TEST(CliTool, HostileArgumentsChangeNothingAndRunNothing) {
    CliBox cli;
    cli.reset_files();
    const std::string long_value(10000, '1');
    const std::vector<std::string> hostile = {"; reboot", "$(id)", "`id`", "'", "a\nb", "../../etc/shadow",
                                              long_value, "\xff\xfe"};
    const std::vector<std::vector<std::string>> operations = {
        {"setipnm", "eth", "X"}, {"setipnm", "X", "10.0.0.1/24"}, {"setgw", "wifi", "X"}, {"setgw", "X", "10.0.0.1"},
        {"setdns", "eth", "X"},  {"comment", "X", "eth"},        {"comment", "gw", "X"},  {"setport", "X"},
        {"setsport", "a", "X"},  {"setsport", "X", "1"},         {"setalpen", "X"},       {"sethn", "X"},
        {"setssid", "X"},        {"setpw", "X"},                 {"setsec", "X"},         {"start-wifi", "X"},
        {"restart", "X"},        {"X"}};
    for (const auto& operation : operations) {
        for (const std::string& value : hostile) {
            std::vector<std::string> args = operation;
            std::replace(args.begin(), args.end(), std::string("X"), value);
            SCOPED_TRACE(operation[0] + " with " + value.substr(0, 20));
            const Outcome outcome = cli.run(args, 33);
            EXPECT_EQ(outcome.status, 1);
            EXPECT_NE(outcome.output, "");
            EXPECT_EQ(outcome.log, "");
        }
    }
    for (const auto& [path, contents] : kFiles)
        EXPECT_EQ(cli.get(path), contents) << path;

    // The caller's PATH and environment reach nothing.
    const std::string evil = "#!/bin/sh\necho EVIL >> /run/stub.log\n";
    ASSERT_EQ(cli.in_mounts([] { return mkdir("/tmp/evil", 0777); }), 0);
    cli.put("/tmp/evil/systemctl", evil, 33, 0755);
    for (uid_t uid : {0u, 33u}) {
        const Outcome outcome = cli.run(
            {"/usr/bin/env", "PATH=/tmp/evil:/usr/bin:/bin", "/usr/local/sbin/telvad-cli", "restart", "daemon"}, uid);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.log, "systemctl restart telvad\n");
    }
}

TEST(CliTool, UpdateAndFactoryReset) {
    CliBox cli;
    using Lines = std::vector<std::string>;
    const std::string archive = "/tmp/telvad.tar.xz";
    const Lines tar = {"write-enable", "tar xJf /tmp/telvad.tar.xz -V cvx --no-same-owner -C /tmp"};
    const Lines restarts = {"systemctl restart telvad", "systemctl restart systemd-udevd", "systemctl restart lineward",
                            "systemctl restart telvad-factory", "write-disable"};
    const std::string refused =
        "/usr/local/sbin/telvad-cli: refused update archive /tmp/telvad.tar.xz: not a file of root or of the caller\n";
    struct UpdateCase {
        uid_t archive_owner, caller;  // archive_owner -1: the archive is a link
        std::string fail, tar_mode;
        int status;
        std::string output;
        Lines log;
    };
    const UpdateCase cases[] = {
        {0, 33, "", "script", 0, "", tar + Lines{"update.sh"} + restarts},
        {33, 33, "", "script", 0, "", tar + Lines{"update.sh"} + restarts},
        {1000, 0, "", "script", 100, refused, {}},
        {1000, 33, "", "script", 100, refused, {}},
        {uid_t(-1), 0, "", "script", 100, refused, {}},
        {0, 0, "tar", "script", 100, "tar failed: No such process\n", tar + Lines{"write-disable"}},
        {0, 0, "", "link", 101, "/usr/local/sbin/telvad-cli: refused /tmp/update/update.sh: not a plain file\n",
         tar + Lines{"write-disable"}},
        {0, 0, "", "hardlink", 101, "/usr/local/sbin/telvad-cli: refused /tmp/update/update.sh: not a plain file\n",
         tar + Lines{"write-disable"}},
        {0, 0, "update.sh", "script", 3, "Update failed: 3\n", tar + Lines{"update.sh", "write-disable"}},
        {0, 0, "systemctl", "script", 3, "systemctl failed: Success\n", tar + Lines{"update.sh"} + restarts},
    };
    std::ofstream(cli.box().run_path("victim")) << "kept\n";
    for (const UpdateCase& c : cases) {
        SCOPED_TRACE(c.output);
        cli.reset_files();
        std::ofstream(cli.box().run_path("tar-mode"), std::ios::trunc) << c.tar_mode;
        if (c.archive_owner == uid_t(-1))
            ASSERT_EQ(cli.in_mounts([] { return symlink("/etc/hostname", "/tmp/telvad.tar.xz"); }), 0);
        else
            cli.put(archive, "archive", c.archive_owner);
        // A stale /tmp/update holding a link out of it: the link goes, its
        // target stays.
        ASSERT_EQ(cli.in_mounts([] {
            return mkdir("/tmp/update", 0777) == 0 && symlink("/run/victim", "/tmp/update/victim") == 0 ? 0 : 1;
        }), 0);
        if (!c.fail.empty())
            cli.fail(c.fail, 3);
        const Outcome outcome = cli.run({"update"}, c.caller);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.output, c.output);
        EXPECT_EQ(outcome.log, lines(c.log));
        EXPECT_EQ(read_host_file(cli.box().run_path("victim")), "kept\n");
        if (c.status == 0) {
            EXPECT_EQ(cli.get(archive), "(none)");
            EXPECT_EQ(cli.get("/tmp/update/update.sh"), "(none)");
            EXPECT_EQ(cli.get("/tmp/errors").substr(0, 17), "Update succesful\n");
        }
        cli.box().wait_exit(cli.box().start_command({"/bin/rm", "-rf", "/tmp/update", archive}), 5s);
    }

    // Factory reset: the saved profiles come back, the configuration gets
    // exactly its seven default lines.
    const Lines stops = {"write-enable", "netctl stop eth0", "netctl stop wlan0.static", "netctl stop wlan0.dhcp",
                         "netctl disable wlan0.static", "netctl disable wlan0.dhcp"};
    const Lines start = {"netctl start eth0", "resolvconf -l eth0", "systemctl reload lighttpd"};
    struct ResetCase {
        std::string fail, missing;
        int status;
        std::string output;
        Lines log;
    };
    const ResetCase resets[] = {
        {"", "", 0, "", stops + start + Lines{"sync", "reboot", "write-disable"}},
        {"netctl", "", 1, "netctl failed: Success\n", stops + Lines{"netctl start eth0", "write-disable"}},
        {"systemctl", "", 1, "systemctl failed: Success\n", stops + start + Lines{"write-disable"}},
        {"", "/etc/netctl/wlan0.static.bak", 1,
         "open(/etc/netctl/wlan0.static.bak) failed: No such file or directory\ncp failed: No such file or directory\n",
         stops + Lines{"write-disable"}},
    };
    for (const ResetCase& c : resets) {
        SCOPED_TRACE(c.output);
        cli.reset_files();
        for (const char* name : {"eth0", "wlan0.static", "wlan0.dhcp"})
            cli.put(std::string("/etc/netctl/") + name + ".bak", std::string("saved ") + name + "\n", 0, 0600);
        if (!c.missing.empty())
            cli.put(c.missing, nullptr);
        cli.put("/etc/telvad.conf", "as_port = 1\n");
        if (!c.fail.empty())
            cli.fail(c.fail, 3);
        const Outcome outcome = cli.run({"factory-reset"}, 33);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.output, c.output);
        EXPECT_EQ(outcome.log, lines(c.log));
        EXPECT_EQ(cli.get("/etc/netctl/wlan0.dhcp"), c.missing.empty() ? "saved wlan0.dhcp\n" : kDhcp);
        EXPECT_EQ(cli.get("/etc/telvad.conf"), c.status == 0 ? kConfig : "as_port = 1\n");
    }
}

}  // namespace
