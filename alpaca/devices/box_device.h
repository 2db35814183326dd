// What every Alpaca device of the box answers alike: its driver, no
// actions or commands (1024, or 1031 while the device can't be used), never
// a connection under way. The concrete device says when it is usable.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "alpaca/devices/driver_info.h"
#include "alpaca/types.h"

namespace AlpacaServer {

// Writes `text` into the caller's buffer of `size` bytes, cut and terminated.
void copy_text(char* value, std::size_t size, const char* text);

// Now in UTC with milliseconds, as 2026-12-08T16:34:02.123Z.
std::string utc_timestamp();

template <class Interface>
class BoxDevice : public Interface {
public:
    int get_connecting(bool& value) override {
        value = false;
        return kOk;
    }
    int get_driverinfo(char* value, std::size_t size) override {
        copy_text(value, size, kDriverInfo);
        return kOk;
    }
    int get_driverversion(char* value, std::size_t size) override {
        copy_text(value, size, kDriverVersion);
        return kOk;
    }
    int get_supportedactions(std::vector<std::string>& value) override {
        value.clear();
        return kOk;
    }
    int action(const char*, const char*, char*, std::size_t) override { return unsupported(); }
    int commandblind(const char*, bool) override { return unsupported(); }
    int commandbool(const char*, bool, bool&) override { return unsupported(); }
    int commandstring(const char*, bool, char*, std::size_t) override { return unsupported(); }

protected:
    // Connected here, and the hardware present.
    virtual bool usable() const = 0;

private:
    int unsupported() const { return usable() ? kNotImplemented : kNotConnected; }
};

}  // namespace AlpacaServer
