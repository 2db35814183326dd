// Members every Alpaca device answers.
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

using D = Device;

constexpr Route kRoutes[] = {
    get<&D::get_connected>("connected"),
    put<&D::put_connected>("connected", "Connected"),
    get<&D::get_connecting>("connecting"),
    get<&D::get_description>("description"),
    get<&D::get_devicestate>("devicestate"),
    get<&D::get_driverinfo>("driverinfo"),
    get<&D::get_driverversion>("driverversion"),
    get<&D::get_interfaceversion>("interfaceversion"),
    get<&D::get_name>("name"),
    get<&D::get_supportedactions>("supportedactions"),
    route<&D::action>("PUT", "action", {{"Action"}, {"Parameters"}}),
    route<&D::commandblind>("PUT", "commandblind", {{"Command"}, {"Raw"}}),
    route<&D::commandbool>("PUT", "commandbool", {{"Command"}, {"Raw"}}),
    route<&D::commandstring>("PUT", "commandstring", {{"Command"}, {"Raw"}}),
    route<&D::connect>("PUT", "connect"),
    route<&D::disconnect>("PUT", "disconnect"),
};

}  // namespace

std::span<const Route> common_routes() { return kRoutes; }

}  // namespace AlpacaServer
