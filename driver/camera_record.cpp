#include "driver/camera_record.h"

void reset_camera_record(CameraRecord& camera) {
    camera.pid = 0;
    camera.camera_type = 0;
    camera.camera_class = 0;
    camera.info = CameraInfo{};
    camera.owner_sock = 0;
    camera.owner_addr = sockaddr_in{};
    camera.sensor_variant = 0;
    camera.bin_x = 1;
    camera.bin_y = 1;
    camera.hw_bin = HardwareBinning{};
    camera.fw = 0;
    camera.fh = 0;
    camera.shutter_open_ms = 0;
    camera.shutter_close_ms = 0;
    camera.read_mode = 0;
    camera.temp_format = false;
    camera.extended_fw = false;
    camera.fixed_read_mode = false;
    camera.overscan = false;
    camera.bothgains = false;
    camera.hdr_gain = DEFAULT_HDR_GAIN;
    camera.hdr_offset = DEFAULT_HDR_OFFSET;
    camera.exp_time_actual = 1.0;
    camera.clock_period = DEFAULT_CLOCK_PERIOD;
    camera.bin_sum = false;
    camera.bin_saturate = false;
    camera.gain = 0;
    camera.reading = false;
    camera.shutter_is_open = false;
    camera.ver128_hi = 0;
    camera.ver128_lo = 0;
    camera.ver129_hi = 0;
    camera.ver129_lo = 0;
    camera.ver130 = 0;
    camera.ver131 = 0;
    camera.ver_reserved = 0;
}

uint32_t sensor_variant(uint32_t camera_type, uint32_t camera_class, uint16_t width) {
    if (!is_cmos_type(camera_type))
        return 0;
    switch (camera_class) {
    case 10:
        return 6;
    case 11: case 12:
        return width == 11712 ? 4 : 5;
    case 8: case 9:
        return width == 6276 ? 2 : 3;
    case 6: case 7:
        return width == 8336 ? 7 : 1;
    default:
        return 0;
    }
}

bool hw_binning_capable(const CameraRecord& camera) {
    if (!is_cmos_type(camera.camera_type) || camera.pid == 3138 || !camera.hw_bin.enabled)
        return false;
    switch (camera.camera_type) {
    case 24:
        return camera.ver128_lo >= 7;
    case 22:
        return camera.ver128_lo >= 3;
    default:
        return true;
    }
}
