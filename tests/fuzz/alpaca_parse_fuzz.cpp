// Fuzzes the parse step of Alpaca requests: the bytes are split at NUL into
// a URL, then alternating keys and values; a byte of the input decides which
// pairs go to the query and which to the form body. Every parameter also
// goes through the typing rule and the readers, the parameters are read for
// every member route, and the envelope of the result is written out.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "alpaca/envelope.h"
#include "alpaca/request.h"
#include "alpaca/routes/member_answer.h"

using namespace AlpacaServer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            pieces.emplace_back();
        else
            pieces.back() += static_cast<char>(data[i]);
    }
    const uint8_t selector = size > 0 ? data[0] : 0;
    KeyValues query;
    KeyValues body;
    for (std::size_t i = 1; i + 1 < pieces.size(); i += 2) {
        auto& target = (selector >> ((i / 2) % 8)) & 1 ? body : query;
        target.emplace_back(pieces[i], pieces[i + 1]);
    }
    ParsedRequest parsed;
    bool ok = parse_request(pieces[0], query, body, 7,
                            [](int type) -> std::size_t { return type == 1 ? 2 : 0; }, parsed);
    if (ok && (parsed.device_type != 1 || parsed.device_number > 1 ||
               parsed.client_transaction_id == 0))
        __builtin_trap();
    for (const auto& [key, value] : query) {
        JsonRef typed = type_parameter(value);
        int32_t i = 0;
        double d = 0;
        bool b = false;
        const char* s = nullptr;
        read_int_parameter(parsed.params.get(), key.c_str(), i);
        read_double_parameter(parsed.params.get(), key.c_str(), d);
        read_bool_parameter(parsed.params.get(), key.c_str(), b);
        read_string_parameter(parsed.params.get(), key.c_str(), s);
    }
    for (int type = 1; type <= 10; ++type) {
        for (const Route& route : route_table(type).routes) {
            Arguments args;
            read_arguments(route, parsed.params.get(), args);
        }
    }
    for (const Route& route : common_routes()) {
        Arguments args;
        read_arguments(route, parsed.params.get(), args);
    }
    JsonRef params(json_incref(parsed.params.get()));
    JsonRef answer = device_envelope(ok ? 0 : 1025, std::move(params),
                                     parsed.client_transaction_id, parsed.server_transaction_id);
    compact_text(answer.get());
    not_found_text(pieces[0]);
    return 0;
}
