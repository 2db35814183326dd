#include "alpaca/devices/cv_standalone_wheel.h"

#include <syslog.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <system_error>
#include <thread>

#include "alpaca/devices/driver_info.h"
#include "alpaca/server.h"
#include "common/log.h"
#include "driver/wheel_ops.h"
#include "registry/registry.h"

namespace AlpacaServer {

namespace {


// Now in UTC as 2026-12-08T16:34:02.123Z.
// Every wheel device created, by wheel id; guarded by registry_mutex (the
// publishing hook runs under it). Devices are never deleted.
std::map<uint32_t, CVStandaloneWheel*> wheel_devices;

}  // namespace

CVStandaloneWheel::CVStandaloneWheel(WheelRecord& record)
    : wheel_record_(&record), name_(record.info.desc, strnlen(record.info.desc, sizeof record.info.desc)) {
    device_id = static_cast<int>(record.info.id);
}

CVStandaloneWheel::Snapshot CVStandaloneWheel::snapshot() const {
    std::lock_guard lock(registry_mutex);
    const WheelRecord& record = *wheel_record_.load();
    Snapshot now;
    // Only the Alpaca server holds a record with owner_sock 0.
    now.open = record.state.load() == DeviceState::held && record.owner_sock == 0 &&
               record.info.id == static_cast<uint32_t>(device_id) && !record.port.empty();
    // Counts change only under a binary-protocol client's hold (its counts
    // request), so they are read only while the Alpaca server holds the wheel.
    if (now.open)
        now.positions = record.info.filters + (record.info.filters2 != 0 ? record.info.filters2 - 1 : 0);
    return now;
}

bool CVStandaloneWheel::usable() const { return connected_.load() && snapshot().open; }

int CVStandaloneWheel::get_connected(bool& value) {
    value = usable();
    return 0;
}

int CVStandaloneWheel::put_connected(bool value) {
    if (value == connected_.load())
        return 0;
    return value ? connect() : disconnect();
}

int CVStandaloneWheel::get_description(char* value, std::size_t size) {
    if (!usable())
        return kNotConnected;
    copy_text(value, size, (name_ + ", Id: " + std::to_string(static_cast<uint32_t>(device_id))).c_str());
    return 0;
}

int CVStandaloneWheel::get_devicestate(DeviceStateMap& value) {
    value["Position"] = static_cast<int>(move_.position());
    value["TimeStamp"] = utc_timestamp();
    return 0;
}

int CVStandaloneWheel::get_interfaceversion(uint32_t& value) {
    value = 3;
    return 0;
}

int CVStandaloneWheel::get_name(char* value, std::size_t size) {
    copy_text(value, size, name_.c_str());
    return 0;
}




int CVStandaloneWheel::connect() {
    std::lock_guard lock(connection_);
    if (connected_.load())
        return 0;
    const uint32_t id = static_cast<uint32_t>(device_id);
    if (wheel_busy(id))
        return kInvalidOperation;
    // While the wheel is unplugged its last record is free, or another
    // wheel's by now: nothing to claim.
    WheelRecord* record = wheel_record_.load();
    auto present = [&] {
        std::lock_guard registry(registry_mutex);
        return record->state.load() != DeviceState::free && record->info.id == id;
    };
    if (!present())
        return kNotConnected;
    if (!alpaca_claim_wheel(record))
        return wheel_busy(id) ? kInvalidOperation : kNotConnected;
    // Unplugged, and its record taken by another wheel, in between.
    if (!present()) {
        alpaca_release_wheel(record);
        return kNotConnected;
    }
    connected_.store(true);
    return 0;
}

int CVStandaloneWheel::disconnect() {
    std::lock_guard lock(connection_);
    if (!connected_.load())
        return 0;
    // The registry lets go of a wheel held by the Alpaca server also while
    // it is unplugged, so a client can always disconnect.
    if (!alpaca_release_wheel(wheel_record_.load()))
        return kInvalidOperation;
    connected_.store(false);
    return 0;
}

int CVStandaloneWheel::get_focusoffsets(std::vector<int>& value) {
    if (!connected_.load())
        return kNotConnected;
    const Snapshot now = snapshot();
    if (!now.open)
        return kNotConnected;
    value.assign(static_cast<std::size_t>(now.positions), 0);
    return 0;
}

int CVStandaloneWheel::get_names(std::vector<std::string>& value) {
    if (!connected_.load())
        return kNotConnected;
    const Snapshot now = snapshot();
    if (!now.open)
        return kNotConnected;
    for (int number = 1; number <= now.positions; ++number)
        value.push_back("Filter " + std::to_string(number));
    return 0;
}

int CVStandaloneWheel::get_position(int32_t& value) {
    if (!usable())
        return kNotConnected;
    value = move_.position();
    return 0;
}

int CVStandaloneWheel::put_position(int32_t value) {
    if (!connected_.load())
        return kNotConnected;
    const Snapshot now = snapshot();
    if (!now.open)
        return kNotConnected;
    if (value < 0 || value >= now.positions)
        return kInvalidValue;
    WheelRecord* record = wheel_record_.load();
    return move_.start(value, [this, record, value] {
        const DriverResult result = wheel_set_position(*record, static_cast<uint32_t>(value));
        if (result.failed())
            log_message(LOG_ERR, "Wheel id %u: move to position %d failed (status %d), position stays as it was",
                        static_cast<uint32_t>(device_id), static_cast<int>(value),
                        static_cast<int>(wire_status(result)));
        return result.is_ok();
    });
}

void publish_standalone_wheel_device(WheelRecord& record) {
    Server* server = alpaca_server();
    if (server == nullptr)
        return;
    const uint32_t id = record.info.id;
    if (auto known = wheel_devices.find(id); known != wheel_devices.end()) {
        known->second->attach(record);
        return;
    }
    try {
        auto* device = new CVStandaloneWheel(record);
        if (server->add_device(device) >= 0)
            wheel_devices.emplace(id, device);
    } catch (const std::bad_alloc&) {
        log_message(LOG_ERR, "Cannot allocate the Alpaca device of wheel id %u", id);
    }
}

}  // namespace AlpacaServer
