#include "driver/exposure.h"

#include <array>

#include "driver/camera_ops.h"
#include "driver/transport.h"

namespace {

// The last firmware of the new-interface cameras without the end-of-exposure
// command.
constexpr uint16_t LAST_FIRMWARE_WITHOUT_END = 3;

template <size_t N>
DriverResult send(CameraRecord& camera, const std::array<uint8_t, N>& request) {
    uint8_t status = 0;
    return camera_command(camera, request.data(), N, &status, 1);
}

}  // namespace

DriverResult start_exposure(CameraRecord& camera, const ExposureInfo& exposure) {
    if (is_cmos_type(camera))
        return DriverResult::not_available();
    const bool light = exposure.shutter != 0;
    if (is_new_interface(camera))
        return send(camera, std::array<uint8_t, 2>{0x07, static_cast<uint8_t>(light ? 1 : 0)});
    if (const DriverResult result = clear_sensor(camera); result.failed())
        return result;
    // shutter_is_open follows what the camera did: a move that failed
    // leaves the blades where they were.
    if (light && !camera.shutter_is_open) {
        if (const DriverResult result = open_shutter(camera); result.failed())
            return result;
        camera.shutter_is_open = true;
    } else if (!light && camera.shutter_is_open) {
        if (const DriverResult result = close_shutter(camera); result.failed())
            return result;
        camera.shutter_is_open = false;
    }
    return DriverResult::ok();
}

DriverResult end_exposure(CameraRecord& camera, uint8_t close, uint8_t second) {
    if (is_cmos_type(camera))
        return DriverResult::not_available();
    if (!is_new_interface(camera)) {
        if (close && camera.shutter_is_open) {
            (void)close_shutter(camera);
            camera.shutter_is_open = false;
        }
        return DriverResult::ok();
    }
    if (camera.ver128_lo <= LAST_FIRMWARE_WITHOUT_END)
        return DriverResult::ok();
    return send(camera, std::array<uint8_t, 3>{0x08, close, second});
}
