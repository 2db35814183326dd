// The GPS operations of camera_ops.h: the exchanges and the corrections
// around the pure decoders of gps.h.
#include <array>
#include <cmath>

#include "driver/bytes.h"
#include "driver/camera_ops.h"
#include "driver/transport.h"

namespace {

// Ticks of the camera's time-stamp clock stay below about one second's worth.
uint32_t tick_limit(const CameraRecord& camera) {
    return camera.camera_class == 10 ? GPS_TICK_LIMIT_CLASS10 : GPS_TICK_LIMIT;
}

// Row timing of the sensor variants: rows per frame, ticks per line and the
// offset of the first exposed row, in lines.
struct RowTiming {
    uint32_t variant;
    double rows, line_ticks, offset_lines;
};
constexpr RowTiming ROW_TIMING[] = {
    {1, 3048, 878, 25},   {2, 4224, 2496, 45},   {3, 6440, 2810, 45},
    {4, 8862, 2948, 111}, {5, 10766, 3300, 103}, {7, 5706, 814, 44},
};

// The stamp is taken at the start of the frame's readout; the exposure of
// the window's rows began earlier by the rows read before them.
double exposure_start_correction(const CameraRecord& camera) {
    for (const RowTiming& timing : ROW_TIMING) {
        if (timing.variant != camera.sensor_variant)
            continue;
        const double line = timing.line_ticks * camera.clock_period;
        const double lead = (timing.rows + camera.fh - camera.info.height - 4) * line;
        double correction = 0;
        if (camera.exp_time_actual < 4 * line)
            correction = lead - 4 * line;
        else if (camera.exp_time_actual < lead)
            correction = lead - std::floor(camera.exp_time_actual / line) * line;
        return correction + timing.offset_lines * line;
    }
    return 0;
}

// One time stamp: [command], then the clock measurement [0x2D].
DriverResult read_stamp(CameraRecord& camera, uint8_t command, GpsTime& time) {
    time = {};
    std::array<uint8_t, GPS_ANSWER_CAPACITY> answer{};
    size_t received = 0;
    if (const DriverResult result = usb_camera_command_us(camera, &command, 1, answer.data(), answer.size(), received);
        result.failed())
        return result;
    const std::span<const uint8_t> bytes(answer.data(), received);
    GpsStampCounts counts;
    if (const DriverResult result = parse_gps_stamp_counts(bytes, tick_limit(camera), counts); result.failed())
        return result;

    const uint8_t measure = 0x2D;
    std::array<uint8_t, 5> clock{};
    size_t clock_received = 0;
    if (usb_camera_command_us(camera, &measure, 1, clock.data(), clock.size(), clock_received).is_ok() &&
        clock_received == clock.size()) {
        const uint32_t frequency = load_le32(clock.data() + 1);
        // A measurement of 0 is no measurement; keep the nominal period then.
        if (frequency != 0 && frequency < tick_limit(camera))
            camera.clock_period = 1.0 / frequency;
    }

    double ticks = counts.ticks;
    double seconds = counts.seconds;
    if (command == 0x2A) {
        ticks += 6;
        seconds += exposure_start_correction(camera);
    }
    GpsTime base;
    if (const DriverResult result = parse_gps_stamp_text(bytes, base); result.failed())
        return result;
    time = gps_time_after(base, ticks * camera.clock_period + seconds);
    return DriverResult::ok();
}

}  // namespace

DriverResult get_gps_time(CameraRecord& camera, GpsTime& time) {
    time = {};
    if (!is_cmos_type(camera))
        return DriverResult::not_available();
    return read_stamp(camera, 0x2A, time);
}

DriverResult get_gps_data(CameraRecord& camera, GpsData& data) {
    data = {};
    if (is_cmos_type(camera) && read_stamp(camera, 0x2B, data.time).failed())
        data.time = {};
    const uint8_t request = 0x2C;
    std::array<uint8_t, GPS_ANSWER_CAPACITY> answer{};
    size_t received = 0;
    if (const DriverResult result = usb_camera_command_us(camera, &request, 1, answer.data(), answer.size(), received);
        result.failed())
        return result;
    return parse_gps_position(std::span<const uint8_t>(answer.data(), received), data.position);
}
