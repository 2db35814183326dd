// The profile and configuration edits against real `sed -nr`, run with the
// command lines the box has always used, on the same texts.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/profile_edit.h"
#include "cli/validate.h"

namespace {

namespace fs = std::filesystem;

const char* const kProfiles[] = {
    // A wired static profile as shipped.
    "Description='A basic static ethernet connection'\nInterface=eth0\nConnection=ethernet\nIP=static\n"
    "Address=('192.168.1.23/24')\nGateway='192.168.1.1'\nDNS=('192.168.1.1')\n",
    // A Wi-Fi profile with commented keys.
    "Description='WPA with a static address'\nInterface=wlan0\nConnection=wireless\nSecurity=wpa\n"
    "ESSID='MyNetwork'\nKey='WirelessKey'\nIP=static\nAddress=('192.168.1.23/24')\n#Gateway='192.168.1.1'\n"
    "#DNS=('192.168.1.1')\n",
    // Keys twice, a key that is a prefix of another, empty and unquoted
    // values, lists, a line the pattern does not match, no final newline.
    "Key='a'\nKeyName=plain\nKey=''\nKey='' # note=x\nDNS=()\nDNS=('1.1.1.1' '8.8.8.8')\nGateway=\"10.0.0.1\"\n"
    "#Gateway\n##DNS=('x')\nAddress=(\\'x\\')\nESSID=unquoted value\nSecurity=\nKey=(('x'))\n"
    "ESSID='a=b' x=y\n\n#Key='last'",
    "",
    "\n\n",
};

const char* const kConfigs[] = {
    "lock = /run/telvad.pid\nverbosity = err\ndc_port = 48900\nas_port = 48899\nserial_port_a = 49000\n"
    "serial_port_b = 49001\nalpaca_enabled = 0\n",
    "#as_port 1\nas_port\nx_as_port=7 8\nserial_port_a=1a2\nalpaca_enabled = yes\nalpaca_enabled=0",
};

enum class Kind { uncomment, replace, comment, number };
struct Edit {
    Kind kind;
    const char* key;
    const char* value;
};

const Edit kEdits[] = {
    {Kind::uncomment, "Gateway", ""}, {Kind::uncomment, "DNS", ""},     {Kind::uncomment, "Key", ""},
    {Kind::replace, "Address", "10.1.2.3/16"}, {Kind::replace, "Gateway", "10.1.2.254"},
    {Kind::replace, "DNS", "fd00::53"},  {Kind::replace, "ESSID", "Guest Net 5G"}, {Kind::replace, "Key", "lanternfish"},
    {Kind::replace, "Security", "none"}, {Kind::comment, "Gateway", ""},  {Kind::comment, "DNS", ""},
};
const Edit kConfigEdits[] = {
    {Kind::number, "as_port", "4000"},       {Kind::number, "serial_port_a", "65535"},
    {Kind::number, "serial_port_b", "1"},    {Kind::number, "alpaca_enabled", "1"},
};

// The sed expression the tool's operation used; "/" in values is escaped as
// the callers had to.
std::string expression(const Edit& edit) {
    std::string value;
    for (const char* c = edit.value; *c; ++c)
        value += *c == '/' ? std::string("\\/") : std::string(1, *c);
    const std::string key = edit.key;
    switch (edit.kind) {
    case Kind::uncomment:
        return "-e \"/^#" + key + "/ s/^#//\"";
    case Kind::replace:
        return "-e \"/^" + key + "/ s/([a-zA-Z0-9]+)=([\\'\\(]*)[^\\'\\)]+([\\'\\)]*)/\\1=\\2" + value + "\\3/\"";
    case Kind::comment:
        return "-e \"s/^" + key + "/#&/\"";
    case Kind::number:
        return "-e \"/" + key + "/ s/([0-9]+)+/" + value + "/\"";
    }
    return {};
}

std::string ours(const Edit& edit, const std::string& text) {
    switch (edit.kind) {
    case Kind::uncomment:
        return cli::uncomment_key(text, edit.key);
    case Kind::replace:
        return cli::replace_value(text, edit.key, edit.value);
    case Kind::comment:
        return cli::comment_key(text, edit.key);
    case Kind::number:
        return cli::replace_number(text, edit.key, edit.value);
    }
    return {};
}

std::string sed_reference(const Edit& edit, const std::string& text) {
    static const fs::path dir = [] {
        char pattern[] = "/tmp/cli-sed-XXXXXX";
        return fs::path(mkdtemp(pattern));
    }();
    const fs::path file = dir / "profile";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    fs::remove(dir / "profile.new");
    const std::string command = "LC_ALL=C sed -nr " + expression(edit) + " -e \"w " + file.string() + ".new\" " +
                                file.string();
    EXPECT_EQ(system(command.c_str()), 0) << command;
    std::ifstream in(dir / "profile.new", std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

TEST(ProfileEdit, GivesTheBytesOfSed) {
    for (const char* text : kProfiles)
        for (const Edit& edit : kEdits)
            EXPECT_EQ(ours(edit, text), sed_reference(edit, text)) << expression(edit) << " on\n" << text;
    for (const char* text : kConfigs)
        for (const Edit& edit : kConfigEdits)
            EXPECT_EQ(ours(edit, text), sed_reference(edit, text)) << expression(edit) << " on\n" << text;
}

TEST(Validate, AcceptsAndRefuses) {
    struct Case {
        bool (*check)(std::string_view);
        const char* value;
        bool valid;
    };
    const std::string long_value(10000, 'a');
    const Case cases[] = {
        {cli::is_ipv4, "192.168.1.1", true},     {cli::is_ipv4, "0.0.0.0", true},
        {cli::is_ipv4, "256.1.1.1", false},      {cli::is_ipv4, "01.1.1.1", false},
        {cli::is_ipv4, "1.1.1", false},          {cli::is_ipv4, "1.1.1.1.1", false},
        {cli::is_ipv4, "1..1.1", false},         {cli::is_ipv4, "1.1.1.1 ", false},
        {cli::is_ipv4_with_prefix, "10.0.0.5/24", true}, {cli::is_ipv4_with_prefix, "10.0.0.5/0", true},
        {cli::is_ipv4_with_prefix, "10.0.0.5/32", true}, {cli::is_ipv4_with_prefix, "10.0.0.5/33", false},
        {cli::is_ipv4_with_prefix, "10.0.0.5", false},   {cli::is_ipv4_with_prefix, "10.0.0.5/", false},
        {cli::is_ipv4_with_prefix, "10.0.0.5/24/1", false},
        {cli::is_ip_address, "fd00::53", true},  {cli::is_ip_address, "::ffff:1.2.3.4", true},
        {cli::is_ip_address, "fe80::1%eth0", false}, {cli::is_ip_address, "1:2:3:4:5:6:7:8:9", false},
        {cli::is_port, "1", true},               {cli::is_port, "65535", true},
        {cli::is_port, "0", false},              {cli::is_port, "65536", false},
        {cli::is_port, "080", false},            {cli::is_port, "+80", false},
        {cli::is_port, "99999999999", false},
        {cli::is_host_name, "box-1.lan", true},  {cli::is_host_name, "-box", false},
        {cli::is_host_name, "box.", false},      {cli::is_host_name, "b_x", false},
        {cli::is_host_name, long_value.c_str(), false},
        {cli::is_ssid, "Guest Net 5G", true},    {cli::is_ssid, "K\xc3\xa4se", true},
        {cli::is_ssid, "", false},               {cli::is_ssid, "123456789012345678901234567890123", false},
        {cli::is_ssid, "K\xe4se", false},        {cli::is_ssid, "\xc0\xaf", false},
        {cli::is_ssid, "a\tb", false},           {cli::is_ssid, "a'b", false},
        {cli::is_wifi_key, "12345678", true},    {cli::is_wifi_key, "1234567", false},
        {cli::is_wifi_key, "pass word!", true},  {cli::is_wifi_key, "pass\x7fword", false},
        {cli::is_wifi_key, "K\xc3\xa4sebrot", false},
        {cli::is_security, "wpa", true},         {cli::is_security, "WPA", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.check(c.value), c.valid) << cli::shown(c.value);
    // What every value check refuses, whatever the operation.
    for (const char* hostile : {"; reboot", "$(id)", "`id`", "'", "a\nb", "../../etc/passwd", "\xff\xfe"})
        for (auto check : {cli::is_ipv4, cli::is_ipv4_with_prefix, cli::is_ip_address, cli::is_port, cli::is_host_name,
                           cli::is_ssid, cli::is_wifi_key, cli::is_security})
            EXPECT_FALSE(check(hostile)) << cli::shown(hostile);
    EXPECT_EQ(cli::shown("a\n\\\xff"), "a\\x0a\\x5c\\xff");
    EXPECT_EQ(cli::shown(long_value), std::string(64, 'a') + "...");
}

}  // namespace
