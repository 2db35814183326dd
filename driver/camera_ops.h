// The camera operations other than exposure and readout: binning, readout
// mode, filter, temperature regulation and readings, gain, guiding, the
// shutter, the two level outputs, pre-flash, and the GPS of the CMOS
// cameras.
//
// Each operation decides from the camera's class, type or product id
// whether the camera has it, lays out the request and converts the answer.
// Results (driver/result.h), besides those of the transport (ok, busy
// during an image transfer, request_failed, device_status):
//   not_available           no such operation here; nothing is sent or logged
//   no_such_value           get_value: no such reading on this camera
//   bad_answer              an answer is missing, too short or malformed
//   gps_ticks_out_of_range  a GPS tick count out of range
//   refused                 a parameter the camera can't take
// Any thread may call them; commands are serialised by the transport. Only
// set_binning, set_read_mode, set_gain and the GPS operations (through
// clock_period) write the record, and they are called by the thread that
// holds the camera.
#pragma once

#include <cstdint>

#include "driver/camera_record.h"
#include "driver/gps.h"
#include "driver/result.h"

// Binning factors. Non-CMOS cameras of the new interface bin in software:
// the factors are only stored. Older ones get [0x01, bin_x] and [0x02,
// bin_y] for the factors that changed (class 2: [0x01, bin_y] for both
// axes). CMOS cameras with hw_bin.enabled take 1x1 or 2x2 only (else refused,
// nothing sent) and get [0x01, f, f, mode] when the camera's factors
// change; without it the factors are stored for software binning (and a
// camera still set to 2x2 is put back to 1x1). A factor of 0 is refused. A
// CMOS binning command that fails is returned, and the record keeps the
// camera's factors as they were.
DriverResult set_binning(CameraRecord& camera, uint8_t bin_x, uint8_t bin_y);

// Readout mode, stored in read_mode first; cameras with fixed_read_mode
// take it without a command. A mode the class lacks resets read_mode to 0
// and is refused.
DriverResult set_read_mode(CameraRecord& camera, uint32_t mode);

// Filter position: class 3 [0x0E, p], classes other than 2, 4 and 5 [0x10, p].
DriverResult set_filter(CameraRecord& camera, uint8_t position);

// Cooler set point in degrees Celsius, converted to the camera's raw word
// (clamped to 0..0xFFFF); not classes 2, 4, 5. NaN is refused.
DriverResult set_temperature(CameraRecord& camera, double celsius);

// A reading by index: 0 sensor temperature, 1-3 second temperature (°C),
// 10 supply voltage (V), 11 cooler power (0..1, -1 when the camera reports
// no period), 20 electrons per ADU, 128-131 version words, 255 (class 2)
// sub-frame firmware (1 or 0). `value` is 0 on anything but success.
DriverResult get_value(CameraRecord& camera, int index, float& value);

// The value-cache slot (0..8) of a get_value index; an unknown index logs
// "index_to_value_index() error: Unknown index %i" and gives 0.
int index_to_value_index(int index);
inline constexpr int VALUE_CACHE_SLOTS = 9;

// Cooler power of the dual-sample cameras from the on and off times:
// on/(on+off), 1 or 0 when only one is non-zero, -1 when both are 0.
// `value` is -1 unless the answer came.
DriverResult get_cooler_power_dual(CameraRecord& camera, float& value);

// Gain of a new-interface camera other than class 10, limited to 4030 (type
// 22), 1957 (type 23) or 0xFFFF; the limited value is stored on success.
DriverResult set_gain(CameraRecord& camera, uint32_t gain);

// Guide pulses in milliseconds, sign for direction; classes 2, 4, 5, 6.
DriverResult pulse_guide(CameraRecord& camera, int16_t ra_ms, int16_t dec_ms);

// Whether a guide pulse is still running; classes 2, 4, 5, 6.
DriverResult is_guiding(CameraRecord& camera, bool& guiding);

// The mechanical shutter; a no-op (ok) on class 2.
DriverResult open_shutter(CameraRecord& camera);
DriverResult close_shutter(CameraRecord& camera);

// Clears the charge of an idle sensor.
DriverResult clear_sensor(CameraRecord& camera);

// The two level-controlled outputs; classes 2, 4, 5, 6 for the first, not
// type 3 nor classes 2, 4, 5, 6, 8 for the second.
DriverResult set_feature5_level(CameraRecord& camera, uint8_t level);
DriverResult set_feature8_level(CameraRecord& camera, uint8_t level);

// The auxiliary state byte; not classes 2, 4, 5. `state` is 0 unless read.
DriverResult get_aux_state(CameraRecord& camera, uint32_t& state);

// Pre-flash before the next exposure: classes 3 (not type 3) and 10. The
// duration goes in milliseconds, saturating at 0xFFFF; the count is
// limited to 16. A negative or NaN duration is refused.
DriverResult set_preflash(CameraRecord& camera, double seconds, unsigned count);

// Type 8 only: [0x19, a, b].
DriverResult set_type8_pair(CameraRecord& camera, uint8_t a, uint8_t b);

// The time stamp of the last exposure start, corrected for the sensor's
// row timing; CMOS types only. Also refreshes clock_period from the
// camera's measured clock when that is plausible. `time` is zeroed first.
DriverResult get_gps_time(CameraRecord& camera, GpsTime& time);

// Position and time of the GPS receiver. The time part (CMOS types only)
// is zero when it can't be read; the result is that of the position.
struct GpsData {
    GpsPosition position;
    GpsTime time;
};
DriverResult get_gps_data(CameraRecord& camera, GpsData& data);
