// The Alpaca cover calibrator (flat panel and dust cover).
#pragma once

#include "alpaca/interfaces/device.h"

namespace AlpacaServer {

class CoverCalibrator : public Device {
public:
    int device_type() const override { return 2; }

    virtual int get_brightness(uint32_t& value) = 0;
    virtual int get_calibratorchanging(bool& value) = 0;
    virtual int get_calibratorstate(int32_t& value) = 0;
    virtual int get_covermoving(bool& value) = 0;
    virtual int get_coverstate(int32_t& value) = 0;
    virtual int get_maxbrightness(uint32_t& value) = 0;
    virtual int calibratoroff() = 0;
    virtual int calibratoron(int32_t brightness) = 0;
    virtual int closecover() = 0;
    virtual int opencover() = 0;
    virtual int haltcover() = 0;
};

}  // namespace AlpacaServer
