// The Alpaca filter wheel.
#pragma once

#include "alpaca/interfaces/device.h"

namespace AlpacaServer {

class FilterWheel : public Device {
public:
    int device_type() const override { return 4; }

    virtual int get_focusoffsets(std::vector<int>& value) = 0;
    virtual int get_names(std::vector<std::string>& value) = 0;
    virtual int get_position(int32_t& value) = 0;
    virtual int put_position(int32_t value) = 0;
};

}  // namespace AlpacaServer
