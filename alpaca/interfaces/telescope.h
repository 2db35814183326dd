// The Alpaca telescope mount.
#pragma once

#include "alpaca/interfaces/device.h"

namespace AlpacaServer {

// One range of rates a mount axis can move at (degrees per second).
struct AxisRate {
    double minimum = 0;
    double maximum = 0;
};

class Telescope : public Device {
public:
    int device_type() const override { return 10; }

    virtual int get_alignmentmode(int32_t& value) = 0;
    virtual int get_altitude(double& value) = 0;
    virtual int get_aperturearea(double& value) = 0;
    virtual int get_aperturediameter(double& value) = 0;
    virtual int get_athome(bool& value) = 0;
    virtual int get_atpark(bool& value) = 0;
    virtual int get_azimuth(double& value) = 0;
    virtual int get_canfindhome(bool& value) = 0;
    virtual int get_canpark(bool& value) = 0;
    virtual int get_canpulseguide(bool& value) = 0;
    virtual int get_cansetdeclinationrate(bool& value) = 0;
    virtual int get_cansetguiderates(bool& value) = 0;
    virtual int get_cansetpark(bool& value) = 0;
    virtual int get_cansetpierside(bool& value) = 0;
    virtual int get_cansetrightascensionrate(bool& value) = 0;
    virtual int get_cansettracking(bool& value) = 0;
    virtual int get_canslew(bool& value) = 0;
    virtual int get_canslewaltaz(bool& value) = 0;
    virtual int get_canslewaltazasync(bool& value) = 0;
    virtual int get_canslewasync(bool& value) = 0;
    virtual int get_cansync(bool& value) = 0;
    virtual int get_cansyncaltaz(bool& value) = 0;
    virtual int get_canunpark(bool& value) = 0;
    virtual int get_declination(double& value) = 0;
    virtual int get_declinationrate(double& value) = 0;
    virtual int put_declinationrate(double value) = 0;
    virtual int get_doesrefraction(bool& value) = 0;
    virtual int put_doesrefraction(bool value) = 0;
    virtual int get_equatorialsystem(int32_t& value) = 0;
    virtual int get_focallength(double& value) = 0;
    virtual int get_guideratedeclination(double& value) = 0;
    virtual int put_guideratedeclination(double value) = 0;
    virtual int get_guideraterightascension(double& value) = 0;
    virtual int put_guideraterightascension(double value) = 0;
    virtual int get_ispulseguiding(bool& value) = 0;
    virtual int get_rightascension(double& value) = 0;
    virtual int get_rightascensionrate(double& value) = 0;
    virtual int put_rightascensionrate(double value) = 0;
    virtual int get_sideofpier(int32_t& value) = 0;
    virtual int put_sideofpier(int32_t value) = 0;
    virtual int get_siderealtime(double& value) = 0;
    virtual int get_siteelevation(double& value) = 0;
    virtual int put_siteelevation(double value) = 0;
    virtual int get_sitelatitude(double& value) = 0;
    virtual int put_sitelatitude(double value) = 0;
    virtual int get_sitelongitude(double& value) = 0;
    virtual int put_sitelongitude(double value) = 0;
    virtual int get_slewing(bool& value) = 0;
    virtual int get_slewsettletime(int32_t& value) = 0;
    virtual int put_slewsettletime(int32_t value) = 0;
    virtual int get_targetdeclination(double& value) = 0;
    virtual int put_targetdeclination(double value) = 0;
    virtual int get_targetrightascension(double& value) = 0;
    virtual int put_targetrightascension(double value) = 0;
    virtual int get_tracking(bool& value) = 0;
    virtual int put_tracking(bool value) = 0;
    virtual int get_trackingrate(int32_t& value) = 0;
    virtual int put_trackingrate(int32_t value) = 0;
    virtual int get_trackingrates(std::vector<int>& value) = 0;
    virtual int get_utcdate(char* value, std::size_t size) = 0;
    virtual int put_utcdate(const char* value) = 0;
    virtual int abortslew() = 0;
    virtual int get_axisrates(int32_t axis, std::vector<AxisRate>& value) = 0;
    virtual int get_canmoveaxis(int32_t axis, bool& value) = 0;
    virtual int get_destinationsideofpier(double right_ascension, double declination, int32_t& value) = 0;
    virtual int findhome() = 0;
    virtual int moveaxis(int32_t axis, double rate) = 0;
    virtual int park() = 0;
    virtual int pulseguide(int32_t direction, int32_t duration) = 0;
    virtual int setpark() = 0;
    virtual int slewtoaltazasync(double altitude, double azimuth) = 0;
    virtual int slewtocoordinatesasync(double right_ascension, double declination) = 0;
    virtual int slewtotargetasync() = 0;
    virtual int synctoaltaz(double altitude, double azimuth) = 0;
    virtual int synctocoordinates(double right_ascension, double declination) = 0;
    virtual int synctotarget() = 0;
    virtual int unpark() = 0;
};

}  // namespace AlpacaServer
