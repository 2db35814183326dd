// The generic answer of a member route: read the row's parameters, call its
// operation, wrap the result in the device envelope.
#pragma once

#include "alpaca/routes/route.h"

namespace AlpacaServer {

// Reads every parameter of `route` from `params` into `args`: kOk, or
// kInvalidValue when any is missing or of the wrong kind.
int read_arguments(const Route& route, const json_t* params, Arguments& args);

// The envelope answering `parsed` with row `route` of `table` on `device`.
// The operation is called only when every parameter reads; a failed
// operation answers its number (1025 for the getters of a table that asks
// so) and no Value; a Value JSON cannot carry answers kUnspecifiedError.
JsonRef answer_member(const RouteTable& table, const Route& route, Device& device, const ParsedRequest& parsed);

}  // namespace AlpacaServer
