// Members of the Alpaca safety monitor.
#include "alpaca/interfaces/safety_monitor.h"
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

constexpr Route kRoutes[] = {
    get<&SafetyMonitor::get_issafe>("issafe"),
};

}  // namespace

std::span<const Route> safety_monitor_routes() { return kRoutes; }

}  // namespace AlpacaServer
