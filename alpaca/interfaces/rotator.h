// The Alpaca rotator.
#pragma once

#include "alpaca/interfaces/device.h"

namespace AlpacaServer {

class Rotator : public Device {
public:
    int device_type() const override { return 7; }

    virtual int get_canreverse(bool& value) = 0;
    virtual int get_ismoving(bool& value) = 0;
    virtual int get_mechanicalposition(double& value) = 0;
    virtual int get_position(double& value) = 0;
    virtual int get_reverse(bool& value) = 0;
    virtual int put_reverse(bool value) = 0;
    virtual int get_stepsize(double& value) = 0;
    virtual int get_targetposition(double& value) = 0;
    virtual int halt() = 0;
    virtual int move(double position) = 0;
    virtual int moveabsolute(double position) = 0;
    virtual int movemechanical(double position) = 0;
    virtual int sync(double position) = 0;
};

}  // namespace AlpacaServer
