// Members of the Alpaca rotator.
#include "alpaca/interfaces/rotator.h"
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

using R = Rotator;

constexpr Route kRoutes[] = {
    get<&R::get_canreverse>("canreverse"),
    get<&R::get_ismoving>("ismoving"),
    get<&R::get_mechanicalposition>("mechanicalposition"),
    get<&R::get_position>("position"),
    get<&R::get_reverse>("reverse"),
    put<&R::put_reverse>("reverse", "Reverse"),
    get<&R::get_stepsize>("stepsize"),
    get<&R::get_targetposition>("targetposition"),
    route<&R::halt>("PUT", "halt"),
    put<&R::move>("move", "Position"),
    put<&R::moveabsolute>("moveabsolute", "Position"),
    put<&R::movemechanical>("movemechanical", "Position"),
    put<&R::sync>("sync", "Position"),
};

}  // namespace

std::span<const Route> rotator_routes() { return kRoutes; }

}  // namespace AlpacaServer
