// The GPS answers of the CMOS cameras, decoded. Pure functions over the
// answer bytes: nothing here talks to a camera, and no length, count or
// index taken from an answer is trusted before it has been checked against
// the bytes actually received.
//
// Results: ok; bad_answer when the answer (or its text) is missing or
// malformed; gps_ticks_out_of_range when the tick count is out of range.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "driver/result.h"

// A calendar date and time of day (UTC).
struct GpsTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0;
    double second = 0;  // with its fraction
};

// The time-stamp answer to 0x2A (exposure start) or 0x2B (now):
//   byte 0      status
//   bytes 1-4   N, ticks of the camera's clock since the time in the text
//   bytes 5-8   S, whole seconds since the time in the text
//   byte 9      n, the text length
//   bytes 10-   the text: hhmmss.sss, then day, month and year, each after
//               one separator character (e.g. "211530.000,31,12,2024")
inline constexpr size_t GPS_STAMP_MIN_ANSWER = 20;
inline constexpr size_t GPS_ANSWER_CAPACITY = 64;
inline constexpr size_t GPS_STAMP_TEXT_MIN = 11, GPS_STAMP_TEXT_MAX = 54;
inline constexpr size_t GPS_POSITION_TEXT_MIN = 11, GPS_POSITION_TEXT_MAX = 62;

// Tick counts must stay below one second of the camera's clock (with some
// margin): 25.25 MHz for class 10, 72.7604 MHz for the others.
inline constexpr uint32_t GPS_TICK_LIMIT_CLASS10 = 25250000;
inline constexpr uint32_t GPS_TICK_LIMIT = 72760400;

struct GpsStampCounts {
    uint32_t ticks = 0;  // N
    uint32_t seconds = 0;  // S
};

// The counts of a time-stamp answer: bad_answer when fewer than 20 bytes
// came, gps_ticks_out_of_range when N is not below `tick_limit`.
DriverResult parse_gps_stamp_counts(std::span<const uint8_t> answer, uint32_t tick_limit, GpsStampCounts& counts);

// The base time of a time-stamp answer (its text): bad_answer when the text length
// is outside 11..54, runs past the bytes received, or the text does not
// hold a positive time of day (hour < 24, minute < 60, second < 61) and a
// date with day 1..31, month 1..12 and year 1..9999. `base` is zeroed first.
DriverResult parse_gps_stamp_text(std::span<const uint8_t> answer, GpsTime& base);

// `base` moved on by `offset_seconds` through the Julian day, with the
// calendar rules of the Gregorian reform (15 October 1582). A time within
// a millisecond of midnight becomes 00:00:00 of the next day.
GpsTime gps_time_after(const GpsTime& base, double offset_seconds);

// The position answer to 0x2C: status, 8 bytes, the text length n at byte
// 9, the text from byte 10. The text holds the fields of an NMEA GGA
// sentence body: time (skipped), latitude ddmm.mmmm, N|S, longitude
// dddmm.mmmm, E|W, fix, satellites, HDOP (skipped), altitude.
struct GpsPosition {
    double latitude = 0;   // degrees, south negative
    double longitude = 0;  // degrees, west negative
    double altitude = 0;   // metres
    int satellites = 0;
    bool valid = false;    // latitude, longitude, their hemispheres and the fix were present
};

// bad_answer when at most 9 bytes came, n is outside 11..62 or runs past the bytes
// received, a field up to the altitude is missing, or a number does not
// convert. Empty latitude, longitude or hemisphere fields give 0 and
// clear `valid`, an empty fix clears `valid`, empty satellites or altitude
// give 0. `position` is zeroed first.
DriverResult parse_gps_position(std::span<const uint8_t> answer, GpsPosition& position);
