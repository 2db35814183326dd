// The Alpaca HTTP server on Ulfius: the device base class, the registry of
// Alpaca devices and the process-wide server with its management, parse and
// not-found endpoints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "alpaca/interfaces/device.h"
#include "alpaca/request.h"

namespace AlpacaServer {

// Devices by type number (ascending); the index in a vector is the Alpaca
// device number. Only ever appended to, so a device found stays valid while
// the registry lives. Lookups run on request threads while the hot-plug or
// probe thread appends, so both sides take the lock.
class DeviceRegistry {
public:
    // Takes and appends the device and returns its number; -1 when a device
    // of the same type and device_id is registered (the device is dropped).
    int add(std::unique_ptr<Device> device, int type);
    std::size_t count(int type) const;
    // The device under type and number, null when none is.
    Device* find(int type, std::size_t number) const;
    // Visits every device in type and number order (under the shared lock;
    // the visitor must not add).
    void for_each(const std::function<void(int type, std::size_t number, Device&)>& visit) const;

private:
    mutable std::shared_mutex mutex_;
    std::map<int, std::vector<std::unique_ptr<Device>>> devices_;
};

class Server {
public:
    Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Takes the device: a duplicate (same type and device_id) is deleted and
    // -1 returned; otherwise its unique_id is set, it is appended and its
    // device number returned.
    int add_device(Device* device);

    const std::string server_id;
    const std::string server_name;
    const std::string manufacturer;
    const std::string manufacturer_version;
    const std::string location;
    TransactionCounter transactions;
    DeviceRegistry registry;
};

// The running server, null while none runs.
Server* alpaca_server();

// Starts the HTTP server on TCP port 8000 of every IPv4 address: 0 when it
// runs, -1 otherwise (logged; no server exists then).
int start_alpaca_server();
// Stops the framework and destroys the server.
void stop_alpaca_server();

// Text of an Ulfius result code, as the start messages log it.
const char* framework_result_text(int result);

}  // namespace AlpacaServer
