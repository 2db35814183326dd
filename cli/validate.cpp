#include "cli/validate.h"

#include <arpa/inet.h>

#include <cstdio>

namespace cli {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Plain decimal without sign or leading zero, at most `max`.
bool is_decimal(std::string_view text, unsigned max) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0'))
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (!is_digit(c))
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= max;
}

// Characters a profile value never holds: quotes and the backslash would
// end or escape the quoted value, brackets are the value's delimiters in
// the profile edit, and the rest mean something to the shell that sources
// the profile; control characters and DEL break the line.
bool is_profile_safe(unsigned char c) {
    if (c < 0x20 || c == 0x7F)
        return false;
    for (char bad : std::string_view("'\"`\\$;&|<>()/"))
        if (c == static_cast<unsigned char>(bad))
            return false;
    return true;
}

bool is_utf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t more;
        unsigned code;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            more = 1, code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2, code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3, code = c & 0x07;
        } else {
            return false;
        }
        if (i + more >= text.size())
            return false;
        for (size_t k = 1; k <= more; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF.
        if ((more == 2 && code < 0x800) || (more == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

}  // namespace

bool is_ipv4(std::string_view text) {
    int parts = 0;
    size_t start = 0;
    while (true) {
        size_t dot = text.find('.', start);
        std::string_view part = text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
        if (!is_decimal(part, 255))
            return false;
        ++parts;
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    return parts == 4;
}

bool is_ipv4_with_prefix(std::string_view text) {
    const size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return false;
    std::string_view prefix = text.substr(slash + 1);
    return is_ipv4(text.substr(0, slash)) && is_decimal(prefix, 32);
}

bool is_ip_address(std::string_view text) {
    if (is_ipv4(text))
        return true;
    if (text.empty() || text.size() > 45 || text.find('\0') != std::string_view::npos)
        return false;
    for (char c : text)
        if (!is_digit(c) && !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F') && c != ':' && c != '.')
            return false;
    in6_addr address;
    return inet_pton(AF_INET6, std::string(text).c_str(), &address) == 1;
}

bool is_port(std::string_view text) { return is_decimal(text, 65535) && text != "0"; }

bool is_host_name(std::string_view text) {
    if (text.empty() || text.size() > 253)
        return false;
    size_t start = 0;
    while (true) {
        size_t dot = text.find('.', start);
        std::string_view label = text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!is_digit(c) && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && c != '-')
                return false;
        if (dot == std::string_view::npos)
            return true;
        start = dot + 1;
    }
}

bool is_ssid(std::string_view text) {
    if (text.empty() || text.size() > 32 || !is_utf8(text))
        return false;
    for (char c : text)
        if (!is_profile_safe(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool is_wifi_key(std::string_view text) {
    if (text.size() < 8 || text.size() > 63)
        return false;
    for (char c : text)
        if (static_cast<unsigned char>(c) > 0x7E || !is_profile_safe(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool is_security(std::string_view text) { return text == "none" || text == "wep" || text == "wpa"; }

std::string shown(std::string_view text) {
    std::string out;
    size_t count = 0;
    for (char c : text) {
        if (count++ == 64) {
            out += "...";
            break;
        }
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out;
}

}  // namespace cli
