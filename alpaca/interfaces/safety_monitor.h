// The Alpaca safety monitor.
#pragma once

#include "alpaca/interfaces/device.h"

namespace AlpacaServer {

class SafetyMonitor : public Device {
public:
    int device_type() const override { return 8; }

    virtual int get_issafe(bool& value) = 0;
};

}  // namespace AlpacaServer
