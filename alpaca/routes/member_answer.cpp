#include "alpaca/routes/member_answer.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "alpaca/envelope.h"
#include "alpaca/types.h"

namespace AlpacaServer {

namespace {

// A number cut toward zero to 32 bits; the lowest int when it doesn't fit.
int32_t truncate_to_int(double value) {
    const double cut = std::trunc(value);
    if (!(cut >= std::numeric_limits<int32_t>::min() && cut <= std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(cut);
}

int read_argument(const Param& param, const json_t* params, Argument& out) {
    int error = kInvalidValue;
    switch (param.kind) {
    case ParamKind::boolean: {
        bool value = false;
        if ((error = read_bool_parameter(params, param.name, value)) == kOk)
            out = value;
        break;
    }
    case ParamKind::integer:
    case ParamKind::pier_side: {
        int32_t value = 0;
        if ((error = read_int_parameter(params, param.name, value)) == kOk)
            out = value;
        if (error == kOk && param.kind == ParamKind::pier_side && value == -1)
            error = kInvalidValue;
        break;
    }
    case ParamKind::number: {
        double value = 0;
        if ((error = read_double_parameter(params, param.name, value)) == kOk)
            out = value;
        break;
    }
    case ParamKind::number_truncated: {
        double value = 0;
        if ((error = read_double_parameter(params, param.name, value)) == kOk)
            out = truncate_to_int(value);
        break;
    }
    case ParamKind::text: {
        const char* value = nullptr;
        if ((error = read_string_parameter(params, param.name, value)) == kOk)
            out = value;
        break;
    }
    case ParamKind::deduced:
        break;
    }
    return error;
}

}  // namespace

int read_arguments(const Route& route, const json_t* params, Arguments& args) {
    for (std::size_t i = 0; i < route.param_count; ++i) {
        if (read_argument(route.params[i], params, args[i]) != kOk)
            return kInvalidValue;
    }
    return kOk;
}

JsonRef answer_member(const RouteTable& table, const Route& route, Device& device, const ParsedRequest& parsed) {
    Arguments args;
    JsonRef value;
    int error = read_arguments(route, parsed.params.get(), args);
    if (error == kOk) {
        error = route.invoke(device, route, args, value);
        const bool getter = route.param_count == 0 && std::strcmp(route.method, "GET") == 0;
        if (error != kOk && getter && table.getters_fail_as_invalid_value)
            error = kInvalidValue;
        // A Value the encoding could not make is an error, never a success
        // without it.
        if (error == kOk && route.has_value && !value)
            error = kUnspecifiedError;
    }
    return device_envelope(error, std::move(value), parsed.client_transaction_id, parsed.server_transaction_id);
}

}  // namespace AlpacaServer
