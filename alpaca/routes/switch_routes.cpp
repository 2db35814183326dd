// Members of the Alpaca switch bank.
#include "alpaca/interfaces/switch.h"
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

using S = Switch;

// The description is offered a smaller buffer than other texts.
constexpr Route switch_description() {
    Route row = route<&S::getswitchdescription>("GET", "getswitchdescription", {{"Id"}});
    row.text_size = 512;
    return row;
}

constexpr Route kRoutes[] = {
    get<&S::get_maxswitch>("maxswitch"),
    route<&S::get_canasync>("GET", "canasync", {{"Id"}}),
    route<&S::get_canwrite>("GET", "canwrite", {{"Id"}}),
    route<&S::getswitch>("GET", "getswitch", {{"Id"}}),
    switch_description(),
    route<&S::getswitchname>("GET", "getswitchname", {{"Id"}}),
    route<&S::getswitchvalue>("GET", "getswitchvalue", {{"Id"}}),
    route<&S::get_minswitchvalue>("GET", "minswitchvalue", {{"Id"}}),
    route<&S::get_maxswitchvalue>("GET", "maxswitchvalue", {{"Id"}}),
    route<&S::setasync>("PUT", "setasync", {{"Id"}, {"State"}}),
    route<&S::setasyncvalue>("PUT", "setasyncvalue", {{"Id"}, {"Value"}}),
    route<&S::setswitch>("PUT", "setswitch", {{"Id"}, {"State"}}),
    route<&S::setswitchname>("PUT", "setswitchname", {{"Id"}, {"Name"}}),
    route<&S::setswitchvalue>("PUT", "setswitchvalue", {{"Id"}, {"Value"}}),
    route<&S::get_statechangecomplete>("GET", "statechangecomplete", {{"Id"}}),
    route<&S::get_switchstep>("GET", "switchstep", {{"Id"}}),
};

}  // namespace

std::span<const Route> switch_routes() { return kRoutes; }

}  // namespace AlpacaServer
