// The Alpaca focuser.
#pragma once

#include "alpaca/interfaces/device.h"

namespace AlpacaServer {

class Focuser : public Device {
public:
    int device_type() const override { return 5; }

    virtual int get_absolute(bool& value) = 0;
    virtual int get_ismoving(bool& value) = 0;
    virtual int get_maxincrement(int32_t& value) = 0;
    virtual int get_maxstep(int32_t& value) = 0;
    virtual int get_position(int32_t& value) = 0;
    virtual int get_stepsize(int32_t& value) = 0;
    virtual int get_tempcomp(bool& value) = 0;
    virtual int put_tempcomp(bool value) = 0;
    virtual int get_tempcompavailable(bool& value) = 0;
    virtual int get_temperature(double& value) = 0;
    virtual int halt() = 0;
    virtual int move(int32_t position) = 0;
};

}  // namespace AlpacaServer
