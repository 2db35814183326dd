// A standalone USB filter wheel as an Alpaca FilterWheel.
//
// The device lives as long as the process: it is created the first time its
// wheel is taken into the registry and keeps its device number when the
// wheel goes; it answers 1031 while the wheel is absent and works again once
// the wheel is plugged back in (into whichever record the registry gives it).
//
// Positions are numbered over both wheels of a double wheel, which share one
// open position: N = filters + (filters2 - 1 if filters2 else 0). The
// position is the last one asked for, -1 while a move runs; it is never read
// from the wheel. A move runs on a thread of its own; one that fails is
// logged and leaves the position where it was before.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "alpaca/devices/box_device.h"
#include "alpaca/devices/device_threads.h"
#include "alpaca/interfaces/filter_wheel.h"

struct WheelRecord;

namespace AlpacaServer {

class CVStandaloneWheel : public BoxDevice<FilterWheel> {
public:
    // Called with registry_mutex held, for a filled record: no device I/O.
    explicit CVStandaloneWheel(WheelRecord& record);

    // The wheel came back in `record` (registry_mutex held).
    void attach(WheelRecord& record) { wheel_record_.store(&record); }

    int get_connected(bool& value) override;
    int put_connected(bool value) override;
    int get_description(char* value, std::size_t size) override;
    int get_devicestate(DeviceStateMap& value) override;
    int get_interfaceversion(uint32_t& value) override;
    int get_name(char* value, std::size_t size) override;
    int connect() override;
    int disconnect() override;

    int get_focusoffsets(std::vector<int>& value) override;
    int get_names(std::vector<std::string>& value) override;
    int get_position(int32_t& value) override;
    int put_position(int32_t value) override;

private:
    // The wheel as the registry has it now: usable while the Alpaca server
    // holds it and its port is open, and then N (0 otherwise).
    struct Snapshot {
        bool open = false;
        int positions = 0;
    };
    Snapshot snapshot() const;
    bool usable() const override;

    std::atomic<WheelRecord*> wheel_record_;
    std::atomic<bool> connected_{false};
    const std::string name_;    // the wheel's desc text when it was first seen
    std::mutex connection_;     // one connect or disconnect at a time
    WheelMove move_;            // last: waited for before the rest goes
};

// The registry's hook for a newly filled wheel record (registry_mutex held):
// the wheel's device is created and added to the Alpaca server the first
// time its id is seen, and pointed at the new record when it comes back.
// Nothing happens while no server runs.
void publish_standalone_wheel_device(WheelRecord& record);

}  // namespace AlpacaServer
