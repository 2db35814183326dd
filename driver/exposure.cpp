#include "driver/exposure.h"

#include <array>

#include "driver/camera_ops.h"
#include "driver/transport.h"

namespace {

// The last firmware of the new-interface cameras without the end-of-exposure
// command.
constexpr uint16_t LAST_FIRMWARE_WITHOUT_END = 3;

template <size_t N>
int send(CameraRecord& camera, const std::array<uint8_t, N>& request) {
    uint8_t status = 0;
    return camera_command(camera, request.data(), N, &status, 1);
}

}  // namespace

int start_exposure(CameraRecord& camera, const ExposureInfo& exposure) {
    if (is_cmos_type(camera))
        return 4;
    const bool light = exposure.shutter != 0;
    if (is_new_interface(camera))
        return send(camera, std::array<uint8_t, 2>{0x07, static_cast<uint8_t>(light ? 1 : 0)});
    if (int result = clear_sensor(camera); result != 0)
        return result;
    // shutter_is_open follows what the camera did: a move that failed
    // leaves the blades where they were.
    if (light && !camera.shutter_is_open) {
        if (int result = open_shutter(camera); result != 0)
            return result;
        camera.shutter_is_open = true;
    } else if (!light && camera.shutter_is_open) {
        if (int result = close_shutter(camera); result != 0)
            return result;
        camera.shutter_is_open = false;
    }
    return 0;
}

int end_exposure(CameraRecord& camera, uint8_t close, uint8_t second) {
    if (is_cmos_type(camera))
        return 4;
    if (!is_new_interface(camera)) {
        if (close && camera.shutter_is_open) {
            close_shutter(camera);
            camera.shutter_is_open = false;
        }
        return 0;
    }
    if (camera.ver128_lo <= LAST_FIRMWARE_WITHOUT_END)
        return 0;
    return send(camera, std::array<uint8_t, 3>{0x08, close, second});
}
