// The GPS answer decoders: counts and their limits, the time text, the
// calendar arithmetic across day, month, year and calendar-reform ends, and
// the GGA field rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/gps.h"

namespace {

constexpr DriverResult OK = DriverResult::ok();
constexpr DriverResult BAD = DriverResult::bad_answer();

std::vector<uint8_t> stamp(uint32_t ticks, uint32_t seconds, const std::string& text) {
    std::vector<uint8_t> bytes{0x80};
    for (uint32_t word : {ticks, seconds})
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<uint8_t>(word >> (8 * i)));
    bytes.push_back(static_cast<uint8_t>(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.resize(std::max<size_t>(bytes.size(), 20));
    return bytes;
}

std::vector<uint8_t> gga(const std::string& text) {
    std::vector<uint8_t> bytes(10);
    bytes[0] = 0x80;
    bytes[9] = static_cast<uint8_t>(text.size());
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

std::string show(const GpsTime& t) {
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%07.4f", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return text;
}

TEST(GpsStamp, CountsNeedTwentyBytesAndTicksBelowTheLimit) {
    GpsStampCounts counts;
    auto answer = stamp(72760399, 3, "120000.000,15,06,2024");
    EXPECT_EQ(parse_gps_stamp_counts(answer, GPS_TICK_LIMIT, counts), OK);
    EXPECT_EQ(counts.ticks, 72760399u);
    EXPECT_EQ(counts.seconds, 3u);
    answer = stamp(72760400, 3, "120000.000,15,06,2024");
    EXPECT_EQ(parse_gps_stamp_counts(answer, GPS_TICK_LIMIT, counts), DriverResult::gps_ticks_out_of_range());
    answer = stamp(25250000, 0, "120000.000,15,06,2024");
    EXPECT_EQ(parse_gps_stamp_counts(answer, GPS_TICK_LIMIT_CLASS10, counts), DriverResult::gps_ticks_out_of_range());
    EXPECT_EQ(parse_gps_stamp_counts(answer, GPS_TICK_LIMIT, counts), OK);
    answer.resize(19);
    EXPECT_EQ(parse_gps_stamp_counts(answer, GPS_TICK_LIMIT, counts), BAD);
    EXPECT_EQ(counts.ticks, 0u);
}

TEST(GpsStamp, TextRules) {
    struct Case {
        std::string text;
        DriverResult result;
        const char* time;
    };
    const Case cases[] = {
        {"120000.000,15,06,2024", OK, "2024-06-15 12:00:00.0000"},
        {"12,31,12,24", OK, "0024-12-31 00:00:12.0000"},  // 11 characters: the shortest
        {"12,31,12,2", BAD, nullptr},                      // 10
        {"235960.500/01/07/2016", OK, "2016-07-01 23:59:60.5000"},  // a leap second
        {"000000.000,15,06,2024", BAD, nullptr},  // a time of 0 is no time
        {"-10000.000,15,06,2024", BAD, nullptr},
        {"240000.000,15,06,2024", BAD, nullptr},
        {"126000.000,15,06,2024", BAD, nullptr},
        {"120099.000,15,06,2024", BAD, nullptr},
        {"12:00:00.0,15,06,2024", BAD, nullptr},
        {"120000.000,00,06,2024", BAD, nullptr},
        {"120000.000,15,00,2024", BAD, nullptr},
        {"120000.000,15,06,0000", BAD, nullptr},
        {"120000.000,15,13,2024", BAD, nullptr},
        {"120000.000,32,06,2024", BAD, nullptr},
        {"120000.000,15,06,", BAD, nullptr},
        {"120000.000,15,06", BAD, nullptr},
        {"120000.000,15,,2024", BAD, nullptr},
        {"120000.000,15,-6,2024", BAD, nullptr},
        {"inf,15,06,2024abc", BAD, nullptr},
        {"120000.000,15,06,2024,extra,fields", OK, "2024-06-15 12:00:00.0000"},
        {std::string(55, '1'), BAD, nullptr},
    };
    for (const Case& c : cases) {
        GpsTime t;
        EXPECT_EQ(parse_gps_stamp_text(stamp(0, 0, c.text), t), c.result) << c.text;
        if (c.time)
            EXPECT_EQ(show(t), c.time) << c.text;
        else
            EXPECT_EQ(t.year, 0) << c.text;
    }
}

TEST(GpsStamp, TextLengthIsCheckedAgainstTheBytesReceived) {
    GpsTime t;
    auto answer = stamp(0, 0, "120000.000,15,06,2024");
    answer.resize(answer.size() - 1);
    EXPECT_EQ(parse_gps_stamp_text(answer, t), BAD);
    answer = stamp(0, 0, "120000.000,15,06,2024");
    answer[9] = 54;  // claims more than came
    EXPECT_EQ(parse_gps_stamp_text(answer, t), BAD);
    EXPECT_EQ(parse_gps_stamp_text(std::vector<uint8_t>(9, 0x80), t), BAD);
}

TEST(GpsTimeAfter, RollsOverDaysMonthsYearsAndTheCalendarReform) {
    struct Case {
        GpsTime base;
        double offset;
        const char* expected;
    };
    const Case cases[] = {
        {{2024, 6, 15, 12, 0, 0}, 3.25, "2024-06-15 12:00:03.2500"},
        {{2024, 6, 15, 12, 0, 0}, 86400 * 2 + 61, "2024-06-17 12:01:01.0000"},
        // Less than a millisecond before midnight is midnight.
        {{2024, 12, 31, 23, 59, 59.9995}, 0, "2025-01-01 00:00:00.0000"},
        {{2024, 12, 31, 23, 59, 59}, 0.9995, "2025-01-01 00:00:00.0000"},
        {{2023, 2, 28, 23, 59, 59.9995}, 0, "2023-03-01 00:00:00.0000"},
        {{2024, 2, 28, 23, 59, 59.9995}, 0, "2024-02-29 00:00:00.0000"},
        {{2024, 2, 29, 23, 59, 59.9995}, 0, "2024-03-01 00:00:00.0000"},
        {{2100, 2, 28, 23, 59, 59.9995}, 0, "2100-03-01 00:00:00.0000"},
        {{2000, 2, 28, 23, 59, 59.9995}, 0, "2000-02-29 00:00:00.0000"},
        {{2024, 4, 30, 23, 59, 59.9995}, 0, "2024-05-01 00:00:00.0000"},
        {{2024, 1, 31, 23, 59, 59.9995}, 0, "2024-02-01 00:00:00.0000"},
        // 2 ms before midnight stays on its day.
        {{2024, 12, 31, 23, 59, 59.998}, 0, "2024-12-31 23:59:59.9980"},
        {{2024, 12, 31, 23, 59, 58}, 2 + 72000000 / 72.0e6, "2025-01-01 00:00:01.0000"},
        {{1582, 10, 4, 12, 0, 0}, 86400, "1582-10-15 12:00:00.0000"},
        {{1582, 10, 15, 12, 0, 0}, -86400, "1582-10-04 12:00:00.0000"},
        {{1, 1, 1, 0, 0, 30}, 0, "0001-01-01 00:00:30.0000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(show(gps_time_after(c.base, c.offset)), c.expected) << show(c.base) << " + " << c.offset;
}

TEST(GpsPosition, GgaFieldRules) {
    constexpr double MINUTE = 0.016666666666666666;
    struct Case {
        std::string text;
        DriverResult result;
        double latitude, longitude, altitude;
        int satellites;
        bool valid;
    };
    const Case cases[] = {
        {"120000.00,4712.3456,N,00830.5000,E,1,09,0.9,412.5,M", OK, 47 + 12.3456 * MINUTE, 8 + 30.5 * MINUTE, 412.5,
         9, true},
        {"120000.00,3356.1234,S,07036.4321,W,2,12,1.1,-12.0,M", OK, -(33 + 56.1234 * MINUTE),
         -(70 + 36.4321 * MINUTE), -12, 12, true},
        {"120000.00,,N,00830.5000,E,1,09,0.9,412.5,M", OK, 0, 8 + 30.5 * MINUTE, 412.5, 9, false},
        {"120000.00,4712.3456,,00830.5000,E,1,09,0.9,412.5,M", OK, 0, 8 + 30.5 * MINUTE, 412.5, 9, false},
        {"120000.00,4712.3456,N,00830.5000,,1,09,0.9,412.5,M", OK, 47 + 12.3456 * MINUTE, 0, 412.5, 9, false},
        {"120000.00,4712.3456,N,00830.5000,E,,09,0.9,412.5,M", OK, 47 + 12.3456 * MINUTE, 8 + 30.5 * MINUTE, 412.5,
         9, false},
        {"120000.00,4712.3456,N,00830.5000,E,1,,0.9,412.5,M", OK, 47 + 12.3456 * MINUTE, 8 + 30.5 * MINUTE, 412.5, 0,
         true},
        {"120000.00,4712.3456,N,00830.5000,E,1,09,0.9,,M", OK, 47 + 12.3456 * MINUTE, 8 + 30.5 * MINUTE, 0, 9, true},
        {"120000.00,4712.3456,N,00830.5000,E,1,09,0.9,", OK, 47 + 12.3456 * MINUTE, 8 + 30.5 * MINUTE, 0, 9, true},
        {"120000.00,4712.3456,N,00830.5000,E,1,09,0.9,412.5", OK, 47 + 12.3456 * MINUTE, 8 + 30.5 * MINUTE, 412.5, 9,
         true},
        {"120000.00,,,,,0,00,,,M", OK, 0, 0, 0, 0, false},
        {"120000.00,4712.3456,N,00830.5000,E,1,09,0.9", BAD, 0, 0, 0, 0, false},  // no comma before the altitude
        {"120000.00,4712.3456,N,00830.5000,E,1,09,0.9,high,M", BAD, 0, 0, 0, 0, false},
        {"120000.00,4712.3456,N,00830.5000,E,1,nine,0.9,412.5,M", BAD, 0, 0, 0, 0, false},
        {"120000.00,47x2.3456,N,00830.5000,E,1,09,0.9,412.5,M", BAD, 0, 0, 0, 0, false},
        {"120000.00,4712.3456,N,00830.5000", BAD, 0, 0, 0, 0, false},
        {"1234567890", BAD, 0, 0, 0, 0, false},  // 10 characters
        {std::string(63, ','), BAD, 0, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        GpsPosition p;
        EXPECT_EQ(parse_gps_position(gga(c.text), p), c.result) << c.text;
        EXPECT_DOUBLE_EQ(p.latitude, c.latitude) << c.text;
        EXPECT_DOUBLE_EQ(p.longitude, c.longitude) << c.text;
        EXPECT_DOUBLE_EQ(p.altitude, c.altitude) << c.text;
        EXPECT_EQ(p.satellites, c.satellites) << c.text;
        EXPECT_EQ(p.valid, c.valid) << c.text;
    }
}

TEST(GpsPosition, LengthsAreCheckedAgainstTheBytesReceived) {
    GpsPosition p;
    auto answer = gga("120000.00,4712.3456,N,00830.5000,E,1,09,0.9,412.5,M");
    EXPECT_EQ(parse_gps_position(std::span(answer).first(answer.size() - 1), p), BAD);
    EXPECT_EQ(parse_gps_position(std::span(answer).first(9), p), BAD);
    EXPECT_EQ(parse_gps_position(answer, p), OK);
}

}  // namespace
