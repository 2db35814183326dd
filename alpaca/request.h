// The parse step of every Alpaca device request, as a pure function: URL
// path, query and form body in, a ParsedRequest or a refusal out. Also the
// typing rule for parameter texts and the readers the member routes use.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "alpaca/json_ref.h"

namespace AlpacaServer {

// The keys and values of a query or form body, in the order they came.
using KeyValues = std::vector<std::pair<std::string, std::string>>;

struct ParsedRequest {
    JsonRef params{json_object()};  // every parameter but the two transaction keys
    uint32_t client_id = 0;
    uint32_t client_transaction_id = 0;
    uint32_t server_transaction_id = 0;
    uint8_t device_number = 0;
    int device_type = 0;  // 0: the URL names no known type
};

// How many devices of a type are registered (for the range check).
using DeviceCount = std::function<std::size_t(int device_type)>;

// Fills `out` from the request (out is reset first, server_transaction_id is
// stored as given). Returns true when the request names a known type, a
// registered device number (plain decimal digits, below the count of its
// type) and a ClientTransactionID other than 0.
//
// Query keys are compared with the transaction key names without regard to
// case, form-body keys exactly; every other key lands in params (typed by
// type_parameter), a body value replacing a query value of the same key.
// Transaction ids are read like strtol in base 10 (leading blanks, a sign,
// digits, anything after ignored); a value that is negative or beyond 32
// bits reads as 0, so a bad ClientTransactionID refuses the request.
bool parse_request(std::string_view url, const KeyValues& query, const KeyValues& body,
                   uint32_t server_transaction_id, const DeviceCount& device_count,
                   ParsedRequest& out);

// The value of a transaction key text: 0 when empty, unreadable, negative
// or beyond 32 bits.
uint32_t read_transaction_id(const std::string& text);

// Types one parameter text: "true"/"false" in any case -> bool; text strtod
// cannot read -> string; text with "." -> real; otherwise an integer
// truncated toward zero. Numbers that are not finite (inf, nan, overflow)
// stay strings; integers beyond the range of json_int_t stay reals. Returns
// null only for a string that is not valid UTF-8 (or out of memory).
JsonRef type_parameter(const std::string& text);

// Member-parameter readers: kOk (0) or kInvalidValue (1025) when the
// parameter is missing or of the wrong kind; `out` is left alone on error.
// An int is a JSON integer within 32 bits, or a real with an integral value
// within 32 bits (1.5 is refused).
int read_int_parameter(const json_t* params, const char* name, int32_t& out);
// A JSON integer or real.
int read_double_parameter(const json_t* params, const char* name, double& out);
// JSON true or false.
int read_bool_parameter(const json_t* params, const char* name, bool& out);
// A JSON string; the text stays valid while params lives.
int read_string_parameter(const json_t* params, const char* name, const char*& out);

// Hands out ServerTransactionIDs: 1, 2, 3, ... from any thread, each once;
// 0 is skipped when the count wraps.
class TransactionCounter {
public:
    uint32_t next() {
        uint32_t id = ++last_;
        while (id == 0)
            id = ++last_;
        return id;
    }

private:
    std::atomic<uint32_t> last_{0};
};

}  // namespace AlpacaServer
