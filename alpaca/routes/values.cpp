// JSON encodings of what operations write.
#include <cmath>
#include <cstring>
#include <string>

#include "alpaca/interfaces/telescope.h"
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

// Length of the valid UTF-8 sequence at s (of n bytes left), 0 when there is
// none: overlong forms, surrogates and code points above U+10FFFF are bad.
std::size_t utf8_sequence(const unsigned char* s, std::size_t n) {
    const unsigned char c = s[0];
    if (c < 0x80)
        return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (n < length || s[1] < low || s[1] > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    }
    return length;
}

std::string valid_utf8(const char* text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    const std::size_t n = std::strlen(text);
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n;) {
        const std::size_t length = utf8_sequence(s + i, n - i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text + i, length);
            i += length;
        }
    }
    return out;
}

// Appends `item` to `array`; false (and the array dropped) when either is null.
bool append(JsonRef& array, JsonRef item) {
    if (!array || !item || json_array_append_new(array.get(), item.release()) != 0) {
        array.reset();
        return false;
    }
    return true;
}

JsonRef state_value(const DeviceStateValue& value) {
    return std::visit([](const auto& held) {
        if constexpr (std::is_same_v<std::decay_t<decltype(held)>, std::string>)
            return to_json(held.c_str());
        else
            return to_json(held);
    }, value);
}

}  // namespace

JsonRef to_json(bool value) { return JsonRef(json_boolean(value)); }

JsonRef to_json(int32_t value) { return JsonRef(json_integer(value)); }

JsonRef to_json(uint32_t value) { return JsonRef(json_integer(static_cast<json_int_t>(value))); }

JsonRef to_json(double value) {
    return std::isfinite(value) ? JsonRef(json_real(value)) : JsonRef();
}

JsonRef to_json(const char* text) {
    JsonRef value(json_string(text));
    if (!value)
        value.reset(json_string(valid_utf8(text).c_str()));
    return value;
}

JsonRef to_json(const std::vector<std::string>& value) {
    JsonRef array(json_array());
    for (const std::string& item : value) {
        if (!append(array, to_json(item.c_str())))
            break;
    }
    return array;
}

JsonRef to_json(const std::vector<int>& value) {
    JsonRef array(json_array());
    for (int item : value) {
        if (!append(array, to_json(item)))
            break;
    }
    return array;
}

JsonRef to_json(const DeviceStateMap& value) {
    JsonRef array(json_array());
    for (const auto& [name, held] : value) {
        JsonRef entry(json_object());
        JsonRef item = state_value(held);
        if (!entry || !item || json_object_set_new(entry.get(), "Name", to_json(name.c_str()).release()) != 0 ||
            json_object_set_new(entry.get(), "Value", item.release()) != 0 || !append(array, std::move(entry))) {
            array.reset();
            break;
        }
    }
    return array;
}

JsonRef to_json(const std::vector<AxisRate>& value) {
    JsonRef array(json_array());
    for (const AxisRate& rate : value) {
        JsonRef entry(json_object());
        JsonRef minimum = to_json(rate.minimum), maximum = to_json(rate.maximum);
        if (!entry || !minimum || !maximum ||
            json_object_set_new(entry.get(), "Minimum", minimum.release()) != 0 ||
            json_object_set_new(entry.get(), "Maximum", maximum.release()) != 0 ||
            !append(array, std::move(entry))) {
            array.reset();
            break;
        }
    }
    return array;
}

}  // namespace AlpacaServer
