// The bytes of a readout or exposure request: a command byte followed by
// little-endian parameters, and the saturating time counts they carry.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

class ReadoutRequest {
public:
    explicit ReadoutRequest(uint8_t command) { bytes_[size_++] = command; }

    ReadoutRequest& byte(uint8_t value) {
        bytes_[size_++] = value;
        return *this;
    }
    ReadoutRequest& word(uint16_t value) {
        byte(static_cast<uint8_t>(value));
        return byte(static_cast<uint8_t>(value >> 8));
    }
    ReadoutRequest& dword(uint32_t value) {
        word(static_cast<uint16_t>(value));
        return word(static_cast<uint16_t>(value >> 16));
    }

    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return size_; }

private:
    std::array<uint8_t, 16> bytes_{};  // the longest request has 14 bytes
    size_t size_ = 0;
};

// A 16-bit count of `seconds · per_second` units: a product of 65535 or more
// is 0xFFFF, anything else is rounded to the nearest integer (a negative or
// NaN time counts 0).
inline uint16_t count16(double seconds, double per_second) {
    const double units = seconds * per_second;
    if (units >= 65535)
        return 0xFFFF;
    if (!(units > 0))
        return 0;
    return static_cast<uint16_t>(std::lround(units));
}

// A 32-bit count, rounded; the cameras do not take 0xFFFFFFFF, so the
// longest count is 0xFFFFFFFE (also for times past the 32-bit range).
inline uint32_t count32(double seconds, double per_second) {
    const double units = std::round(seconds * per_second);
    if (units >= 4294967295.0)
        return 0xFFFFFFFE;
    if (!(units > 0))
        return 0;
    return static_cast<uint32_t>(units);
}
