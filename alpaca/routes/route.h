// Member routes as data. Every Alpaca member of a device type is one Route:
// its HTTP method and name, its parameters with their kinds, and the
// operation it calls. One generic answer (member_answer.h) serves every row:
// it reads the parameters, calls the operation and encodes what it wrote as
// the answer's Value.
//
// A row is built from the operation's member pointer; the shape of the
// operation decides the rest:
//   int op(inputs...)                       no Value
//   int op(inputs..., T& value)             Value encoded from T
//   int op(inputs..., char* text, size_t)   Value is the text written
// with inputs of the kinds bool, int32_t (integer), double (number) and
// const char* (string). Parameter names are given in input order.
#pragma once

#include <jansson.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "alpaca/interfaces/device.h"
#include "alpaca/json_ref.h"
#include "alpaca/request.h"

struct _u_request;
struct _u_response;

namespace AlpacaServer {

struct AxisRate;

enum class ParamKind {
    boolean,           // JSON true or false
    integer,           // a JSON integer (or an integral real) within 32 bits
    number,            // a JSON integer or real, as a double
    number_truncated,  // a number cut toward zero to 32 bits (-2147483648 beyond them)
    pier_side,         // an integer other than -1
    text,              // a JSON string
    deduced,           // (in a table row: the kind follows from the operation's input type)
};

struct Param {
    const char* name = nullptr;
    ParamKind kind = ParamKind::deduced;
};

inline constexpr std::size_t kMaxParams = 2;

// Arguments read for a call, in parameter order.
using Argument = std::variant<bool, int32_t, double, const char*>;
using Arguments = std::array<Argument, kMaxParams>;

struct Route;

// Runs the operation of `route` on `device` with `args`; on success `value`
// holds the Value to answer (null for operations without one). Returns the
// operation's error number.
using Invoke = int (*)(Device& device, const Route& route, const Arguments& args, JsonRef& value);

// A member answered by a callback of its own (the camera's image download).
using CustomAnswer = int (*)(const _u_request* request, _u_response* response, const ParsedRequest& parsed,
                             Device& device);

struct Route {
    const char* method = nullptr;  // "GET" or "PUT"
    const char* member = nullptr;  // lower-case member name
    std::array<Param, kMaxParams> params = {};
    std::size_t param_count = 0;
    std::size_t text_size = 4096;  // text buffer offered to operations that write a text
    bool has_value = false;        // a successful answer carries a Value
    Invoke invoke = nullptr;
    CustomAnswer custom = nullptr;
};

// The routes of one device type, common members first.
struct RouteTable {
    int type = 0;
    std::span<const Route> routes;
    // A failed parameterless GET answers 1025, whatever its operation said.
    bool getters_fail_as_invalid_value = false;
};

// The member routes of every device (connected, name, action, ...), and of
// one type.
std::span<const Route> common_routes();
std::span<const Route> camera_routes();
std::span<const Route> cover_calibrator_routes();
std::span<const Route> dome_routes();
std::span<const Route> filter_wheel_routes();
std::span<const Route> focuser_routes();
std::span<const Route> observing_conditions_routes();
std::span<const Route> rotator_routes();
std::span<const Route> safety_monitor_routes();
std::span<const Route> switch_routes();
std::span<const Route> telescope_routes();

// The table of a type number 1-10 (an empty table of type 0 otherwise).
const RouteTable& route_table(int type);

// The row answering `method` and `member` for a device of `type`, common
// members included; null when none does.
const Route* find_route(int type, std::string_view method, std::string_view member);

// Value encodings, by the type an operation writes. Null when JSON cannot
// carry the value (a real that is not finite) or memory ran out; texts that
// are not valid UTF-8 have each bad byte replaced by U+FFFD.
JsonRef to_json(bool value);
JsonRef to_json(int32_t value);
JsonRef to_json(uint32_t value);
JsonRef to_json(double value);
JsonRef to_json(const char* text);
JsonRef to_json(const std::vector<std::string>& value);
JsonRef to_json(const std::vector<int>& value);
JsonRef to_json(const DeviceStateMap& value);
JsonRef to_json(const std::vector<AxisRate>& value);

namespace route_detail {

template <class Op>
struct Signature;

template <class D, class... A>
struct Signature<int (D::*)(A...)> {
    using Class = D;
    static constexpr std::size_t arity = sizeof...(A);
    template <std::size_t I>
    using Arg = std::tuple_element_t<I, std::tuple<A...>>;
};

enum class Output { none, text, reference };

template <class S>
constexpr Output output_of() {
    if constexpr (S::arity >= 2) {
        if constexpr (std::is_same_v<typename S::template Arg<S::arity - 1>, std::size_t> &&
                      std::is_same_v<typename S::template Arg<S::arity - 2>, char*>)
            return Output::text;
    }
    if constexpr (S::arity >= 1) {
        using Last = typename S::template Arg<S::arity - 1>;
        if constexpr (std::is_lvalue_reference_v<Last> && !std::is_const_v<std::remove_reference_t<Last>>)
            return Output::reference;
    }
    return Output::none;
}

template <class S>
constexpr std::size_t input_count() {
    constexpr Output output = output_of<S>();
    return S::arity - (output == Output::text ? 2 : output == Output::reference ? 1 : 0);
}

template <class T>
constexpr ParamKind kind_of() {
    if constexpr (std::is_same_v<T, bool>)
        return ParamKind::boolean;
    else if constexpr (std::is_same_v<T, int32_t>)
        return ParamKind::integer;
    else if constexpr (std::is_same_v<T, double>)
        return ParamKind::number;
    else {
        static_assert(std::is_same_v<T, const char*>, "operation inputs are bool, int32_t, double or const char*");
        return ParamKind::text;
    }
}

template <auto Op, std::size_t... I>
int invoke(Device& device, const Route& route, const Arguments& args, JsonRef& value,
           std::index_sequence<I...>) {
    using S = Signature<decltype(Op)>;
    auto& typed = static_cast<typename S::Class&>(device);
    constexpr Output output = output_of<S>();
    if constexpr (output == Output::none) {
        return (typed.*Op)(std::get<typename S::template Arg<I>>(args[I])...);
    } else if constexpr (output == Output::text) {
        std::vector<char> text(route.text_size + 1, '\0');  // one byte more keeps it terminated
        const int error = (typed.*Op)(std::get<typename S::template Arg<I>>(args[I])..., text.data(),
                                      route.text_size);
        if (error == 0)
            value = to_json(static_cast<const char*>(text.data()));
        return error;
    } else {
        std::remove_cvref_t<typename S::template Arg<S::arity - 1>> result{};
        const int error = (typed.*Op)(std::get<typename S::template Arg<I>>(args[I])..., result);
        if (error == 0)
            value = to_json(result);
        return error;
    }
}

template <auto Op>
int invoke_row(Device& device, const Route& route, const Arguments& args, JsonRef& value) {
    using S = Signature<decltype(Op)>;
    return invoke<Op>(device, route, args, value, std::make_index_sequence<input_count<S>()>());
}

template <auto Op, std::size_t... I>
constexpr void fill_kinds(Route& route, std::index_sequence<I...>) {
    using S = Signature<decltype(Op)>;
    ((route.params[I].kind = route.params[I].kind == ParamKind::deduced
                                 ? kind_of<typename S::template Arg<I>>()
                                 : route.params[I].kind),
     ...);
}

}  // namespace route_detail

// A row: `params` names the operation's inputs in order (a kind given there
// overrides the one its type implies).
template <auto Op, std::size_t N>
constexpr Route route(const char* method, const char* member, const Param (&params)[N]) {
    using S = route_detail::Signature<decltype(Op)>;
    constexpr std::size_t inputs = route_detail::input_count<S>();
    static_assert(N == inputs, "one parameter name per input of the operation");
    static_assert(N <= kMaxParams);
    Route row;
    row.method = method;
    row.member = member;
    for (std::size_t i = 0; i < N; ++i)
        row.params[i] = params[i];
    row.param_count = N;
    route_detail::fill_kinds<Op>(row, std::make_index_sequence<N>());
    row.has_value = route_detail::output_of<S>() != route_detail::Output::none;
    row.invoke = route_detail::invoke_row<Op>;
    return row;
}

template <auto Op>
constexpr Route route(const char* method, const char* member) {
    using S = route_detail::Signature<decltype(Op)>;
    static_assert(route_detail::input_count<S>() == 0, "name the operation's parameters");
    Route row;
    row.method = method;
    row.member = member;
    row.has_value = route_detail::output_of<S>() != route_detail::Output::none;
    row.invoke = route_detail::invoke_row<Op>;
    return row;
}

// A parameterless GET and a one-parameter PUT, the two commonest rows.
template <auto Op>
constexpr Route get(const char* member) {
    return route<Op>("GET", member);
}

template <auto Op>
constexpr Route put(const char* member, const char* parameter) {
    return route<Op>("PUT", member, {Param{parameter}});
}

}  // namespace AlpacaServer
