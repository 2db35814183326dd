// Recording test devices of every Alpaca type (generated classes, see
// make_recording_devices.py) and their factory.
#pragma once

#include <memory>
#include <string>

#include "recording_devices.generated.h"

namespace AlpacaTest {

// A recording device of `type` (1-10), null for other numbers.
std::unique_ptr<AlpacaServer::Device> make_recording_device(int type, int device_id, std::string name);

// The recorder of a device made by make_recording_device.
Recorder& recorder_of(AlpacaServer::Device& device);

}  // namespace AlpacaTest
