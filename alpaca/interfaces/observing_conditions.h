// The Alpaca weather station.
#pragma once

#include "alpaca/interfaces/device.h"

namespace AlpacaServer {

class ObservingConditions : public Device {
public:
    int device_type() const override { return 6; }

    virtual int get_averageperiod(double& value) = 0;
    virtual int put_averageperiod(double value) = 0;
    virtual int get_cloudcover(double& value) = 0;
    virtual int get_dewpoint(double& value) = 0;
    virtual int get_humidity(double& value) = 0;
    virtual int get_pressure(double& value) = 0;
    virtual int get_rainrate(double& value) = 0;
    virtual int get_skybrightness(double& value) = 0;
    virtual int get_skyquality(double& value) = 0;
    virtual int get_skytemperature(double& value) = 0;
    virtual int get_starfwhm(double& value) = 0;
    virtual int get_temperature(double& value) = 0;
    virtual int get_winddirection(double& value) = 0;
    virtual int get_windgust(double& value) = 0;
    virtual int get_windspeed(double& value) = 0;
    virtual int refresh() = 0;
    virtual int get_sensordescription(const char* sensor_name, char* value, std::size_t size) = 0;
    virtual int get_timesincelastupdate(double& value) = 0;
};

}  // namespace AlpacaServer
