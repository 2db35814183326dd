#include "sim/control.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <map>
#include <vector>

namespace sim {

namespace {

// Splits on blanks; "..." groups a value with blanks (key="a b" too).
bool tokenize(std::string_view line, std::vector<std::string>& tokens, std::string& error) {
    // Texts end up in fixed identification fields: no control bytes there.
    for (char c : line) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
            error = "control character in line";
            return false;
        }
    }
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        std::string token;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            if (line[i] == '"') {
                const size_t close = line.find('"', i + 1);
                if (close == std::string_view::npos) {
                    error = "unterminated quote";
                    return false;
                }
                if (line.substr(i, close - i).find('\t') != std::string_view::npos) {
                    error = "tab inside a quoted text";
                    return false;
                }
                token.append(line.substr(i + 1, close - i - 1));
                i = close + 1;
            } else {
                token += line[i++];
            }
        }
        tokens.push_back(std::move(token));
    }
    return true;
}

bool parse_number(std::string_view text, uint64_t max, uint64_t& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size() && value <= max;
}

// The key=value options after the fixed words of a command; a bare word is
// a key with an empty value.
class Options {
public:
    bool read(const std::vector<std::string>& tokens, size_t first, std::string& error) {
        for (size_t i = first; i < tokens.size(); ++i) {
            const size_t equals = tokens[i].find('=');
            std::string key = tokens[i].substr(0, equals);
            std::string value = equals == std::string::npos ? std::string() : tokens[i].substr(equals + 1);
            if (key.empty()) {
                error = "option without a name: " + tokens[i];
                return false;
            }
            if (!values_.emplace(key, std::move(value)).second) {
                error = key + " given twice";
                return false;
            }
        }
        return true;
    }

    bool has(const std::string& key) const { return values_.count(key) != 0; }

    // Takes a numeric option; false (with the reason) when it is malformed.
    template <typename T>
    bool number(const std::string& key, uint64_t min, uint64_t max, std::optional<T>& out, std::string& error) {
        auto it = values_.find(key);
        if (it == values_.end())
            return true;
        uint64_t value = 0;
        if (!parse_number(it->second, max, value) || value < min) {
            error = key + " must be a number from " + std::to_string(min) + " to " + std::to_string(max);
            return false;
        }
        out = static_cast<T>(value);
        values_.erase(it);
        return true;
    }

    bool text(const std::string& key, size_t max_length, std::optional<std::string>& out, std::string& error) {
        auto it = values_.find(key);
        if (it == values_.end())
            return true;
        if (it->second.size() > max_length) {
            error = key + " holds at most " + std::to_string(max_length) + " characters";
            return false;
        }
        out = it->second;
        values_.erase(it);
        return true;
    }

    bool flag(const std::string& key, std::string& error, bool& out) {
        auto it = values_.find(key);
        if (it == values_.end())
            return true;
        if (!it->second.empty()) {
            error = key + " takes no value";
            return false;
        }
        out = true;
        values_.erase(it);
        return true;
    }

    bool boolean(const std::string& key, std::optional<bool>& out, std::string& error) {
        std::optional<uint8_t> value;
        if (!number(key, 0, 1, value, error))
            return false;
        if (value)
            out = *value != 0;
        return true;
    }

    // Every option must have been taken.
    bool finished(std::string& error) const {
        if (values_.empty())
            return true;
        error = "unknown option: " + values_.begin()->first;
        return false;
    }

private:
    std::map<std::string, std::string> values_;
};

std::optional<ControlCommand> parse_plug_camera(const std::vector<std::string>& tokens, std::string& error) {
    if (tokens.size() < 3) {
        error = "usage: plug camera PID [option=value]...";
        return std::nullopt;
    }
    uint64_t pid = 0;
    if (!parse_number(tokens[2], 0xFFFF, pid) || pid == 0) {
        error = "bad product id: " + tokens[2];
        return std::nullopt;
    }
    if (pid == 0x0CF0) {
        error = "product id 0x0cf0 is the standalone wheel: plug wheel";
        return std::nullopt;
    }
    PlugCamera plug;
    CameraOptions& o = plug.options;
    o.product_id = static_cast<uint16_t>(pid);
    Options options;
    std::optional<std::string> pattern;
    if (!options.read(tokens, 3, error) || !options.number("id", 1, 0xFFFFFFFF, o.id, error) ||
        !options.flag("nofw", error, o.no_firmware) || !options.number("width", 1, 0xFFFF, o.width, error) ||
        !options.number("height", 1, 0xFFFF, o.height, error) ||
        !options.number("pixelw", 1, 0xFFFF, o.pixel_w, error) ||
        !options.number("pixelh", 1, 0xFFFF, o.pixel_h, error) ||
        !options.number("filters", 0, 0xFF, o.filters, error) ||
        !options.number("flags", 0, 0xFFFF, o.flags, error) || !options.number("aux", 0, 0xFFFF, o.aux, error) ||
        !options.text("desc", 14, o.desc, error) || !options.text("ser", 14, o.ser, error) ||
        !options.text("chip", 14, o.chip, error) || !options.text("pattern", 6, pattern, error))
        return std::nullopt;
    for (int i = 0; i < 4; ++i) {
        if (!options.number("ver" + std::to_string(128 + i), 0, 0xFFFF, o.versions[i], error))
            return std::nullopt;
    }
    std::optional<uint64_t> gps_epoch;
    if (!options.number("open_ms", 0, 60000, o.open_ms, error) ||
        !options.number("close_ms", 0, 60000, o.close_ms, error) ||
        !options.number("cool_rate", 0, 1000000, o.cool_rate, error) ||
        !options.number("gps_epoch", 0, 253402300799, gps_epoch, error) ||
        !options.boolean("gps_fix", o.gps_fix, error) ||
        !options.number("cal_offset", 0, 0xFFFF, o.cal_offset, error) ||
        !options.number("cal_gain", 0, 0xFFFF, o.cal_gain, error) ||
        !options.boolean("subframe", o.subframe, error) ||
        !options.number("read_rate", 0, 4000000000, o.read_rate, error))
        return std::nullopt;
    if (gps_epoch)
        o.gps_epoch = static_cast<int64_t>(*gps_epoch);
    if (!options.finished(error))
        return std::nullopt;
    if (pattern) {
        if (*pattern == "coords")
            o.pattern = Pattern::coords;
        else if (*pattern == "sky")
            o.pattern = Pattern::sky;
        else {
            error = "pattern is coords or sky";
            return std::nullopt;
        }
    }
    return plug;
}

std::optional<ControlCommand> parse_plug_wheel(const std::vector<std::string>& tokens, std::string& error) {
    PlugWheel plug;
    Options options;
    std::optional<uint8_t> filters, filters2;
    std::optional<uint32_t> move_ms;
    std::optional<std::string> desc, ser;
    if (!options.read(tokens, 2, error) || !options.number("id", 1, 0xFFFFFFFF, plug.id, error) ||
        !options.number("filters", 1, 32, filters, error) || !options.number("filters2", 0, 32, filters2, error) ||
        !options.number("move_ms", 0, 60000, move_ms, error) || !options.text("desc", 15, desc, error) ||
        !options.text("ser", 15, ser, error) || !options.finished(error))
        return std::nullopt;
    plug.profile.filters = filters.value_or(plug.profile.filters);
    plug.profile.filters2 = filters2.value_or(plug.profile.filters2);
    if (move_ms)
        plug.profile.move_per_position = std::chrono::milliseconds(*move_ms);
    plug.desc_given = desc.has_value();
    plug.ser_given = ser.has_value();
    plug.profile.desc = desc.value_or("");
    plug.profile.ser = ser.value_or("");
    return plug;
}

std::optional<ControlCommand> parse_fault(const std::vector<std::string>& tokens, std::string& error) {
    if (tokens.size() < 3) {
        error = "usage: fault PATH KIND ...";
        return std::nullopt;
    }
    SetFault set{tokens[1], std::nullopt};
    const std::string& kind = tokens[2];
    if (kind == "clear") {
        if (tokens.size() != 3) {
            error = "fault PATH clear takes nothing more";
            return std::nullopt;
        }
        return set;
    }
    Fault fault;
    size_t first_option = 0;
    uint64_t value = 0;
    if (kind == "status") {
        if (tokens.size() < 5 || !parse_number(tokens[3], 0xFF, value)) {
            error = "usage: fault PATH status CMD STATUS [count=N]";
            return std::nullopt;
        }
        fault.kind = Fault::Kind::status;
        fault.command = static_cast<uint8_t>(value);
        if (!parse_number(tokens[4], 0xFF, value)) {
            error = "status byte must be a number from 0 to 255";
            return std::nullopt;
        }
        fault.status_byte = static_cast<uint8_t>(value);
        first_option = 5;
    } else if (kind == "ioctl") {
        static const std::pair<const char*, DriverRequest> NAMES[] = {
            {"identify", DriverRequest::identify},
            {"command", DriverRequest::command},
            {"fwmode", DriverRequest::firmware_mode},
            {"fwrecord", DriverRequest::firmware_record},
            {"any", DriverRequest::any},
        };
        fault.kind = Fault::Kind::request;
        bool known = false;
        for (const auto& [name, request] : NAMES) {
            if (tokens.size() >= 4 && tokens[3] == name) {
                fault.request = request;
                known = true;
            }
        }
        if (!known) {
            error = "usage: fault PATH ioctl identify|command|fwmode|fwrecord|any [count=N]";
            return std::nullopt;
        }
        first_option = 4;
    } else if (kind == "read") {
        if (tokens.size() < 4 || !parse_number(tokens[3], UINT32_MAX, value)) {
            error = "usage: fault PATH read BYTES [count=N]";
            return std::nullopt;
        }
        fault.kind = Fault::Kind::read;
        fault.limit = static_cast<int64_t>(value);
        first_option = 4;
    } else if (kind == "delay") {
        if (tokens.size() < 4 || !parse_number(tokens[3], 60000, value)) {
            error = "usage: fault PATH delay MS [count=N]";
            return std::nullopt;
        }
        fault.kind = Fault::Kind::delay;
        fault.limit = static_cast<int64_t>(value);
        first_option = 4;
    } else if (kind == "bulk") {
        const bool out = tokens.size() >= 5 && tokens[3] == "out";
        const bool in = tokens.size() >= 5 && tokens[3] == "in";
        if (!out && !in) {
            error = "usage: fault PATH bulk out|in fail|short=N [count=N]";
            return std::nullopt;
        }
        fault.kind = out ? Fault::Kind::bulk_out : Fault::Kind::bulk_in;
        if (tokens[4] == "fail") {
            fault.limit = -1;
        } else if (tokens[4].rfind("short=", 0) == 0 && parse_number(tokens[4].substr(6), 0xFFFF, value)) {
            fault.limit = static_cast<int64_t>(value);
        } else {
            error = "bulk faults are fail or short=N";
            return std::nullopt;
        }
        first_option = 5;
    } else {
        error = "unknown fault kind: " + kind;
        return std::nullopt;
    }
    Options options;
    std::optional<uint32_t> count;
    if (!options.read(tokens, first_option, error) || !options.number("count", 1, 1000000, count, error) ||
        !options.finished(error))
        return std::nullopt;
    if (count)
        fault.count = static_cast<int>(*count);
    set.fault = fault;
    return set;
}

std::optional<ControlCommand> parse_modem(const std::vector<std::string>& tokens, std::string& error) {
    static const char* const names[] = {"a", "b", "legacy", "cdc"};
    const auto* name = tokens.size() < 2 ? std::end(names)
                                          : std::find(std::begin(names), std::end(names), tokens[1]);
    if (name == std::end(names)) {
        error = "usage: modem a|b|legacy|cdc [cts=0|1] [dsr=0|1] [dcd=0|1] [ri=0|1]";
        return std::nullopt;
    }
    SetModem modem;
    modem.position = static_cast<int>(name - std::begin(names));
    Options options;
    if (!options.read(tokens, 2, error) || !options.boolean("cts", modem.cts, error) ||
        !options.boolean("dsr", modem.dsr, error) || !options.boolean("dcd", modem.dcd, error) ||
        !options.boolean("ri", modem.ri, error) || !options.finished(error))
        return std::nullopt;
    if (!modem.cts && !modem.dsr && !modem.dcd && !modem.ri) {
        error = "modem: no line to set";
        return std::nullopt;
    }
    return modem;
}

std::optional<ControlCommand> parse_plug_button(const std::vector<std::string>& tokens, std::string& error) {
    PlugButton plug;
    Options options;
    std::optional<bool> pressed;
    if (!options.read(tokens, 2, error) || !options.boolean("pressed", pressed, error) ||
        !options.flag("openfail", error, plug.open_fails) ||
        !options.number("leave", 1, 1000000, plug.leave_after, error) || !options.finished(error))
        return std::nullopt;
    plug.pressed = pressed.value_or(false);
    return plug;
}

std::optional<ControlCommand> parse_button(const std::vector<std::string>& tokens, std::string& error) {
    using Action = PressButton::Action;
    static const std::map<std::string, Action> actions = {
        {"press", Action::press}, {"release", Action::release}, {"tap", Action::tap}};
    PressButton button;
    uint64_t count = 1;
    const bool ok = tokens.size() >= 2 && tokens.size() <= 4 && (tokens.size() < 3 || actions.count(tokens[2])) &&
                    (tokens.size() < 4 || (tokens[2] == "tap" && parse_number(tokens[3], 1000000, count) && count > 0));
    if (!ok) {
        error = "usage: button usb|PATH|ttyS0|parallel [press|release|tap [N]]";
        return std::nullopt;
    }
    button.where = tokens[1];
    if (tokens.size() >= 3)
        button.action = actions.at(tokens[2]);
    button.count = static_cast<int>(count);
    return button;
}

std::optional<ControlCommand> parse_board(const std::vector<std::string>& tokens, std::string& error) {
    SetBoard board;
    if (tokens.size() == 2 && tokens[1] == "absent") {
        board.file = BoardFile::absent;
    } else if (tokens.size() == 2 && tokens[1] == "unreadable") {
        board.file = BoardFile::unreadable;
    } else if (tokens.size() == 2 && tokens[1].rfind("name=", 0) == 0) {
        // As sysfs shows a DMI text: with a newline, and nothing at all
        // for an empty one.
        board.text = tokens[1].substr(5);
        if (board.text.size() > 127) {
            error = "name holds at most 127 characters";
            return std::nullopt;
        }
        if (!board.text.empty())
            board.text += '\n';
    } else {
        error = "usage: board name=TEXT | board absent | board unreadable";
        return std::nullopt;
    }
    return board;
}

std::optional<ControlCommand> parse_tty(const std::vector<std::string>& tokens, std::string& error) {
    static const std::map<std::string, TtyState> states = {{"present", TtyState::present},
                                                           {"absent", TtyState::absent},
                                                           {"nouart", TtyState::nouart},
                                                           {"notty", TtyState::notty}};
    SetTty tty;
    const bool named = tokens.size() >= 2 && (tokens[1] == "ttyS0" || tokens[1] == "ttyACM0");
    if (named && tokens.size() == 3 && states.count(tokens[2]))
        tty.state = states.at(tokens[2]);
    else if (named && tokens.size() == 4 && tokens[2] == "send")
        tty.send = tokens[3];
    else if (!named || tokens.size() != 2) {
        error = "usage: tty ttyS0|ttyACM0 [present|absent|nouart|notty | send TEXT]";
        return std::nullopt;
    }
    tty.name = tokens[1];
    return tty;
}

}  // namespace

std::optional<ControlCommand> parse_control_line(std::string_view line, std::string& error) {
    std::vector<std::string> tokens;
    if (!tokenize(line, tokens, error))
        return std::nullopt;
    if (tokens.empty()) {
        error = "empty line";
        return std::nullopt;
    }
    const std::string& verb = tokens[0];
    if (verb == "plug" && tokens.size() >= 2 && tokens[1] == "camera")
        return parse_plug_camera(tokens, error);
    if (verb == "plug" && tokens.size() >= 2 && tokens[1] == "wheel")
        return parse_plug_wheel(tokens, error);
    if (verb == "plug" && tokens.size() >= 2 && tokens[1] == "button")
        return parse_plug_button(tokens, error);
    if (verb == "plug") {
        error = "usage: plug camera PID ... | plug wheel ... | plug button ...";
        return std::nullopt;
    }
    if (verb == "unplug") {
        if (tokens.size() != 2) {
            error = "usage: unplug PATH";
            return std::nullopt;
        }
        return Unplug{tokens[1]};
    }
    if (verb == "list") {
        if (tokens.size() != 1) {
            error = "list takes nothing more";
            return std::nullopt;
        }
        return List{};
    }
    if (verb == "setpoints" || verb == "commands" || verb == "inflight") {
        if (tokens.size() != 2) {
            error = "usage: " + verb + " PATH";
            return std::nullopt;
        }
        if (verb == "setpoints")
            return SetPoints{tokens[1]};
        return Commands{tokens[1], verb == "inflight"};
    }
    if (verb == "guide") {
        if (tokens.size() != 2) {
            error = "usage: guide PATH";
            return std::nullopt;
        }
        return LastGuide{tokens[1]};
    }
    if (verb == "cooler") {
        if (tokens.size() == 3 && tokens[2] == "auto")
            return PinCooler{tokens[1], std::nullopt};
        uint64_t on = 0, off = 0;
        // Cameras that report the drive as a fraction send on + off in one word.
        if (tokens.size() != 4 || !parse_number(tokens[2], 0xFFFF, on) || !parse_number(tokens[3], 0xFFFF, off) ||
            on + off > 0xFFFF) {
            error = "usage: cooler PATH ON OFF (ON + OFF at most 65535) | cooler PATH auto";
            return std::nullopt;
        }
        return PinCooler{tokens[1], std::pair{static_cast<uint16_t>(on), static_cast<uint16_t>(off)}};
    }
    if (verb == "fault")
        return parse_fault(tokens, error);
    if (verb == "modem")
        return parse_modem(tokens, error);
    if (verb == "button")
        return parse_button(tokens, error);
    if (verb == "board")
        return parse_board(tokens, error);
    if (verb == "tty")
        return parse_tty(tokens, error);
    if (verb == "parallel") {
        if (tokens.size() != 2 || (tokens[1] != "present" && tokens[1] != "absent")) {
            error = "usage: parallel present|absent";
            return std::nullopt;
        }
        return SetParallel{tokens[1] == "present"};
    }
    error = "unknown command: " + verb;
    return std::nullopt;
}

}  // namespace sim
