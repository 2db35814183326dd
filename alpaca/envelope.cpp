#include "alpaca/envelope.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <syslog.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "alpaca/types.h"
#include "common/log.h"

namespace AlpacaServer {

namespace {

void add(json_t* object, const char* key, json_t* value) {
    json_object_set_new(object, key, value);
}

void add_error(json_t* object, int error_number) {
    add(object, "ErrorNumber", json_integer(error_number));
    add(object, "ErrorMessage", json_string(error_message(error_number)));
}

void add_ids(json_t* object, uint32_t client_transaction_id, uint32_t server_transaction_id) {
    add(object, "ClientTransactionID", json_integer(client_transaction_id));
    add(object, "ServerTransactionID", json_integer(server_transaction_id));
}

}  // namespace

JsonRef device_envelope(int error_number, JsonRef value, uint32_t client_transaction_id,
                        uint32_t server_transaction_id) {
    JsonRef object(json_object());
    if (!object)
        return object;
    add_error(object.get(), error_number);
    if (error_number == kOk && value)
        add(object.get(), "Value", value.release());
    add_ids(object.get(), client_transaction_id, server_transaction_id);
    return object;
}

JsonRef error_envelope(int error_number, uint32_t client_transaction_id,
                       uint32_t server_transaction_id) {
    JsonRef object(json_object());
    if (!object)
        return object;
    add_ids(object.get(), client_transaction_id, server_transaction_id);
    add_error(object.get(), error_number);
    return object;
}

JsonRef management_envelope(JsonRef value, uint32_t client_transaction_id,
                            uint32_t server_transaction_id) {
    JsonRef object(json_object());
    if (!object)
        return object;
    if (value)
        add(object.get(), "Value", value.release());
    add_ids(object.get(), client_transaction_id, server_transaction_id);
    add_error(object.get(), kOk);
    return object;
}

std::string compact_text(const json_t* value) {
    if (!value)
        return {};
    char* text = json_dumps(value, JSON_COMPACT);
    if (!text)
        return {};
    std::string result(text);
    std::free(text);
    return result;
}

std::string make_unique_id(std::string_view server_id, std::string_view name, int type,
                           int device_id) {
    std::array<char, 32> numbers{};
    int numbers_length = std::snprintf(numbers.data(), numbers.size(), "%d%d", type, device_id);
    gnutls_hash_hd_t hash = nullptr;
    if (int rc = gnutls_hash_init(&hash, GNUTLS_DIG_MD5); rc < 0) {
        log_message(LOG_ERR, "make_unique_id: gnutls_hash_init: %s", gnutls_strerror(rc));
        return {};
    }
    gnutls_hash(hash, server_id.data(), server_id.size());
    gnutls_hash(hash, name.data(), name.size());
    gnutls_hash(hash, numbers.data(), static_cast<std::size_t>(numbers_length));
    std::array<unsigned char, 16> digest{};
    gnutls_hash_deinit(hash, digest.data());
    std::string hex;
    hex.reserve(32);
    static constexpr char kDigits[] = "0123456789abcdef";
    for (unsigned char byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0f];
    }
    return hex;
}

std::string not_found_text(std::string_view url) {
    std::array<char, 4096> text{};
    int length = static_cast<int>(url.size() < 4096 ? url.size() : 4096);
    std::snprintf(text.data(), text.size(), "Alpaca API route %.*s was not found on this driver",
                  length, url.data());
    return std::string(text.data());
}

}  // namespace AlpacaServer
