// Fuzzes the configuration tool's value checks and profile edits. The
// first byte picks a check, the bytes up to the first zero byte are the
// value and the rest is a profile text. Only a value a check accepts goes
// into the edits, as in the tool; an accepted value never holds a byte that
// would break a profile line, and every edit keeps the text's lines and
// grows it by at most the value per line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cli/profile_edit.h"
#include "cli/validate.h"

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

size_t newlines(std::string_view text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    using Check = bool (*)(std::string_view);
    static const Check checks[] = {cli::is_ipv4,      cli::is_ipv4_with_prefix, cli::is_ip_address, cli::is_port,
                                   cli::is_host_name, cli::is_ssid,             cli::is_wifi_key,   cli::is_security};
    static const char* const keys[] = {"Address", "Gateway", "DNS", "ESSID", "Key", "Security"};
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t split = std::min(input.find('\0'), input.size());
    const std::string_view value = input.substr(0, split);
    const std::string_view text = input.substr(std::min(split + 1, input.size()));

    check(cli::shown(value).size() <= 64 * 4 + 3);
    if (!checks[data[0] % std::size(checks)](value))
        return 0;
    check(!value.empty() && value.size() <= 253);
    for (char c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        check(byte >= 0x20 && byte != 0x7F && c != '\'' && c != '"' && c != '\\' && c != '`' && c != '$');
    }

    const size_t lines = newlines(text) + 1;
    for (const char* key : keys) {
        const std::string uncommented = cli::uncomment_key(text, key);
        check(newlines(uncommented) == newlines(text) && uncommented.size() <= text.size());
        const std::string commented = cli::comment_key(text, key);
        check(newlines(commented) == newlines(text) && commented.size() <= text.size() + lines);
        const std::string replaced = cli::replace_value(text, key, value);
        check(newlines(replaced) == newlines(text) && replaced.size() <= text.size() + lines * value.size());
        const std::string numbered = cli::replace_number(text, key, value);
        check(newlines(numbered) == newlines(text) && numbered.size() <= text.size() + lines * value.size());
    }
    return 0;
}
