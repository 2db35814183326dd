#include "alpaca/request.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "alpaca/types.h"

namespace AlpacaServer {

namespace {

constexpr std::string_view kApiPrefix = "/api/v1/";
constexpr std::size_t kMaxTypeName = 32;

// The segment of `rest` up to the next "/" or "?" (or the end).
std::string_view segment(std::string_view rest) {
    return rest.substr(0, rest.find_first_of("/?"));
}

// Device number segment: one or more decimal digits, value 0-255; -1 else.
int device_number_of(std::string_view text) {
    if (text.empty() || text.size() > 8)
        return -1;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value <= 255 ? value : -1;
}

void parse_url(std::string_view url, ParsedRequest& out, bool& number_ok) {
    number_ok = false;
    if (url.substr(0, kApiPrefix.size()) != kApiPrefix)
        return;
    std::string_view rest = url.substr(kApiPrefix.size());
    std::string_view type_name = segment(rest);
    if (type_name.size() <= kMaxTypeName)
        out.device_type = device_type_from_name(type_name.data(), type_name.size());
    if (type_name.size() == rest.size() || rest[type_name.size()] != '/')
        return;
    int number = device_number_of(segment(rest.substr(type_name.size() + 1)));
    if (number >= 0) {
        out.device_number = static_cast<uint8_t>(number);
        number_ok = true;
    }
}

void harvest(const KeyValues& pairs, bool any_case, ParsedRequest& out) {
    auto same = [any_case](const std::string& key, const char* name) {
        return any_case ? strcasecmp(key.c_str(), name) == 0 : key == name;
    };
    for (const auto& [key, value] : pairs) {
        if (same(key, "ClientTransactionID")) {
            out.client_transaction_id = read_transaction_id(value);
        } else if (same(key, "ClientID")) {
            out.client_id = read_transaction_id(value);
        } else {
            JsonRef typed = type_parameter(value);
            // A key or string that is not UTF-8 is dropped: a route needing it
            // then finds it missing.
            if (typed)
                json_object_setn_new(out.params.get(), key.data(), key.size(), typed.release());
        }
    }
}

}  // namespace

uint32_t read_transaction_id(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || value < 0 ||
        value > static_cast<long long>(std::numeric_limits<uint32_t>::max()))
        return 0;
    return static_cast<uint32_t>(value);
}

JsonRef type_parameter(const std::string& text) {
    if (strcasecmp(text.c_str(), "true") == 0)
        return JsonRef(json_true());
    if (strcasecmp(text.c_str(), "false") == 0)
        return JsonRef(json_false());
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(value))
        return JsonRef(json_stringn(text.data(), text.size()));
    if (text.find('.') != std::string::npos)
        return JsonRef(json_real(value));
    double whole = std::trunc(value);
    // -2^63 and 2^63 are exact doubles; json_int_t is 64 bits.
    constexpr double kLimit = 9223372036854775808.0;
    if (whole >= -kLimit && whole < kLimit)
        return JsonRef(json_integer(static_cast<json_int_t>(whole)));
    return JsonRef(json_real(value));
}

bool parse_request(std::string_view url, const KeyValues& query, const KeyValues& body,
                   uint32_t server_transaction_id, const DeviceCount& device_count,
                   ParsedRequest& out) {
    out = ParsedRequest{};
    out.server_transaction_id = server_transaction_id;
    bool number_ok = false;
    parse_url(url, out, number_ok);
    if (out.params) {
        harvest(query, true, out);
        harvest(body, false, out);
    }
    return out.params && out.device_type != 0 && number_ok &&
           out.device_number < device_count(out.device_type) && out.client_transaction_id != 0;
}

int read_int_parameter(const json_t* params, const char* name, int32_t& out) {
    const json_t* value = json_object_get(params, name);
    constexpr auto kMin = std::numeric_limits<int32_t>::min();
    constexpr auto kMax = std::numeric_limits<int32_t>::max();
    if (json_is_integer(value)) {
        json_int_t number = json_integer_value(value);
        if (number < kMin || number > kMax)
            return kInvalidValue;
        out = static_cast<int32_t>(number);
        return kOk;
    }
    if (json_is_real(value)) {
        double number = json_real_value(value);
        if (!(number >= kMin && number <= kMax) || number != std::trunc(number))
            return kInvalidValue;
        out = static_cast<int32_t>(number);
        return kOk;
    }
    return kInvalidValue;
}

int read_double_parameter(const json_t* params, const char* name, double& out) {
    const json_t* value = json_object_get(params, name);
    if (!json_is_number(value))
        return kInvalidValue;
    out = json_number_value(value);
    return kOk;
}

int read_bool_parameter(const json_t* params, const char* name, bool& out) {
    const json_t* value = json_object_get(params, name);
    if (!json_is_boolean(value))
        return kInvalidValue;
    out = json_is_true(value);
    return kOk;
}

int read_string_parameter(const json_t* params, const char* name, const char*& out) {
    const json_t* value = json_object_get(params, name);
    if (!json_is_string(value))
        return kInvalidValue;
    out = json_string_value(value);
    return kOk;
}

}  // namespace AlpacaServer
