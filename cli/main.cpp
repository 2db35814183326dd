// telvad-cli: the box's one privileged way to change its network profiles,
// ports, host name and Wi-Fi, to restart its services, to install an update
// and to reset to factory settings. Installed set-user-id root and run by
// the web server (uid 33) and by lineward, so every value is checked before
// anything changes, programs run from an argument vector on a fixed search
// path, and the file edits are made here, never by a shell.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "cli/file_ops.h"
#include "cli/profile_edit.h"
#include "cli/validate.h"
#include "common/run_program.h"
#include "common/unique_fd.h"

namespace {

constexpr int kVersion = 61;
constexpr uid_t kWebServerUid = 33;
constexpr const char kConfigPath[] = "/etc/telvad.conf";
constexpr const char kNetctlDir[] = "/etc/netctl";
constexpr const char kArchive[] = "/tmp/telvad.tar.xz";
constexpr const char kUpdateDir[] = "/tmp/update";
constexpr const char kUpdateScript[] = "/tmp/update/update.sh";
constexpr const char kResolvConf[] = "/tmp/dhcpcd.resolv.conf";
constexpr const char kDefaultKey[] = "lanternfish";
constexpr const char kFactoryConfig[] =
    "lock = /run/telvad.pid\n"
    "verbosity = err\n"
    "dc_port = 48900\n"
    "as_port = 48899\n"
    "serial_port_a = 49000\n"
    "serial_port_b = 49001\n"
    "alpaca_enabled = 0\n";

const char* program = "telvad-cli";
uid_t caller = 0;
// How many times "write-enable" ran: "write-disable" runs as often at exit.
int write_enables = 0;

void write_disable_at_exit() {
    for (int i = 0; i < write_enables; ++i)
        run_program(ProgramRun{{"write-disable"}, "", false});
}

const char* error_text() { return strerror(errno); }

// Runs a program and gives its exit code; one that could not be started
// counts as 127, like a shell's "not found", with errno telling why.
int run(std::vector<std::string> argv, std::string output_path = "") {
    errno = 0;
    const int code = run_program(ProgramRun{std::move(argv), std::move(output_path), true});
    if (code == kNotStarted)
        return 127;
    errno = 0;  // it ran: its own status tells how it went
    return code;
}

[[noreturn]] void count_error() {
    fprintf(stderr, "%s: invalid number of options\n", program);
    fprintf(stderr, "Try '%s help' for more information\n", program);
    exit(1);
}

[[noreturn]] void unknown_option(const char* operation) {
    fprintf(stderr, "%s: unknown option: %s\n", program, cli::shown(operation).c_str());
    fprintf(stderr, "Try '%s help' for more information\n", program);
    exit(1);
}

[[noreturn]] void refuse(const char* what, const std::string& value) {
    fprintf(stderr, "%s: invalid %s: %s\n", program, what, cli::shown(value).c_str());
    exit(1);
}

void make_writable() {
    if (write_enables++ == 0)
        atexit(write_disable_at_exit);
    if (run({"write-enable"}) != 0) {
        fprintf(stderr, "write-enable: %s\n", error_text());
        exit(1);
    }
}

void usage() {
    const char* p = program;
    fprintf(stderr, "usage:\t%s <operation> [parameter]\n", p);
    fprintf(stderr, "operations:\n");
    fprintf(stderr, "\t%s help\t\t\t\tdisplays this help\n", p);
    fprintf(stderr, "\t%s factory-reset\t\tresets net settings to default state\n", p);
    fprintf(stderr, "\t%s restart (daemon|net)\t\trestarts camera daemon or network interface with httpd\n", p);
    fprintf(stderr, "\t%s update\t\t\truns update script and restarts daemon\n", p);
    fprintf(stderr, "\t%s setipnm (eth|wifi) ipnm\tsets new ip address with netmask\n", p);
    fprintf(stderr, "\t%s setgw (eth|wifi) gateway\tsets new gateway\n", p);
    fprintf(stderr, "\t%s setdns (eth|wifi) dns\tsets new dns address\n", p);
    fprintf(stderr, "\t%s setalpen enabled\t\tenables/disables alpaca server\n", p);
    fprintf(stderr, "\t%s setport port\t\t\tsets new port\n", p);
    fprintf(stderr, "\t%s setsport pos port\t\tsets new serial port\n", p);
    fprintf(stderr, "\t%s sethn hostname\t\tsets new hostname\n", p);
    fprintf(stderr, "\t%s setssid ssid\t\t\tsets new ssid\n", p);
    fprintf(stderr, "\t%s setpw password\t\tsets new password for ssid\n", p);
    fprintf(stderr, "\t%s setsec (none|wep|wpa)\tsets security type for ssid\n", p);
    fprintf(stderr, "\t%s start-wifi (static|dhcp)\tenables and selects chosen profile\n", p);
    fprintf(stderr, "\t%s stop-wifi\t\t\tdisables all wifi profiles\n", p);
    fprintf(stderr, "\t%s scan-wifi\t\t\tpowers up the wifi module and scans for ssids\n", p);
    fprintf(stderr, "\t%s version\t\t\tdisplays daemon version\n", p);
    fprintf(stderr, "\t%s build\t\t\tdisplays daemon build info\n", p);
}

// The profiles a selector word names: "eth" the wired one, "wifi" both
// Wi-Fi profiles; any other word is refused.
std::vector<std::string> profiles(const std::string& selector) {
    if (selector == "eth")
        return {"eth0"};
    if (selector == "wifi")
        return {"wlan0.static", "wlan0.dhcp"};
    refuse("profile selector", selector);
}

// Edits a file as `sed -nr EXPR -e "w FILE.new" FILE && mv FILE.new FILE`
// would, with the messages of those two steps; any failure ends the tool.
void edit_file(const std::string& path, const std::function<std::string(const std::string&)>& edit) {
    std::string text;
    if (!cli::read_file(path, text)) {
        fprintf(stderr, "sed failed: %s\n", error_text());
        exit(1);
    }
    switch (cli::replace_file(path, edit(text))) {
    case cli::Replace::done:
        return;
    case cli::Replace::write_failed:
        fprintf(stderr, "sed failed: %s\n", error_text());
        exit(1);
    case cli::Replace::rename_failed:
        fprintf(stderr, "mv failed: %s\n", error_text());
        exit(1);
    }
}

void edit_profile(const std::string& name, const std::function<std::string(const std::string&)>& edit) {
    edit_file(std::string(kNetctlDir) + "/" + name, edit);
}

[[noreturn]] void set_profile_key(const std::vector<std::string>& names, const char* key, const std::string& value) {
    make_writable();
    for (const std::string& name : names)
        edit_profile(name, [&](const std::string& text) { return cli::uncomment_key(text, key); });
    for (const std::string& name : names)
        edit_profile(name, [&](const std::string& text) { return cli::replace_value(text, key, value); });
    exit(0);
}

[[noreturn]] void set_config_number(const char* key, const std::string& value) {
    make_writable();
    edit_file(kConfigPath, [&](const std::string& text) { return cli::replace_number(text, key, value); });
    exit(0);
}

// Programs write into /tmp as root: a name there that is not a plain file
// of ours (a link, say, planted by another user) is removed first.
void clear_tmp_name(const char* path) {
    struct stat st;
    if (lstat(path, &st) == 0 && (!S_ISREG(st.st_mode) || st.st_uid != 0))
        cli::remove_tree(path);
}

// The gateway of the wired profile: the value of its first "Gateway=" line
// between single quotes; empty when there is none or it is no address.
std::string wired_gateway() {
    std::string text;
    if (!cli::read_file(std::string(kNetctlDir) + "/eth0", text))
        return {};
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("Gateway=", 0) != 0)
            continue;
        const size_t open = line.find('\'');
        const size_t close = open == std::string::npos ? open : line.find('\'', open + 1);
        const std::string gateway = close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
        return cli::is_ipv4(gateway) ? gateway : "";
    }
    return {};
}

// Stops and disables both Wi-Fi profiles and puts the default route back
// on the wire; the result of the address flush, or of the netctl run that
// failed.
int stop_and_disable_wifi() {
    make_writable();
    const std::vector<std::vector<std::string>> netctl_runs = {{"netctl", "stop", "wlan0.static"},
                                                                {"netctl", "disable", "wlan0.static"},
                                                                {"netctl", "stop", "wlan0.dhcp"},
                                                                {"netctl", "disable", "wlan0.dhcp"}};
    for (const auto& argv : netctl_runs) {
        if (int code = run(argv); code != 0) {
            fprintf(stderr, "netctl failed: %s\n", error_text());
            return code;
        }
    }
    if (run({"ip", "link", "set", "wlan0", "down"}) != 0)
        fprintf(stderr, "ip link failed: %s\n", error_text());
    const int flushed = run({"ip", "addr", "flush", "dev", "wlan0"});
    if (flushed != 0)
        fprintf(stderr, "ip addr failed: %s\n", error_text());
    const std::string gateway = wired_gateway();
    if (gateway.empty())
        fprintf(stderr, "no gateway in %s/eth0\n", kNetctlDir);
    else
        run({"ip", "route", "add", "default", "dev", "eth0", "via", gateway});
    clear_tmp_name(kResolvConf);
    run({"resolvconf", "-l", "eth0"}, kResolvConf);
    return flushed;
}

[[noreturn]] void update() {
    struct stat st;
    if (lstat(kArchive, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_uid != 0 && st.st_uid != caller)) {
        fprintf(stderr, "%s: refused update archive %s: not a file of root or of the caller\n", program, kArchive);
        exit(100);
    }
    make_writable();
    if (!cli::remove_tree(kUpdateDir)) {
        fprintf(stderr, "rm failed: %s\n", error_text());
        exit(103);
    }
    if (int code = run({"tar", "xJf", kArchive, "-V", "cvx", "--no-same-owner", "-C", "/tmp"}); code != 0) {
        fprintf(stderr, "tar failed: %s\n", strerror(code));
        exit(100);
    }
    // The unpacked directory must be root's own, and the script a plain
    // file in it, not a link to something else.
    if (lstat(kUpdateDir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022) != 0) {
        fprintf(stderr, "%s: refused %s: not a directory of root's own\n", program, kUpdateDir);
        exit(101);
    }
    {
        UniqueFd script(open(kUpdateScript, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        // A hard link would hand another file's rights to the chown below.
        if (!script || fstat(script.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
            if (errno == ELOOP || script)
                fprintf(stderr, "%s: refused %s: not a plain file\n", program, kUpdateScript);
            else
                fprintf(stderr, "chown failed: %s\n", error_text());
            exit(101);
        }
        if (fchown(script.get(), 0, 0) != 0) {
            fprintf(stderr, "chown failed: %s\n", error_text());
            exit(101);
        }
        if (fchmod(script.get(), 0700) != 0) {
            fprintf(stderr, "chmod failed: %s\n", error_text());
            exit(102);
        }
    }
    if (int code = run({kUpdateScript}); code != 0) {
        fprintf(stderr, "Update failed: %d\n", code);
        exit(code);
    }
    errno = 0;
    if (!cli::remove_tree(kArchive) || !cli::remove_tree(kUpdateDir)) {
        fprintf(stderr, "rm failed: %s\n", error_text());
        exit(103);
    }
    UniqueFd errors(open("/tmp/errors", O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (errors) {
        const char line[] = "Update succesful\n";
        if (write(errors.get(), line, sizeof line - 1) < 0)
            fprintf(stderr, "%s: write(/tmp/errors) failed: %s\n", program, error_text());
    }
    const int restarted = run({"systemctl", "restart", "telvad"});
    if (restarted != 0)
        fprintf(stderr, "systemctl failed: %s\n", error_text());
    run({"systemctl", "restart", "systemd-udevd"});
    run({"systemctl", "restart", "lineward"});
    run({"systemctl", "restart", "telvad-factory"});
    exit(restarted);
}

[[noreturn]] void factory_reset() {
    make_writable();
    run({"netctl", "stop", "eth0"});
    run({"netctl", "stop", "wlan0.static"});
    run({"netctl", "stop", "wlan0.dhcp"});
    run({"netctl", "disable", "wlan0.static"});
    run({"netctl", "disable", "wlan0.dhcp"});
    for (const char* name : {"eth0", "wlan0.static", "wlan0.dhcp"}) {
        const std::string path = std::string(kNetctlDir) + "/" + name;
        std::string text;
        if (!cli::read_file(path + ".bak", text) || cli::replace_file(path, text) != cli::Replace::done) {
            fprintf(stderr, "cp failed: %s\n", error_text());
            exit(1);
        }
    }
    if (run({"netctl", "start", "eth0"}) != 0) {
        fprintf(stderr, "netctl failed: %s\n", error_text());
        exit(1);
    }
    clear_tmp_name(kResolvConf);
    run({"resolvconf", "-l", "eth0"}, kResolvConf);
    if (run({"systemctl", "reload", "lighttpd"}) != 0) {
        fprintf(stderr, "systemctl failed: %s\n", error_text());
        exit(1);
    }
    if (cli::replace_file(kConfigPath, kFactoryConfig) != cli::Replace::done) {
        fprintf(stderr, "echo failed: %s\n", error_text());
        exit(1);
    }
    run({"sync"});
    run({"reboot"});
    exit(0);
}

// The operations. Each gets the whole command line (word 0 is the program)
// and returns the exit status, or ends the process itself.
using Words = std::vector<std::string>;

int restart(const Words& words) {
    if (words[2] == "daemon") {
        const int code = run({"systemctl", "restart", "telvad"});
        if (code != 0)
            fprintf(stderr, "systemctl failed: %s\n", error_text());
        return code;
    }
    if (words[2] != "net")
        unknown_option(words[1].c_str());
    if (run({"netctl", "restart", "eth0"}) != 0) {
        fprintf(stderr, "netctl failed: %s\n", error_text());
        return 1;
    }
    sleep(1);
    const int code = run({"systemctl", "reload", "lighttpd"});
    if (code != 0)
        fprintf(stderr, "systemctl failed: %s\n", error_text());
    return code;
}

int set_address(const Words& words) {
    const auto names = profiles(words[2]);
    const std::string& value = words[3];
    if (words[1] == "setipnm") {
        if (!cli::is_ipv4_with_prefix(value))
            refuse("address/prefix", value);
        set_profile_key(names, "Address", value);
    }
    if (words[1] == "setgw") {
        if (!cli::is_ipv4(value))
            refuse("gateway", value);
        set_profile_key(names, "Gateway", value);
    }
    if (!cli::is_ip_address(value))
        refuse("DNS address", value);
    set_profile_key(names, "DNS", value);
}

int comment(const Words& words) {
    if (words[2] != "gw" && words[2] != "dns")
        refuse("key", words[2]);
    const char* key = words[2] == "gw" ? "Gateway" : "DNS";
    const auto names = profiles(words[3]);
    make_writable();
    for (const std::string& name : names)
        edit_profile(name, [&](const std::string& text) { return cli::comment_key(text, key); });
    return 0;
}

int set_port(const Words& words) {
    if (!cli::is_port(words[2]))
        refuse("port", words[2]);
    set_config_number("as_port", words[2]);
}

int set_serial_port(const Words& words) {
    if (words[2] != "a" && words[2] != "b") {
        fprintf(stderr, "wrong serial position\n");
        return 1;
    }
    if (!cli::is_port(words[3]))
        refuse("port", words[3]);
    set_config_number(words[2] == "a" ? "serial_port_a" : "serial_port_b", words[3]);
}

int set_alpaca(const Words& words) {
    if (words[2] != "0" && words[2] != "1")
        refuse("alpaca setting", words[2]);
    set_config_number("alpaca_enabled", words[2]);
}

int set_host_name(const Words& words) {
    if (!cli::is_host_name(words[2]))
        refuse("host name", words[2]);
    make_writable();
    const int code = run({"hostnamectl", "set-hostname", words[2]});
    if (code != 0)
        fprintf(stderr, "hostnamectl failed: %s\n", error_text());
    return code;
}

const Words kWifiProfiles = {"wlan0.static", "wlan0.dhcp"};

int set_ssid(const Words& words) {
    if (!cli::is_ssid(words[2]))
        refuse("SSID", words[2]);
    set_profile_key(kWifiProfiles, "ESSID", words[2]);
}

int set_key(const Words& words) {
    const std::string key = words[2].empty() ? kDefaultKey : words[2];
    if (!cli::is_wifi_key(key))
        refuse("Wi-Fi key", key);
    set_profile_key(kWifiProfiles, "Key", key);
}

int set_security(const Words& words) {
    if (!cli::is_security(words[2]))
        refuse("security type", words[2]);
    set_profile_key(kWifiProfiles, "Security", words[2]);
}

int start_wifi(const Words& words) {
    if (words[2] != "static" && words[2] != "dhcp")
        refuse("Wi-Fi profile", words[2]);
    const std::string profile = "wlan0." + words[2];
    make_writable();
    if (stop_and_disable_wifi() != 0) {
        fprintf(stderr, "stop_and_disable_wifi failed: %s\n", error_text());
        return 1;
    }
    if (run({"ip", "route", "del", "default", "dev", "eth0"}) != 0)
        fprintf(stderr, "ip failed: %s\n", error_text());
    if (run({"netctl", "enable", profile}) != 0)
        fprintf(stderr, "netctl failed: %s\n", error_text());
    const int code = run({"netctl", "start", profile});
    if (code != 0)
        fprintf(stderr, "netctl failed: %s\n", error_text());
    return code;
}

int stop_wifi(const Words&) {
    const int code = stop_and_disable_wifi();
    if (code != 0)
        fprintf(stderr, "stop_and_disable_wifi failed: %s\n", error_text());
    return code;
}

int scan_wifi(const Words&) {
    make_writable();
    if (run({"ip", "link", "set", "wlan0", "up"}) != 0)
        fprintf(stderr, "ip link failed: %s\n", error_text());
    fflush(stdout);
    const int code = run({"iwlist", "wlan0", "scan"});
    if (code != 0)
        fprintf(stderr, "iwlist failed: %s\n", error_text());
    return code;
}

int help(const Words&) {
    usage();
    return 0;
}

int version(const Words&) {
    printf("%i-astro\n", kVersion);
    return 0;
}

int build(const Words&) {
    printf("Date: %s %s, Release\n", __DATE__, __TIME__);
    return 0;
}

struct Operation {
    const char* name;
    int words;         // the command line's words, program included; 0: any
    bool open_to_all;  // runs for any caller, changes nothing
    int (*run)(const Words&);
};

const Operation kOperations[] = {
    {"help", 0, true, help},
    {"factory-reset", 0, false, [](const Words&) -> int { factory_reset(); }},
    {"restart", 3, false, restart},
    {"update", 0, false, [](const Words&) -> int { update(); }},
    {"setipnm", 4, false, set_address},
    {"setgw", 4, false, set_address},
    {"setdns", 4, false, set_address},
    {"comment", 4, false, comment},
    {"setport", 3, false, set_port},
    {"setsport", 4, false, set_serial_port},
    {"setalpen", 3, false, set_alpaca},
    {"sethn", 3, false, set_host_name},
    {"setssid", 3, false, set_ssid},
    {"setpw", 3, false, set_key},
    {"setsec", 3, false, set_security},
    {"start-wifi", 3, false, start_wifi},
    {"stop-wifi", 2, false, stop_wifi},
    {"scan-wifi", 0, false, scan_wifi},
    {"version", 0, true, version},
    {"build", 0, true, build},
};

// A set-user-id program must not hand its descriptors 0..2 to the first
// files it opens.
void keep_standard_descriptors_open() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}

}  // namespace

int main(int argc, char** argv) {
    keep_standard_descriptors_open();
    if (argc > 0 && argv[0] != nullptr)
        program = argv[0];
    caller = getuid();
    if (setuid(geteuid()) != 0) {
        fprintf(stderr, "setuid failed\n");
        return 2;
    }
    // Root's group too, so that files made here and the programs run are
    // root's alone (a caller without rights to lose keeps its own).
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(0) != 0)) {
        fprintf(stderr, "setgid failed\n");
        return 2;
    }
    // Nothing of the caller's environment reaches the programs we run, nor
    // ourselves.
    clearenv();
    setenv("PATH", kFixedSearchPath, 1);
    umask(022);
    signal(SIGCHLD, SIG_DFL);

    if (argc < 2 || argc > 5)
        count_error();
    const Words words(argv, argv + argc);
    for (const Operation& operation : kOperations) {
        if (words[1] != operation.name)
            continue;
        if (!operation.open_to_all && caller != 0 && caller != kWebServerUid) {
            fprintf(stderr, "bad uid\n");
            return 1;
        }
        if (operation.words != 0 && argc != operation.words)
            count_error();
        return operation.run(words);
    }
    unknown_option(argv[1]);
}
