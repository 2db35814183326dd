// Fuzzes the decoders of the cameras' GPS answers: the input is one answer,
// read as a time stamp and as a position. Whatever a camera sends, the
// decoders stay inside the bytes received and hand out only calendar dates
// and times that exist.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "driver/gps.h"

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

void check_time(const GpsTime& t) {
    check(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31);
    check(t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59);
    check(t.second >= 0 && t.second < 61);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> answer(data, size);

    GpsStampCounts counts;
    const int counted = parse_gps_stamp_counts(answer, GPS_TICK_LIMIT, counts);
    check(counted == 0 || counted == 5 || counted == 6);
    GpsTime base;
    const int read = parse_gps_stamp_text(answer, base);
    check(read == 0 || read == 5);
    if (read == 0) {
        check_time(base);
        check(base.year >= 1 && base.year <= 9999);
        // The largest offset a camera can ask for: every tick and second count.
        const double offset = counts.ticks / 72.04e6 + counts.seconds;
        const GpsTime moved = gps_time_after(base, offset);
        check_time(moved);
        check(moved.year >= base.year && moved.year <= base.year + 137);
    }

    GpsPosition position;
    const int located = parse_gps_position(answer, position);
    check(located == 0 || located == 5);
    if (located == 0) {
        check(std::isfinite(position.latitude) && std::isfinite(position.longitude) &&
              std::isfinite(position.altitude));
        check(position.satellites >= 0);
    }
    return 0;
}
