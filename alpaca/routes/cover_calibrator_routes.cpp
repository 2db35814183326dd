// Members of the Alpaca cover calibrator.
#include "alpaca/interfaces/cover_calibrator.h"
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

using C = CoverCalibrator;

constexpr Route kRoutes[] = {
    get<&C::get_brightness>("brightness"),
    get<&C::get_calibratorchanging>("calibratorchanging"),
    get<&C::get_calibratorstate>("calibratorstate"),
    get<&C::get_covermoving>("covermoving"),
    get<&C::get_coverstate>("coverstate"),
    get<&C::get_maxbrightness>("maxbrightness"),
    route<&C::calibratoroff>("PUT", "calibratoroff"),
    put<&C::calibratoron>("calibratoron", "Brightness"),
    route<&C::closecover>("PUT", "closecover"),
    route<&C::opencover>("PUT", "opencover"),
    route<&C::haltcover>("PUT", "haltcover"),
};

}  // namespace

std::span<const Route> cover_calibrator_routes() { return kRoutes; }

}  // namespace AlpacaServer
