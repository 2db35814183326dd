// Base of every Alpaca device: the operations every device type answers.
//
// Each operation (but the destructor and device_type) returns an Alpaca
// error number (0 on success) and passes its results back through its
// reference arguments; the server ignores them when the number is not 0.
// Texts are written into the caller's zero-filled buffer of `size` bytes,
// terminated; lists are filled into vectors that are empty on entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace AlpacaServer {

// Named values of the devicestate member, answered in key order.
using DeviceStateValue = std::variant<bool, int, double, std::string>;
using DeviceStateMap = std::map<std::string, DeviceStateValue>;

class Device {
public:
    virtual ~Device() = default;
    // The type number 1-10.
    virtual int device_type() const = 0;

    virtual int get_connected(bool& value) = 0;
    virtual int put_connected(bool value) = 0;
    virtual int get_connecting(bool& value) = 0;
    virtual int get_description(char* value, std::size_t size) = 0;
    virtual int get_devicestate(DeviceStateMap& value) = 0;
    virtual int get_driverinfo(char* value, std::size_t size) = 0;
    virtual int get_driverversion(char* value, std::size_t size) = 0;
    virtual int get_interfaceversion(uint32_t& value) = 0;
    virtual int get_name(char* value, std::size_t size) = 0;
    virtual int get_supportedactions(std::vector<std::string>& value) = 0;
    virtual int action(const char* action, const char* parameters, char* value, std::size_t size) = 0;
    virtual int commandblind(const char* command, bool raw) = 0;
    virtual int commandbool(const char* command, bool raw, bool& value) = 0;
    virtual int commandstring(const char* command, bool raw, char* value, std::size_t size) = 0;
    virtual int connect() = 0;
    virtual int disconnect() = 0;

    int device_id = 0;        // identity of the physical device, set by its creator
    char unique_id[33] = {};  // 32 lower-case hex digits, set by add_device
};

}  // namespace AlpacaServer
