#include "driver/camera_init.h"

#include <array>
#include <chrono>
#include <thread>

#include "common/log.h"
#include "driver/bytes.h"
#include "driver/camera_ops.h"
#include "driver/transport.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Operation>
uint32_t timed_ms(Operation operation, CameraRecord& camera) {
    const Clock::time_point start = Clock::now();
    (void)operation(camera);
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

uint16_t version_word(CameraRecord& camera, int index) {
    float value = 0;
    if (get_value(camera, index, value).failed())
        return 0;
    return static_cast<uint16_t>(value);
}

bool plausible(uint16_t word) { return word != 0 && word != 0xFFFF; }

// The dual-gain coefficients the factory stored in the camera; erased or
// never written words keep the defaults.
void read_calibration(CameraRecord& camera) {
    const std::array<uint8_t, 6> request{0x12, 0x60, 0xFF, 0x03, 0x00, 0x08};
    std::array<uint8_t, 9> answer{};
    size_t received = 0;
    if (usb_camera_command_us(camera, request.data(), request.size(), answer.data(), answer.size(), received)
            .failed() ||
        received != answer.size())
        return;
    const uint16_t offset = load_le16(answer.data() + 1 + 2);
    const uint16_t gain = load_le16(answer.data() + 1 + 6);
    if (!plausible(offset) || !plausible(gain))
        return;
    camera.hdr_gain = gain;
    camera.hdr_offset = static_cast<int16_t>(offset);
}

}  // namespace

void init_camera(CameraRecord& camera, const CameraInfo& info) {
    if (camera.camera_class == 2) {
        float value = 0;
        camera.extended_fw = get_value(camera, 255, value).is_ok() && value == 1;
        camera.fixed_read_mode = false;
        camera.temp_format = (info.flags & 0x02) != 0;
    } else {
        camera.temp_format = false;
        camera.extended_fw = false;
        switch (camera.camera_type) {
        case 10: case 12: case 13: case 15: case 16: case 22: case 23:
            camera.fixed_read_mode = true;
            break;
        default:
            camera.fixed_read_mode = false;
        }
    }

    const uint32_t open1 = timed_ms(open_shutter, camera);
    const uint32_t close1 = timed_ms(close_shutter, camera);
    std::this_thread::sleep_for(std::chrono::milliseconds(shutter_settle_ms));
    const uint32_t open2 = timed_ms(open_shutter, camera);
    const uint32_t close2 = timed_ms(close_shutter, camera);
    camera.shutter_open_ms = (open1 + open2) / 2;
    camera.shutter_close_ms = (close1 + close2) / 2;
    log_trace("open time: %ums, close time: %ums", camera.shutter_open_ms, camera.shutter_close_ms);

    const uint16_t ver128 = version_word(camera, 128);
    const uint16_t ver129 = version_word(camera, 129);
    camera.ver128_hi = ver128 >> 8;
    camera.ver128_lo = ver128 & 0xFF;
    camera.ver129_hi = ver129 >> 8;
    camera.ver129_lo = ver129 & 0xFF;
    camera.ver130 = camera.camera_class == 2 ? 0 : version_word(camera, 130);
    camera.ver131 = camera.camera_class == 2 ? 0 : version_word(camera, 131);
    camera.ver_reserved = 0;

    if (is_cmos_type(camera)) {
        const std::array<uint8_t, 4> unbinned{0x01, 0x01, 0x01, 0x00};
        uint8_t status = 0;
        (void)camera_command(camera, unbinned.data(), unbinned.size(), &status, 1);
        // The camera bins 1x1 now whatever a previous client left it at.
        camera.hw_bin.x = camera.hw_bin.y = 1;
        switch (camera.camera_class) {
        case 10: camera.clock_period = 1.0 / 25000000; break;
        case 7: camera.clock_period = 1.0 / 72000000; break;
        default: camera.clock_period = 1.0 / 72040000;
        }
    }

    (void)clear_sensor(camera);

    if (camera.camera_class == 10) {
        if (camera.pid == 3138) {
            camera.hdr_gain = 24925;
            camera.hdr_offset = -3654;
        }
        read_calibration(camera);
    }
}
