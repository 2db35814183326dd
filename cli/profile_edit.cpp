#include "cli/profile_edit.h"

namespace cli {

namespace {

// Applies `edit` to every line (without its newline) and joins the results.
template <typename Edit>
std::string each_line(std::string_view text, Edit edit) {
    std::string out;
    out.reserve(text.size() + 64);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const bool has_newline = end != std::string_view::npos;
        if (!has_newline)
            end = text.size();
        edit(text.substr(start, end - start), out);
        if (has_newline)
            out += '\n';
        start = end + 1;
    }
    return out;
}

bool is_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
// [\'\(] and [\'\)]: the shell hands the backslashes through to sed, so
// they belong to the bracket expressions.
bool is_opening(char c) { return c == '\\' || c == '\'' || c == '('; }
bool is_closing(char c) { return c == '\\' || c == '\'' || c == ')'; }

// The match of NAME=([\'\(]*)[^\'\)]+([\'\)]*) whose "=" is at `equals`:
// [opening, value) is group 2, [value, closing) the part replaced,
// [closing, end) group 3. Longest overall match first, then the longest
// group 2.
struct ValueMatch {
    size_t value = 0, closing = 0, end = 0;
};

bool match_after_equals(std::string_view line, size_t equals, ValueMatch& best) {
    const size_t opening = equals + 1;
    size_t run = opening;
    while (run < line.size() && is_opening(line[run]))
        ++run;
    bool found = false;
    for (size_t value = opening; value <= run && value < line.size(); ++value) {
        if (is_closing(line[value]))
            continue;  // [^\'\)]+ needs one character
        size_t closing = value + 1;
        while (closing < line.size() && !is_closing(line[closing]))
            ++closing;
        size_t end = closing;
        while (end < line.size() && is_closing(line[end]))
            ++end;
        if (!found || end >= best.end) {  // ties: the later start, the longer group 2
            best = {value, closing, end};
            found = true;
        }
    }
    return found;
}

}  // namespace

std::string uncomment_key(std::string_view text, std::string_view key) {
    return each_line(text, [&](std::string_view line, std::string& out) {
        if (line.size() > key.size() && line[0] == '#' && line.substr(1, key.size()) == key)
            line.remove_prefix(1);
        out += line;
    });
}

std::string replace_value(std::string_view text, std::string_view key, std::string_view value) {
    return each_line(text, [&](std::string_view line, std::string& out) {
        if (line.substr(0, key.size()) != key) {
            out += line;
            return;
        }
        // The leftmost start: a run of letters and digits ending at "=".
        // Every start inside one run reaches the same "=", so runs are
        // tried whole.
        size_t start = 0;
        while (start < line.size()) {
            if (!is_alnum(line[start])) {
                ++start;
                continue;
            }
            size_t equals = start;
            while (equals < line.size() && is_alnum(line[equals]))
                ++equals;
            ValueMatch match;
            if (equals < line.size() && line[equals] == '=' && match_after_equals(line, equals, match)) {
                out += line.substr(0, match.value);
                out += value;
                out += line.substr(match.closing);
                return;
            }
            start = equals;
        }
        out += line;
    });
}

std::string comment_key(std::string_view text, std::string_view key) {
    return each_line(text, [&](std::string_view line, std::string& out) {
        if (line.substr(0, key.size()) == key)
            out += '#';
        out += line;
    });
}

std::string replace_number(std::string_view text, std::string_view key, std::string_view value) {
    return each_line(text, [&](std::string_view line, std::string& out) {
        size_t digit = line.find(key) == std::string_view::npos ? line.size() : line.find_first_of("0123456789");
        if (digit == std::string_view::npos || digit == line.size()) {
            out += line;
            return;
        }
        size_t end = digit;
        while (end < line.size() && line[end] >= '0' && line[end] <= '9')
            ++end;
        out += line.substr(0, digit);
        out += value;
        out += line.substr(end);
    });
}

}  // namespace cli
