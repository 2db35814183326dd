#include "driver/camera_ops.h"

#include <syslog.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "common/log.h"
#include "driver/bytes.h"
#include "driver/transport.h"

namespace {

template <size_t N>
DriverResult send(CameraRecord& camera, const std::array<uint8_t, N>& request) {
    uint8_t status = 0;
    return camera_command(camera, request.data(), N, &status, 1);
}

// A command whose answer carries data: an answer shorter than that is as
// good as none, whatever its status said.
template <size_t N>
DriverResult ask(CameraRecord& camera, const std::array<uint8_t, N>& request, uint8_t* response, size_t length) {
    size_t received = 0;
    const DriverResult result = usb_camera_command_us(camera, request.data(), N, response, length, received);
    if (result.is_ok() && received < length)
        return DriverResult::bad_answer();
    return result;
}

uint8_t lo(unsigned value) { return static_cast<uint8_t>(value); }
uint8_t hi(unsigned value) { return static_cast<uint8_t>(value >> 8); }

bool in_classes(const CameraRecord& camera, std::initializer_list<uint32_t> classes) {
    return std::find(classes.begin(), classes.end(), camera.camera_class) != classes.end();
}

// Raw set point or reading of the camera's temperature sensor.
struct Linear {
    double scale, offset;  // celsius = raw * scale + offset
};

Linear temperature_conversion(const CameraRecord& camera) {
    if (is_dual_sample(camera))
        return camera.camera_type == 3 ? Linear{0.082651774, -89.03645833} : Linear{0.008789183, -85.79743083};
    return {0.00219729575, -85.79743083};
}

uint16_t raw_set_point(const CameraRecord& camera, double celsius) {
    double raw = 0;
    if (is_dual_sample(camera))
        raw = camera.camera_type == 3 ? celsius * 12.09895385 + 1077.248 + 0.5
                                      : celsius * 113.7762163 + 9761.707047 + 0.5;
    else
        raw = celsius * 455.1048652 + 39046.828188 + 0.5;
    if (raw > 65535)
        return 0xFFFF;
    if (raw < 0)
        return 0;
    return static_cast<uint16_t>(raw);
}

double convert(const CameraRecord& camera, int index, uint16_t raw) {
    const uint32_t cls = camera.camera_class;
    if (index >= 128)
        return raw;
    if (cls == 2) {
        if (index == 10)
            return raw * 17.9075 / 2048;
        if (camera.temp_format)
            return static_cast<int16_t>(raw) * 0.0625;
        return raw * 0.070313465 - 85.79743083;
    }
    if (index == 20)
        return raw / 1000.0;
    if (cls == 4 || cls == 5)
        return raw / 256.0;
    if (index == 10) {
        if (is_dual_sample(camera))
            return camera.camera_type == 3 ? raw * 16.363636 / 2048 : raw * 18.125 / 16384;
        return raw * 18.125 / 65536;
    }
    const Linear t = temperature_conversion(camera);
    return raw * t.scale + t.offset;
}

// Electrons per ADU of the CMOS types follow from the gain setting.
DriverResult cmos_electrons_per_adu(const CameraRecord& camera, float& value) {
    if (camera.camera_type == 24) {
        value = camera.read_mode == 2 ? 19.5f : 0.85f;
        return DriverResult::ok();
    }
    double full_scale = 0, limit = 0, base = 0;
    if (camera.camera_type == 22) {
        full_scale = 4095, limit = 4030, base = camera.camera_class == 7 ? 3.1 : 0.78;
    } else {
        full_scale = 2048, limit = 1957, base = 4.53;
    }
    const double g = std::min<double>(camera.gain, limit);
    const double factor = std::pow(10.0, -20 * std::log10(1 - g / full_scale) / 20);
    if (factor == 0)
        return DriverResult::refused();
    double result = base / factor;
    if (camera.bin_sum)
        result *= camera.hw_bin.enabled ? camera.hw_bin.x * camera.hw_bin.y : camera.bin_x * camera.bin_y;
    value = static_cast<float>(result);
    return DriverResult::ok();
}

DriverResult cooler_power(CameraRecord& camera, float& value) {
    if (is_dual_sample(camera))
        return DriverResult::no_such_value();
    uint8_t answer[5] = {};
    if (const DriverResult result = ask(camera, std::array<uint8_t, 1>{0x11}, answer, sizeof answer); result.failed())
        return result;
    const uint16_t p = load_le16(answer + 1), q = load_le16(answer + 3);
    value = q == 0 ? -1.0f : static_cast<float>(static_cast<double>(p) / q);
    return DriverResult::ok();
}

// The sub-index a value index is read with; -1 when the camera has none.
int sub_index(const CameraRecord& camera, int index) {
    if (index >= 128 && index <= 131)
        return index;
    switch (camera.camera_class) {
    case 2:
        switch (index) {
        case 0: return 0;
        case 10: return 2;
        case 255: return 255;
        default: return -1;
        }
    case 4:
    case 5:
        switch (index) {
        case 0: return 0;
        case 20: return 3;
        default: return -1;
        }
    default:
        switch (index) {
        case 0: return 0;
        case 1: case 2: case 3: return 1;
        case 10: return 2;
        case 20: return 3;
        default: return -1;
        }
    }
}

}  // namespace

DriverResult set_binning(CameraRecord& camera, uint8_t bin_x, uint8_t bin_y) {
    if (bin_x == 0 || bin_y == 0)
        return DriverResult::refused();
    if (is_cmos_type(camera)) {
        if (!camera.hw_bin.enabled) {
            // A camera still binning from before would send a quarter of
            // the frame the software binning expects.
            if (camera.hw_bin.x != 1 || camera.hw_bin.y != 1) {
                if (const DriverResult result = send(camera, std::array<uint8_t, 4>{0x01, 0x01, 0x01, 0x00}); result.failed())
                    return result;  // still binning: the record says so
            }
            camera.bin_x = bin_x;
            camera.bin_y = bin_y;
            camera.hw_bin.x = camera.hw_bin.y = 1;
            return DriverResult::ok();
        }
        if (bin_x != bin_y || bin_x > 2)
            return DriverResult::refused();
        camera.bin_x = camera.bin_y = 1;
        if (camera.hw_bin.x == bin_x && camera.hw_bin.y == bin_y)
            return DriverResult::ok();
        uint8_t mode = 0;
        if (bin_x == 2 && (camera.camera_type == 23 || (camera.camera_type == 22 && camera.ver128_lo > 4)))
            mode = static_cast<uint8_t>((camera.bin_saturate ? 1 : 0) | (camera.bin_sum ? 2 : 0));
        // The record follows what the camera took: windows and readouts are
        // planned for the frame it will deliver.
        if (const DriverResult result = send(camera, std::array<uint8_t, 4>{0x01, bin_x, bin_y, mode}); result.failed())
            return result;
        camera.hw_bin.x = camera.hw_bin.y = bin_x;
        return DriverResult::ok();
    }
    if (is_new_interface(camera)) {
        camera.bin_x = bin_x;
        camera.bin_y = bin_y;
        return DriverResult::ok();
    }
    if (camera.camera_class == 2) {
        if (bin_y == camera.bin_y)
            return DriverResult::ok();
        if (const DriverResult result = send(camera, std::array<uint8_t, 2>{0x01, bin_y}); result.failed())
            return result;
        camera.bin_x = camera.bin_y = bin_y;
        return DriverResult::ok();
    }
    if (bin_x != camera.bin_x) {
        if (const DriverResult result = send(camera, std::array<uint8_t, 2>{0x01, bin_x}); result.failed())
            return result;
        camera.bin_x = bin_x;
    }
    if (bin_y != camera.bin_y) {
        if (const DriverResult result = send(camera, std::array<uint8_t, 2>{0x02, bin_y}); result.failed())
            return result;
        camera.bin_y = bin_y;
    }
    return DriverResult::ok();
}

DriverResult set_read_mode(CameraRecord& camera, uint32_t mode) {
    camera.read_mode = mode;
    if (camera.fixed_read_mode)
        return DriverResult::ok();
    int parameter = -1;
    uint8_t command = 0x03;
    switch (camera.camera_class) {
    case 2: {
        static constexpr int MODES[] = {0x02, 0x10};
        command = 0x02;
        parameter = mode < 2 ? MODES[mode] : -1;
        break;
    }
    case 3:
        if (camera.camera_type == 8)
            parameter = mode < 3 ? static_cast<int>(2 - mode) : -1;
        else
            parameter = mode < 2 ? static_cast<int>(1 - mode) : -1;
        break;
    case 4: case 5: case 6: case 7:
        parameter = mode < 4 ? static_cast<int>(mode) : -1;
        break;
    case 10:
        parameter = mode < 4 ? static_cast<int>(std::min<uint32_t>(mode, 2)) : -1;
        break;
    default:
        break;
    }
    if (parameter < 0) {
        camera.read_mode = 0;
        return DriverResult::refused();
    }
    return send(camera, std::array<uint8_t, 2>{command, static_cast<uint8_t>(parameter)});
}

DriverResult set_filter(CameraRecord& camera, uint8_t position) {
    if (in_classes(camera, {2, 4, 5}))
        return DriverResult::not_available();
    return send(camera, std::array<uint8_t, 2>{static_cast<uint8_t>(camera.camera_class == 3 ? 0x0E : 0x10), position});
}

DriverResult set_temperature(CameraRecord& camera, double celsius) {
    if (in_classes(camera, {2, 4, 5}))
        return DriverResult::not_available();
    if (std::isnan(celsius))
        return DriverResult::refused();
    const uint16_t raw = raw_set_point(camera, celsius);
    return send(camera, std::array<uint8_t, 3>{static_cast<uint8_t>(camera.camera_class == 3 ? 0x10 : 0x0C), lo(raw),
                                               hi(raw)});
}

DriverResult get_value(CameraRecord& camera, int index, float& value) {
    value = 0;
    if (index == 11 && camera.camera_class != 2 && camera.camera_class != 4 && camera.camera_class != 5)
        return cooler_power(camera, value);
    if (index == 20 && is_cmos_type(camera))
        return cmos_electrons_per_adu(camera, value);
    const int sub = sub_index(camera, index);
    if (sub < 0)
        return DriverResult::no_such_value();
    uint8_t answer[3] = {};
    const std::array<uint8_t, 2> request{static_cast<uint8_t>(camera.camera_class == 2 ? 0x0E : 0x0F),
                                         static_cast<uint8_t>(sub)};
    if (const DriverResult result = ask(camera, request, answer, sizeof answer); result.failed())
        return result;
    const uint16_t raw = load_le16(answer + 1);
    if (index == 255) {
        value = raw == 0x8080 ? 1.0f : 0.0f;
        return DriverResult::ok();
    }
    value = static_cast<float>(convert(camera, index, raw));
    return DriverResult::ok();
}

int index_to_value_index(int index) {
    switch (index) {
    case 0: return 0;
    case 1: case 2: case 3: return 1;
    case 10: return 2;
    case 11: return 3;
    case 20: return 4;
    case 128: return 5;
    case 129: return 6;
    case 130: return 7;
    case 131: return 8;
    default:
        log_message(LOG_ERR, "index_to_value_index() error: Unknown index %i", index);
        return 0;
    }
}

DriverResult get_cooler_power_dual(CameraRecord& camera, float& value) {
    value = -1;
    if (!is_dual_sample(camera))
        return DriverResult::not_available();
    uint8_t answer[5] = {};
    if (const DriverResult result = ask(camera, std::array<uint8_t, 1>{0x11}, answer, sizeof answer); result.failed())
        return result;
    const uint16_t on = load_le16(answer + 1), off = load_le16(answer + 3);
    if (on && off)
        value = static_cast<float>(static_cast<double>(on) / (on + off));
    else if (on)
        value = 1;
    else if (off)
        value = 0;
    return DriverResult::ok();
}

DriverResult set_gain(CameraRecord& camera, uint32_t gain) {
    if (!is_new_interface(camera) || camera.camera_class == 10)
        return DriverResult::not_available();
    uint32_t limit = 0xFFFF;
    if (camera.camera_type == 22)
        limit = 4030;
    else if (camera.camera_type == 23)
        limit = 1957;
    gain = std::min(gain, limit);
    if (const DriverResult result = send(camera, std::array<uint8_t, 4>{0x17, 0x00, lo(gain), hi(gain)}); result.failed())
        return result;
    camera.gain = gain;
    return DriverResult::ok();
}

DriverResult pulse_guide(CameraRecord& camera, int16_t ra_ms, int16_t dec_ms) {
    if (!in_classes(camera, {2, 4, 5, 6}))
        return DriverResult::not_available();
    const auto ra = static_cast<uint16_t>(ra_ms), dec = static_cast<uint16_t>(dec_ms);
    if (camera.camera_class == 2)
        return send(camera, std::array<uint8_t, 5>{0x10, lo(ra), hi(ra), lo(dec), hi(dec)});
    return send(camera, std::array<uint8_t, 6>{0x18, 0x00, lo(ra), hi(ra), lo(dec), hi(dec)});
}

DriverResult is_guiding(CameraRecord& camera, bool& guiding) {
    guiding = false;
    if (!in_classes(camera, {2, 4, 5, 6}))
        return DriverResult::not_available();
    if (camera.camera_class == 2) {
        uint8_t answer[2] = {};
        if (const DriverResult result = ask(camera, std::array<uint8_t, 1>{0x11}, answer, sizeof answer); result.failed())
            return result;
        guiding = answer[1] != 0;
        return DriverResult::ok();
    }
    uint8_t answer[6] = {};
    if (const DriverResult result = ask(camera, std::array<uint8_t, 1>{0x19}, answer, sizeof answer); result.failed())
        return result;
    guiding = load_le16(answer + 2) != 0 || load_le16(answer + 4) != 0;
    return DriverResult::ok();
}

DriverResult open_shutter(CameraRecord& camera) {
    if (camera.camera_class == 2)
        return DriverResult::ok();
    return send(camera, std::array<uint8_t, 1>{static_cast<uint8_t>(is_new_interface(camera) ? 0x05 : 0x0C)});
}

DriverResult close_shutter(CameraRecord& camera) {
    if (camera.camera_class == 2)
        return DriverResult::ok();
    return send(camera, std::array<uint8_t, 1>{static_cast<uint8_t>(is_new_interface(camera) ? 0x06 : 0x0D)});
}

DriverResult clear_sensor(CameraRecord& camera) {
    return send(camera, std::array<uint8_t, 1>{static_cast<uint8_t>(camera.camera_class == 2 ? 0x03 : 0x04)});
}

DriverResult set_feature5_level(CameraRecord& camera, uint8_t level) {
    if (!in_classes(camera, {2, 4, 5, 6}))
        return DriverResult::not_available();
    return send(camera, std::array<uint8_t, 2>{static_cast<uint8_t>(camera.camera_class == 2 ? 0x0F : 0x0D), level});
}

DriverResult set_feature8_level(CameraRecord& camera, uint8_t level) {
    if (camera.camera_type == 3 || in_classes(camera, {2, 4, 5, 6, 8}))
        return DriverResult::not_available();
    return send(camera, std::array<uint8_t, 2>{static_cast<uint8_t>(camera.camera_class == 3 ? 0x17 : 0x0E), level});
}

DriverResult get_aux_state(CameraRecord& camera, uint32_t& state) {
    state = 0;
    if (in_classes(camera, {2, 4, 5}))
        return DriverResult::not_available();
    uint8_t answer[2] = {};
    const std::array<uint8_t, 1> request{static_cast<uint8_t>(camera.camera_class == 3 ? 0x1B : 0x23)};
    if (const DriverResult result = ask(camera, request, answer, sizeof answer); result.failed())
        return result;
    state = answer[1];
    return DriverResult::ok();
}

DriverResult set_preflash(CameraRecord& camera, double seconds, unsigned count) {
    if (!in_classes(camera, {3, 10}) || camera.camera_type == 3)
        return DriverResult::not_available();
    if (!(seconds >= 0))
        return DriverResult::refused();
    const double ms = seconds * 1000;
    const uint16_t duration = ms > 65535 ? 0xFFFF : static_cast<uint16_t>(std::lround(ms));
    const auto n = static_cast<uint8_t>(std::min(count, 16u));
    if (camera.camera_class == 10)
        return send(camera, std::array<uint8_t, 4>{0x15, n, lo(duration), hi(duration)});
    return send(camera, std::array<uint8_t, 4>{0x18, lo(duration), hi(duration), n});
}

DriverResult set_type8_pair(CameraRecord& camera, uint8_t a, uint8_t b) {
    if (camera.camera_type != 8)
        return DriverResult::not_available();
    return send(camera, std::array<uint8_t, 3>{0x19, a, b});
}
