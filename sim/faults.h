// Faults injected into one virtual device from the control socket.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The camera driver requests a fault can make fail.
enum class DriverRequest { identify, command, firmware_mode, firmware_record, any };

struct Fault {
    enum class Kind {
        status,    // answer `command` with `status_byte` instead of 0x80
        request,   // the driver request fails as on a vanished device (ENODEV)
        read,      // a readout stream ends after `limit` bytes
        bulk_out,  // bulk OUT: fails (limit < 0) or moves only `limit` bytes
        bulk_in,   // bulk IN: fails (limit < 0) or delivers only `limit` bytes
        delay,     // a driver request takes `limit` milliseconds longer
    };
    Kind kind = Kind::status;
    uint8_t command = 0;
    uint8_t status_byte = 0;
    DriverRequest request = DriverRequest::any;
    int64_t limit = -1;
    int count = -1;  // how many times it fires; -1 until cleared
};

// A device's active faults. Thread-safe; each query that finds a matching
// fault uses up one of its count.
class FaultSet {
public:
    void add(const Fault& fault);
    void clear();

    std::optional<uint8_t> status_for(uint8_t command);
    bool request_fails(DriverRequest request);
    std::optional<uint64_t> read_limit();
    // nullopt: no fault; -1: the transfer fails; else the bytes it moves.
    std::optional<int64_t> bulk(Fault::Kind direction);
    // The extra time of a driver request; nullopt: none.
    std::optional<uint64_t> delay_ms();

    // One line per active fault, for `list`.
    std::vector<std::string> describe() const;

private:
    // The first fault that matches, with its count used up.
    std::optional<Fault> take(bool (*matches)(const Fault&, const void*), const void* key);

    mutable std::mutex mutex_;
    std::vector<Fault> faults_;
};

const char* request_name(DriverRequest request);

}  // namespace sim
