#include "tests/alpaca/support/recording_devices.h"

namespace AlpacaTest {

std::unique_ptr<AlpacaServer::Device> make_recording_device(int type, int device_id, std::string name) {
    switch (type) {
    case 1: return std::make_unique<RecordingCamera>(device_id, std::move(name));
    case 2: return std::make_unique<RecordingCoverCalibrator>(device_id, std::move(name));
    case 3: return std::make_unique<RecordingDome>(device_id, std::move(name));
    case 4: return std::make_unique<RecordingFilterWheel>(device_id, std::move(name));
    case 5: return std::make_unique<RecordingFocuser>(device_id, std::move(name));
    case 6: return std::make_unique<RecordingObservingConditions>(device_id, std::move(name));
    case 7: return std::make_unique<RecordingRotator>(device_id, std::move(name));
    case 8: return std::make_unique<RecordingSafetyMonitor>(device_id, std::move(name));
    case 9: return std::make_unique<RecordingSwitch>(device_id, std::move(name));
    case 10: return std::make_unique<RecordingTelescope>(device_id, std::move(name));
    default: return nullptr;
    }
}

Recorder& recorder_of(AlpacaServer::Device& device) {
    return dynamic_cast<Recorder&>(device);
}

}  // namespace AlpacaTest
