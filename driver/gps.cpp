#include "driver/gps.h"

#include <charconv>
#include <cmath>

#include "driver/bytes.h"

namespace {

// The text of an answer with its length at byte 9, or false when the
// length is outside [min, max] or more than was received.
bool answer_text(std::span<const uint8_t> answer, size_t min, size_t max, std::string_view& text) {
    if (answer.size() <= 9)
        return false;
    const size_t length = answer[9];
    if (length < min || length > max || answer.size() - 10 < length)
        return false;
    text = std::string_view(reinterpret_cast<const char*>(answer.data() + 10), length);
    return true;
}

// A decimal number at the start of `text`; `used` is the count of
// characters it took. Infinities and NaN are not numbers a receiver sends.
bool leading_number(std::string_view text, double& value, size_t& used) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (ec != std::errc() || !std::isfinite(value))
        return false;
    used = static_cast<size_t>(end - text.data());
    return true;
}

// Decimal digits at the start of `text`, at most `max`.
bool leading_unsigned(std::string_view text, unsigned max, unsigned& value, size_t& used) {
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || value > max)
        return false;
    used = static_cast<size_t>(end - text.data());
    return true;
}

// A date field after its one separator character; must be non-zero.
bool date_field(std::string_view& rest, unsigned max, int& out) {
    if (rest.empty())
        return false;
    rest.remove_prefix(1);
    unsigned value = 0;
    size_t used = 0;
    if (!leading_unsigned(rest, max, value, used) || value == 0)
        return false;
    rest.remove_prefix(used);
    out = static_cast<int>(value);
    return true;
}

// Days and the fraction of the current day, counted so that the integer
// part changes at midnight (the Julian day plus one half).
double civil_julian_day(const GpsTime& t) {
    double y = t.year, m = t.month;
    if (t.month < 3) {
        y -= 1;
        m += 12;
    }
    const bool gregorian =
        t.year > 1582 || (t.year == 1582 && (t.month > 10 || (t.month == 10 && t.day >= 15)));
    const double b = gregorian ? 2 - std::floor(y / 100) + std::floor(y / 400) : 0;
    const double c = y < 0 ? std::floor(365.25 * y - 0.75) : std::floor(365.25 * y);
    return c + std::floor(30.6001 * (m + 1)) + t.day + b + 1720994.5 + t.hour / 24.0 + t.minute / 1440.0 +
           t.second / 86400.0 + 0.5;
}

// One comma-separated field of a GGA body; false when the text has ended
// before it.
bool next_field(std::string_view& rest, bool& more, std::string_view& field) {
    if (!more)
        return false;
    const size_t comma = rest.find(',');
    if (comma == std::string_view::npos) {
        field = rest;
        rest = {};
        more = false;
    } else {
        field = rest.substr(0, comma);
        rest.remove_prefix(comma + 1);
    }
    return true;
}

// A field that must be a number when it is not empty: the whole field,
// blanks and NULs at its end aside (some receivers pad their text).
enum class Number { empty, ok, bad };

Number field_number(std::string_view field, double& value) {
    while (!field.empty() && (field.back() == ' ' || field.back() == '\0' || field.back() == '\r' || field.back() == '\n'))
        field.remove_suffix(1);
    value = 0;
    if (field.empty())
        return Number::empty;
    size_t used = 0;
    if (!leading_number(field, value, used) || used != field.size())
        return Number::bad;
    return Number::ok;
}

// ddmm.mmmm or dddmm.mmmm with its hemisphere; `negative` is S or W.
bool coordinate(std::string_view& rest, bool& more, char negative, double& out, bool& valid) {
    std::string_view value_field, hemisphere;
    if (!next_field(rest, more, value_field) || !next_field(rest, more, hemisphere))
        return false;
    double value = 0;
    const Number number = field_number(value_field, value);
    if (number == Number::bad)
        return false;
    out = 0;
    if (number == Number::empty || hemisphere.empty()) {
        valid = false;
        return true;
    }
    const double degrees = std::floor(value * 0.01);
    out = degrees + (value - 100 * degrees) * 0.016666666666666666;
    if (hemisphere[0] == negative)
        out = -out;
    return true;
}

}  // namespace

DriverResult parse_gps_stamp_counts(std::span<const uint8_t> answer, uint32_t tick_limit, GpsStampCounts& counts) {
    counts = {};
    if (answer.size() < GPS_STAMP_MIN_ANSWER)
        return DriverResult::bad_answer();
    counts.ticks = load_le32(answer.data() + 1);
    counts.seconds = load_le32(answer.data() + 5);
    return counts.ticks < tick_limit ? DriverResult::ok() : DriverResult::gps_ticks_out_of_range();
}

DriverResult parse_gps_stamp_text(std::span<const uint8_t> answer, GpsTime& base) {
    base = {};
    std::string_view text;
    if (!answer_text(answer, GPS_STAMP_TEXT_MIN, GPS_STAMP_TEXT_MAX, text))
        return DriverResult::bad_answer();
    double value = 0;
    size_t used = 0;
    // hhmmss.sss: also keeps the integer conversions below in range.
    if (!leading_number(text, value, used) || !(value > 0) || value >= 240000)
        return DriverResult::bad_answer();
    GpsTime t;
    t.hour = static_cast<int>(std::floor(value * 0.0001));
    t.minute = static_cast<int>(std::floor((value - t.hour * 10000.0) * 0.01));
    t.second = value - t.hour * 10000.0 - t.minute * 100.0;
    if (t.minute > 59 || t.second < 0 || t.second >= 61)
        return DriverResult::bad_answer();
    std::string_view rest = text.substr(used);
    if (!date_field(rest, 31, t.day) || !date_field(rest, 12, t.month) || !date_field(rest, 9999, t.year))
        return DriverResult::bad_answer();
    base = t;
    return DriverResult::ok();
}

GpsTime gps_time_after(const GpsTime& base, double offset_seconds) {
    const double jd = civil_julian_day(base) + offset_seconds / 86400.0;
    double z = std::floor(jd);
    const double f = jd - z;
    GpsTime t;
    if (1 - f < 1.1574074074074074e-8) {
        z += 1;
    } else {
        const double hours = 24 * f;
        t.hour = static_cast<int>(std::floor(hours));
        const double minutes = 60 * (hours - t.hour);
        t.minute = static_cast<int>(std::floor(minutes));
        t.second = 60 * (minutes - t.minute);
    }
    if (z > 2299160) {
        const double alpha = std::floor((z - 1867216.25) / 36524.25);
        z += 1 + alpha - std::floor(alpha / 4);
    }
    const double y = std::floor((z + 1524 - 122.1) / 365.25);
    const double w = z + 1524 - std::floor(365.25 * y);
    const double e = std::floor(w / 30.6001);
    t.day = static_cast<int>(std::floor(w - std::floor(30.6001 * e)));
    t.month = static_cast<int>(e < 14 ? e - 1 : e - 13);
    t.year = static_cast<int>(t.month < 3 ? y - 4715 : y - 4716);
    return t;
}

DriverResult parse_gps_position(std::span<const uint8_t> answer, GpsPosition& position) {
    position = {};
    std::string_view rest;
    if (!answer_text(answer, GPS_POSITION_TEXT_MIN, GPS_POSITION_TEXT_MAX, rest))
        return DriverResult::bad_answer();
    GpsPosition p;
    p.valid = true;
    bool more = true;
    std::string_view field;
    if (!next_field(rest, more, field))  // the time of the fix
        return DriverResult::bad_answer();
    if (!coordinate(rest, more, 'S', p.latitude, p.valid) || !coordinate(rest, more, 'W', p.longitude, p.valid))
        return DriverResult::bad_answer();
    if (!next_field(rest, more, field))
        return DriverResult::bad_answer();
    if (field.empty())
        p.valid = false;
    double value = 0;
    if (!next_field(rest, more, field) || field_number(field, value) == Number::bad || value < 0 || value > 1000 ||
        value != std::floor(value))
        return DriverResult::bad_answer();
    p.satellites = static_cast<int>(value);
    if (!next_field(rest, more, field))  // HDOP
        return DriverResult::bad_answer();
    if (!next_field(rest, more, field) || field_number(field, p.altitude) == Number::bad)
        return DriverResult::bad_answer();
    position = p;
    return DriverResult::ok();
}
