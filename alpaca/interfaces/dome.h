// The Alpaca dome.
#pragma once

#include "alpaca/interfaces/device.h"

namespace AlpacaServer {

class Dome : public Device {
public:
    int device_type() const override { return 3; }

    virtual int get_altitude(double& value) = 0;
    virtual int get_athome(bool& value) = 0;
    virtual int get_atpark(bool& value) = 0;
    virtual int get_azimuth(double& value) = 0;
    virtual int get_canfindhome(bool& value) = 0;
    virtual int get_canpark(bool& value) = 0;
    virtual int get_cansetaltitude(bool& value) = 0;
    virtual int get_cansetazimuth(bool& value) = 0;
    virtual int get_cansetpark(bool& value) = 0;
    virtual int get_cansetshutter(bool& value) = 0;
    virtual int get_canslave(bool& value) = 0;
    virtual int get_cansyncazimuth(bool& value) = 0;
    virtual int get_shutterstatus(int32_t& value) = 0;
    virtual int get_slaved(bool& value) = 0;
    virtual int put_slaved(bool value) = 0;
    virtual int get_slewing(bool& value) = 0;
    virtual int abortslew() = 0;
    virtual int closeshutter() = 0;
    virtual int findhome() = 0;
    virtual int openshutter() = 0;
    virtual int park() = 0;
    virtual int setpark() = 0;
    virtual int slewtoaltitude(double altitude) = 0;
    virtual int slewtoazimuth(double azimuth) = 0;
    virtual int synctoazimuth(double azimuth) = 0;
};

}  // namespace AlpacaServer
