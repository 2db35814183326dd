// Members of the Alpaca telescope mount. A failed parameterless GET answers
// 1025 (see the table's flag in route_tables.cpp).
#include "alpaca/interfaces/telescope.h"
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

using T = Telescope;

constexpr Route kRoutes[] = {
    get<&T::get_alignmentmode>("alignmentmode"),
    get<&T::get_altitude>("altitude"),
    get<&T::get_aperturearea>("aperturearea"),
    get<&T::get_aperturediameter>("aperturediameter"),
    get<&T::get_athome>("athome"),
    get<&T::get_atpark>("atpark"),
    get<&T::get_azimuth>("azimuth"),
    get<&T::get_canfindhome>("canfindhome"),
    get<&T::get_canpark>("canpark"),
    get<&T::get_canpulseguide>("canpulseguide"),
    get<&T::get_cansetdeclinationrate>("cansetdeclinationrate"),
    get<&T::get_cansetguiderates>("cansetguiderates"),
    get<&T::get_cansetpark>("cansetpark"),
    get<&T::get_cansetpierside>("cansetpierside"),
    get<&T::get_cansetrightascensionrate>("cansetrightascensionrate"),
    get<&T::get_cansettracking>("cansettracking"),
    get<&T::get_canslew>("canslew"),
    get<&T::get_canslewaltaz>("canslewaltaz"),
    get<&T::get_canslewaltazasync>("canslewaltazasync"),
    get<&T::get_canslewasync>("canslewasync"),
    get<&T::get_cansync>("cansync"),
    get<&T::get_cansyncaltaz>("cansyncaltaz"),
    get<&T::get_canunpark>("canunpark"),
    get<&T::get_declination>("declination"),
    get<&T::get_declinationrate>("declinationrate"),
    put<&T::put_declinationrate>("declinationrate", "DeclinationRate"),
    get<&T::get_doesrefraction>("doesrefraction"),
    put<&T::put_doesrefraction>("doesrefraction", "DoesRefraction"),
    get<&T::get_equatorialsystem>("equatorialsystem"),
    get<&T::get_focallength>("focallength"),
    get<&T::get_guideratedeclination>("guideratedeclination"),
    put<&T::put_guideratedeclination>("guideratedeclination", "GuideRateDeclination"),
    get<&T::get_guideraterightascension>("guideraterightascension"),
    put<&T::put_guideraterightascension>("guideraterightascension", "GuideRateRightAscension"),
    get<&T::get_ispulseguiding>("ispulseguiding"),
    get<&T::get_rightascension>("rightascension"),
    get<&T::get_rightascensionrate>("rightascensionrate"),
    put<&T::put_rightascensionrate>("rightascensionrate", "RightAscensionRate"),
    get<&T::get_sideofpier>("sideofpier"),
    route<&T::put_sideofpier>("PUT", "sideofpier", {{"SideOfPier", ParamKind::pier_side}}),
    get<&T::get_siderealtime>("siderealtime"),
    get<&T::get_siteelevation>("siteelevation"),
    put<&T::put_siteelevation>("siteelevation", "SiteElevation"),
    get<&T::get_sitelatitude>("sitelatitude"),
    put<&T::put_sitelatitude>("sitelatitude", "SiteLatitude"),
    get<&T::get_sitelongitude>("sitelongitude"),
    put<&T::put_sitelongitude>("sitelongitude", "SiteLongitude"),
    get<&T::get_slewing>("slewing"),
    get<&T::get_slewsettletime>("slewsettletime"),
    put<&T::put_slewsettletime>("slewsettletime", "SlewSettleTime"),
    get<&T::get_targetdeclination>("targetdeclination"),
    put<&T::put_targetdeclination>("targetdeclination", "TargetDeclination"),
    get<&T::get_targetrightascension>("targetrightascension"),
    put<&T::put_targetrightascension>("targetrightascension", "TargetRightAscension"),
    get<&T::get_tracking>("tracking"),
    put<&T::put_tracking>("tracking", "Tracking"),
    get<&T::get_trackingrate>("trackingrate"),
    put<&T::put_trackingrate>("trackingrate", "TrackingRate"),
    get<&T::get_trackingrates>("trackingrates"),
    get<&T::get_utcdate>("utcdate"),
    put<&T::put_utcdate>("utcdate", "UTCDate"),
    route<&T::abortslew>("PUT", "abortslew"),
    route<&T::get_axisrates>("GET", "axisrates", {{"Axis"}}),
    route<&T::get_canmoveaxis>("GET", "canmoveaxis", {{"Axis"}}),
    route<&T::get_destinationsideofpier>("GET", "destinationsideofpier", {{"RightAscension"}, {"Declination"}}),
    route<&T::findhome>("PUT", "findhome"),
    route<&T::moveaxis>("PUT", "moveaxis", {{"Axis"}, {"Rate"}}),
    route<&T::park>("PUT", "park"),
    route<&T::pulseguide>("PUT", "pulseguide", {{"Direction"}, {"Duration", ParamKind::number_truncated}}),
    route<&T::setpark>("PUT", "setpark"),
    route<&T::slewtoaltazasync>("PUT", "slewtoaltazasync", {{"Altitude"}, {"Azimuth"}}),
    route<&T::slewtocoordinatesasync>("PUT", "slewtocoordinatesasync", {{"RightAscension"}, {"Declination"}}),
    route<&T::slewtotargetasync>("PUT", "slewtotargetasync"),
    route<&T::synctoaltaz>("PUT", "synctoaltaz", {{"Altitude"}, {"Azimuth"}}),
    route<&T::synctocoordinates>("PUT", "synctocoordinates", {{"RightAscension"}, {"Declination"}}),
    route<&T::synctotarget>("PUT", "synctotarget"),
    route<&T::unpark>("PUT", "unpark"),
};

}  // namespace

std::span<const Route> telescope_routes() { return kRoutes; }

}  // namespace AlpacaServer
