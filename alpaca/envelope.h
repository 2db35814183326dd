// The Alpaca JSON envelope of every answer, the UniqueID of a device and the
// text of the not-found answer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "alpaca/json_ref.h"

namespace AlpacaServer {

// Device answer: ErrorNumber, ErrorMessage, then Value (only when the number
// is 0 and a value is given; taken over either way), ClientTransactionID,
// ServerTransactionID.
JsonRef device_envelope(int error_number, JsonRef value, uint32_t client_transaction_id,
                        uint32_t server_transaction_id);

// Answer of a refused request: ClientTransactionID, ServerTransactionID,
// then ErrorNumber and ErrorMessage.
JsonRef error_envelope(int error_number, uint32_t client_transaction_id,
                       uint32_t server_transaction_id);

// Management answer: Value, ClientTransactionID, ServerTransactionID, then
// ErrorNumber 0 and ErrorMessage "".
JsonRef management_envelope(JsonRef value, uint32_t client_transaction_id,
                            uint32_t server_transaction_id);

// Compact JSON text of a value, as the HTTP layer sends it ("" when the value
// is null or cannot be written).
std::string compact_text(const json_t* value);

// MD5 over server_id, name, the type and device_id in decimal, without
// separators: 32 lower-case hex digits; "" when the digest fails (logged).
std::string make_unique_id(std::string_view server_id, std::string_view name, int type,
                           int device_id);

// "Alpaca API route <url> was not found on this driver", cut to 4095 bytes.
std::string not_found_text(std::string_view url);

}  // namespace AlpacaServer
