// Checks of the values telvad-cli is given, made before anything changes.
// A value that passes can go into a profile line or a command's argument
// vector as it is.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// Dotted-quad IPv4 address: four decimal numbers 0..255 without leading
// zeros.
bool is_ipv4(std::string_view text);
// IPv4 address with a prefix length: "a.b.c.d/p", p 0..32.
bool is_ipv4_with_prefix(std::string_view text);
// IPv4 or IPv6 address (IPv6 in any textual form inet_pton takes).
bool is_ip_address(std::string_view text);
// A TCP port: plain decimal 1..65535, no sign, no leading zero.
bool is_port(std::string_view text);
// An RFC 1123 host name: dot-separated labels of 1..63 letters, digits and
// hyphens, neither starting nor ending with a hyphen, 253 bytes at most.
bool is_host_name(std::string_view text);
// An SSID: 1..32 bytes of valid UTF-8 with no character that would break
// the quoted profile line or mean something to the shell that reads it.
bool is_ssid(std::string_view text);
// A Wi-Fi key: 8..63 printable ASCII characters, with the same exclusions.
bool is_wifi_key(std::string_view text);
// "none", "wep" or "wpa".
bool is_security(std::string_view text);

// The value as it may be shown in a message: printable ASCII as it is,
// other bytes as \xNN, cut after 64 characters with "...".
std::string shown(std::string_view text);

}  // namespace cli
