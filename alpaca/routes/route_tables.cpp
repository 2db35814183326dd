// The route table of each device type, and the lookup of a member.
#include <array>
#include <cstring>

#include "alpaca/routes/route.h"
#include "alpaca/types.h"

namespace AlpacaServer {

namespace {

using Routes = std::span<const Route> (*)();

// By type number; index 0 is no type.
constexpr std::array<Routes, kDeviceTypeCount + 1> kTypeRoutes = {
    nullptr,
    camera_routes,
    cover_calibrator_routes,
    dome_routes,
    filter_wheel_routes,
    focuser_routes,
    observing_conditions_routes,
    rotator_routes,
    safety_monitor_routes,
    switch_routes,
    telescope_routes,
};

constexpr int kTelescope = static_cast<int>(DeviceType::telescope);

const Route* find_in(std::span<const Route> routes, std::string_view method, std::string_view member) {
    for (const Route& row : routes) {
        if (method == row.method && member == row.member)
            return &row;
    }
    return nullptr;
}

}  // namespace

const RouteTable& route_table(int type) {
    static const std::array<RouteTable, kDeviceTypeCount + 1> tables = [] {
        std::array<RouteTable, kDeviceTypeCount + 1> out{};
        for (int number = 1; number <= kDeviceTypeCount; ++number)
            out[number] = RouteTable{number, kTypeRoutes[number](), number == kTelescope};
        return out;
    }();
    return type >= 1 && type <= kDeviceTypeCount ? tables[type] : tables[0];
}

const Route* find_route(int type, std::string_view method, std::string_view member) {
    const RouteTable& table = route_table(type);
    if (table.type == 0)
        return nullptr;
    if (const Route* row = find_in(common_routes(), method, member))
        return row;
    return find_in(table.routes, method, member);
}

}  // namespace AlpacaServer
