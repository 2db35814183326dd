// Members of the Alpaca focuser.
#include "alpaca/interfaces/focuser.h"
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

using F = Focuser;

constexpr Route kRoutes[] = {
    get<&F::get_absolute>("absolute"),
    get<&F::get_ismoving>("ismoving"),
    get<&F::get_maxincrement>("maxincrement"),
    get<&F::get_maxstep>("maxstep"),
    get<&F::get_position>("position"),
    get<&F::get_stepsize>("stepsize"),
    get<&F::get_tempcomp>("tempcomp"),
    put<&F::put_tempcomp>("tempcomp", "TempComp"),
    get<&F::get_tempcompavailable>("tempcompavailable"),
    get<&F::get_temperature>("temperature"),
    route<&F::halt>("PUT", "halt"),
    put<&F::move>("move", "Position"),
};

}  // namespace

std::span<const Route> focuser_routes() { return kRoutes; }

}  // namespace AlpacaServer
