// The Alpaca switch bank; each switch is addressed by its Id.
#pragma once

#include "alpaca/interfaces/device.h"

namespace AlpacaServer {

class Switch : public Device {
public:
    int device_type() const override { return 9; }

    virtual int get_maxswitch(int32_t& value) = 0;
    virtual int get_canasync(int32_t id, bool& value) = 0;
    virtual int get_canwrite(int32_t id, bool& value) = 0;
    virtual int getswitch(int32_t id, bool& value) = 0;
    virtual int getswitchdescription(int32_t id, char* value, std::size_t size) = 0;
    virtual int getswitchname(int32_t id, char* value, std::size_t size) = 0;
    virtual int getswitchvalue(int32_t id, double& value) = 0;
    virtual int get_minswitchvalue(int32_t id, double& value) = 0;
    virtual int get_maxswitchvalue(int32_t id, double& value) = 0;
    virtual int setasync(int32_t id, bool state) = 0;
    virtual int setasyncvalue(int32_t id, double value) = 0;
    virtual int setswitch(int32_t id, bool state) = 0;
    virtual int setswitchname(int32_t id, const char* name) = 0;
    virtual int setswitchvalue(int32_t id, double value) = 0;
    virtual int get_statechangecomplete(int32_t id, bool& value) = 0;
    virtual int get_switchstep(int32_t id, double& value) = 0;
};

}  // namespace AlpacaServer
