// Members of the Alpaca weather station.
#include "alpaca/interfaces/observing_conditions.h"
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

using O = ObservingConditions;

constexpr Route kRoutes[] = {
    get<&O::get_averageperiod>("averageperiod"),
    put<&O::put_averageperiod>("averageperiod", "AveragePeriod"),
    get<&O::get_cloudcover>("cloudcover"),
    get<&O::get_dewpoint>("dewpoint"),
    get<&O::get_humidity>("humidity"),
    get<&O::get_pressure>("pressure"),
    get<&O::get_rainrate>("rainrate"),
    get<&O::get_skybrightness>("skybrightness"),
    get<&O::get_skyquality>("skyquality"),
    get<&O::get_skytemperature>("skytemperature"),
    get<&O::get_starfwhm>("starfwhm"),
    get<&O::get_temperature>("temperature"),
    get<&O::get_winddirection>("winddirection"),
    get<&O::get_windgust>("windgust"),
    get<&O::get_windspeed>("windspeed"),
    route<&O::refresh>("PUT", "refresh"),
    route<&O::get_sensordescription>("GET", "sensordescription", {{"SensorName"}}),
    get<&O::get_timesincelastupdate>("timesincelastupdate"),
};

}  // namespace

std::span<const Route> observing_conditions_routes() { return kRoutes; }

}  // namespace AlpacaServer
