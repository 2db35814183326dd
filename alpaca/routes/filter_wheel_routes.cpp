// Members of the Alpaca filter wheel.
#include "alpaca/interfaces/filter_wheel.h"
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

using W = FilterWheel;

constexpr Route kRoutes[] = {
    get<&W::get_focusoffsets>("focusoffsets"),
    get<&W::get_names>("names"),
    get<&W::get_position>("position"),
    put<&W::put_position>("position", "Position"),
};

}  // namespace

std::span<const Route> filter_wheel_routes() { return kRoutes; }

}  // namespace AlpacaServer
