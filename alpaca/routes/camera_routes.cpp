// Members of the Alpaca camera.
#include "alpaca/interfaces/camera.h"
#include "alpaca/routes/image_route.h"
#include "alpaca/routes/route.h"

namespace AlpacaServer {

namespace {

using C = Camera;

constexpr Route image_route() {
    Route row;
    row.method = "GET";
    row.member = "imagearray";
    row.custom = answer_imagearray;
    return row;
}

constexpr Route kRoutes[] = {
    get<&C::get_bayeroffsetx>("bayeroffsetx"),
    get<&C::get_bayeroffsety>("bayeroffsety"),
    get<&C::get_binx>("binx"),
    put<&C::put_binx>("binx", "BinX"),
    get<&C::get_biny>("biny"),
    put<&C::put_biny>("biny", "BinY"),
    get<&C::get_camerastate>("camerastate"),
    get<&C::get_cameraxsize>("cameraxsize"),
    get<&C::get_cameraysize>("cameraysize"),
    get<&C::get_canabortexposure>("canabortexposure"),
    get<&C::get_canasymmetricbin>("canasymmetricbin"),
    get<&C::get_canfastreadout>("canfastreadout"),
    get<&C::get_cangetcoolerpower>("cangetcoolerpower"),
    get<&C::get_canpulseguide>("canpulseguide"),
    get<&C::get_cansetccdtemperature>("cansetccdtemperature"),
    get<&C::get_canstopexposure>("canstopexposure"),
    get<&C::get_ccdtemperature>("ccdtemperature"),
    get<&C::get_cooleron>("cooleron"),
    put<&C::put_cooleron>("cooleron", "CoolerOn"),
    get<&C::get_coolerpower>("coolerpower"),
    get<&C::get_electronsperadu>("electronsperadu"),
    get<&C::get_exposuremax>("exposuremax"),
    get<&C::get_exposuremin>("exposuremin"),
    get<&C::get_exposureresolution>("exposureresolution"),
    get<&C::get_fastreadout>("fastreadout"),
    put<&C::put_fastreadout>("fastreadout", "FastReadout"),
    get<&C::get_fullwellcapacity>("fullwellcapacity"),
    get<&C::get_gain>("gain"),
    put<&C::put_gain>("gain", "Gain"),
    get<&C::get_gainmax>("gainmax"),
    get<&C::get_gainmin>("gainmin"),
    get<&C::get_gains>("gains"),
    get<&C::get_hasshutter>("hasshutter"),
    get<&C::get_heatsinktemperature>("heatsinktemperature"),
    image_route(),
    get<&C::get_imageready>("imageready"),
    get<&C::get_ispulseguiding>("ispulseguiding"),
    get<&C::get_lastexposureduration>("lastexposureduration"),
    get<&C::get_lastexposurestarttime>("lastexposurestarttime"),
    get<&C::get_maxadu>("maxadu"),
    get<&C::get_maxbinx>("maxbinx"),
    get<&C::get_maxbiny>("maxbiny"),
    get<&C::get_numx>("numx"),
    put<&C::put_numx>("numx", "NumX"),
    get<&C::get_numy>("numy"),
    put<&C::put_numy>("numy", "NumY"),
    get<&C::get_offset>("offset"),
    put<&C::put_offset>("offset", "Offset"),
    get<&C::get_offsetmax>("offsetmax"),
    get<&C::get_offsetmin>("offsetmin"),
    get<&C::get_offsets>("offsets"),
    get<&C::get_percentcompleted>("percentcompleted"),
    get<&C::get_pixelsizex>("pixelsizex"),
    get<&C::get_pixelsizey>("pixelsizey"),
    get<&C::get_readoutmode>("readoutmode"),
    put<&C::put_readoutmode>("readoutmode", "ReadoutMode"),
    get<&C::get_readoutmodes>("readoutmodes"),
    get<&C::get_sensorname>("sensorname"),
    get<&C::get_sensortype>("sensortype"),
    get<&C::get_setccdtemperature>("setccdtemperature"),
    put<&C::put_setccdtemperature>("setccdtemperature", "SetCCDTemperature"),
    get<&C::get_startx>("startx"),
    put<&C::put_startx>("startx", "StartX"),
    get<&C::get_starty>("starty"),
    put<&C::put_starty>("starty", "StartY"),
    get<&C::get_subexposureduration>("subexposureduration"),
    put<&C::put_subexposureduration>("subexposureduration", "SubExposureDuration"),
    route<&C::abortexposure>("PUT", "abortexposure"),
    route<&C::pulseguide>("PUT", "pulseguide", {{"Direction"}, {"Duration"}}),
    route<&C::startexposure>("PUT", "startexposure", {{"Duration"}, {"Light"}}),
    route<&C::stopexposure>("PUT", "stopexposure"),
};

}  // namespace

std::span<const Route> camera_routes() { return kRoutes; }

}  // namespace AlpacaServer
