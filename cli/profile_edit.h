// Line edits of the netctl profiles and of /etc/telvad.conf. Each function
// rewrites every line of `text` (keeping a missing newline at the end) and
// gives exactly the bytes the box's long-standing `sed -nr` expressions
// give; the expression is named above each function (K: key, V: value).
#pragma once

#include <string>
#include <string_view>

namespace cli {

// "/^#K/ s/^#//": a line that begins with "#K" loses its first "#".
std::string uncomment_key(std::string_view text, std::string_view key);

// "/^K/ s/([a-zA-Z0-9]+)=([\'\(]*)[^\'\)]+([\'\)]*)/\1=\2V\3/": on a line
// that begins with K, the leftmost NAME=VALUE (POSIX leftmost-longest) keeps
// its name and its opening and closing quotes or brackets, and V replaces
// what lies between them. V is taken literally.
std::string replace_value(std::string_view text, std::string_view key, std::string_view value);

// "s/^K/#&/": a line that begins with K is commented out.
std::string comment_key(std::string_view text, std::string_view key);

// "/K/ s/([0-9]+)+/V/": on a line that contains K, the first run of digits
// becomes V.
std::string replace_number(std::string_view text, std::string_view key, std::string_view value);

}  // namespace cli
