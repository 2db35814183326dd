// Where a camera or wheel record stands. Moves between states are made by
// the registry alone (registry/registry.cpp, move_to), under registry_mutex.
#pragma once

#include <cstdint>

enum class DeviceState : uint8_t {
    free,         // no device: the slot may be taken
    present,      // the device's node is open, nobody holds it
    held,         // a client (TCP or the Alpaca server) holds the present device
    held_absent,  // held, but the device was unplugged; its node is gone
};

inline bool is_held(DeviceState state) { return state == DeviceState::held || state == DeviceState::held_absent; }
inline bool is_open(DeviceState state) { return state == DeviceState::present || state == DeviceState::held; }
// Known to clients: listed by the internal enumeration.
inline bool is_known(DeviceState state) { return state != DeviceState::free; }
