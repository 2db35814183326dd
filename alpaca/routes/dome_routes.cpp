// Members of the Alpaca dome.
#include "alpaca/interfaces/dome.h"
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

using D = Dome;

constexpr Route kRoutes[] = {
    get<&D::get_altitude>("altitude"),
    get<&D::get_athome>("athome"),
    get<&D::get_atpark>("atpark"),
    get<&D::get_azimuth>("azimuth"),
    get<&D::get_canfindhome>("canfindhome"),
    get<&D::get_canpark>("canpark"),
    get<&D::get_cansetaltitude>("cansetaltitude"),
    get<&D::get_cansetazimuth>("cansetazimuth"),
    get<&D::get_cansetpark>("cansetpark"),
    get<&D::get_cansetshutter>("cansetshutter"),
    get<&D::get_canslave>("canslave"),
    get<&D::get_cansyncazimuth>("cansyncazimuth"),
    get<&D::get_shutterstatus>("shutterstatus"),
    get<&D::get_slaved>("slaved"),
    put<&D::put_slaved>("slaved", "Slaved"),
    get<&D::get_slewing>("slewing"),
    route<&D::abortslew>("PUT", "abortslew"),
    route<&D::closeshutter>("PUT", "closeshutter"),
    route<&D::findhome>("PUT", "findhome"),
    route<&D::openshutter>("PUT", "openshutter"),
    route<&D::park>("PUT", "park"),
    route<&D::setpark>("PUT", "setpark"),
    put<&D::slewtoaltitude>("slewtoaltitude", "Altitude"),
    put<&D::slewtoazimuth>("slewtoazimuth", "Azimuth"),
    put<&D::synctoazimuth>("synctoazimuth", "Azimuth"),
};

}  // namespace

std::span<const Route> dome_routes() { return kRoutes; }

}  // namespace AlpacaServer
