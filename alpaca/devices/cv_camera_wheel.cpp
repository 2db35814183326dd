#include <syslog.h>

#include <cstdio>

#include "alpaca/devices/cv_camera.h"
#include "alpaca/devices/driver_info.h"
#include "alpaca/types.h"
#include "common/log.h"
#include "common/threads.h"
#include "registry/registry.h"

namespace AlpacaServer {

namespace {

}  // namespace

CVCameraWheel::CVCameraWheel(std::shared_ptr<CameraClaim> claim) : claim_(std::move(claim)) {
    device_id = static_cast<int>(record().info.id);
}

CVCameraWheel::~CVCameraWheel() = default;  // a move left running is waited for

bool CVCameraWheel::usable() const {
    return claim_->wheel_connected.load() && record().state.load() == DeviceState::held;
}

int CVCameraWheel::positions() const { return record().info.filters; }

int CVCameraWheel::get_connected(bool& value) {
    value = usable();
    return kOk;
}

int CVCameraWheel::put_connected(bool value) {
    if (value == claim_->wheel_connected.load())
        return kOk;
    return value ? connect() : disconnect();
}

// The camera device holds the claim already: the two share it.
int CVCameraWheel::connect() {
    std::lock_guard<std::mutex> claiming(claim_->mutex);
    if (claim_->wheel_connected.load())
        return kOk;
    CameraRecord& camera = record();
    if (!claim_->camera_connected.load()) {
        if (!alpaca_claim_camera(&camera))
            return is_held(camera) ? kInvalidOperation : kNotConnected;
        if (camera.info.id != static_cast<uint32_t>(device_id)) {
            alpaca_release_camera(&camera);
            return kNotConnected;
        }
    }
    claim_->wheel_connected.store(true);
    return kOk;
}

int CVCameraWheel::disconnect() {
    std::lock_guard<std::mutex> claiming(claim_->mutex);
    if (!claim_->wheel_connected.load())
        return kOk;
    if (!claim_->camera_connected.load())
        alpaca_release_camera(&record());
    claim_->wheel_connected.store(false);
    return kOk;
}

int CVCameraWheel::get_description(char* value, std::size_t size) {
    if (!usable())
        return kNotConnected;
    char name[64] = {};
    get_name(name, sizeof name);
    char text[96];
    std::snprintf(text, sizeof text, "%s, Id: %u", name, static_cast<unsigned>(device_id));
    copy_text(value, size, text);
    return kOk;
}

int CVCameraWheel::get_devicestate(DeviceStateMap& value) {
    value.clear();
    value["Position"] = static_cast<int>(move_.position());
    value["TimeStamp"] = utc_timestamp();
    return kOk;
}

int CVCameraWheel::get_interfaceversion(uint32_t& value) {
    value = 3;
    return kOk;
}

int CVCameraWheel::get_name(char* value, std::size_t size) {
    std::lock_guard<std::mutex> hold(claim_->name_mutex);
    char text[64];
    std::snprintf(text, sizeof text, "%s FW", claim_->name.c_str());
    copy_text(value, size, text);
    return kOk;
}

int CVCameraWheel::get_focusoffsets(std::vector<int>& value) {
    if (!usable())
        return kNotConnected;
    value.assign(static_cast<size_t>(positions()), 0);
    return kOk;
}

int CVCameraWheel::get_names(std::vector<std::string>& value) {
    if (!usable())
        return kNotConnected;
    value.clear();
    for (int i = 1; i <= positions(); ++i)
        value.push_back("Filter " + std::to_string(i));
    return kOk;
}

int CVCameraWheel::get_position(int32_t& value) {
    if (!usable())
        return kNotConnected;
    value = move_.position();
    return kOk;
}

// The move runs on a thread of its own; the position reads −1 until it
// ends, then the target, or where the wheel was when the move failed.
int CVCameraWheel::put_position(int32_t value) {
    if (!usable())
        return kNotConnected;
    if (value < 0 || value >= positions())
        return kInvalidValue;
    return move_.start(value, [this, value] {
        const DriverResult result = set_filter(record(), static_cast<uint8_t>(value));
        if (result.failed())
            log_message(LOG_ERR, "Camera %d: moving the filter wheel to %d failed: %d", device_id, value,
                        wire_status(result));
        return result.is_ok();
    });
}

}  // namespace AlpacaServer
