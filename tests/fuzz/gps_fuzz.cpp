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
    const ResultKind counted = parse_gps_stamp_counts(answer, GPS_TICK_LIMIT, counts).kind();
    check(counted == ResultKind::ok || counted == ResultKind::bad_answer ||
          counted == ResultKind::gps_ticks_out_of_range);
    GpsTime base;
    const ResultKind read = parse_gps_stamp_text(answer, base).kind();
    check(read == ResultKind::ok || read == ResultKind::bad_answer);
    if (read == ResultKind::ok) {
        check_time(base);
        check(base.year >= 1 && base.year <= 9999);
        // The largest offset a camera can ask for: every tick and second count.
        const double offset = counts.ticks / 72.04e6 + counts.seconds;
        const GpsTime moved = gps_time_after(base, offset);
        check_time(moved);
        check(moved.year >= base.year && moved.year <= base.year + 137);
    }

    GpsPosition position;
    const ResultKind located = parse_gps_position(answer, position).kind();
    check(located == ResultKind::ok || located == ResultKind::bad_answer);
    if (located == ResultKind::ok) {
        check(std::isfinite(position.latitude) && std::isfinite(position.longitude) &&
              std::isfinite(position.altitude));
        check(position.satellites >= 0);
    }
    return 0;
}
