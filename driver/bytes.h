// Little helpers for the drivers' wire records: little-endian loads and the
// fixed-width text fields of the identification records.
#pragma once

#include <cstddef>
#include <cstdint>

// The 16- and 32-bit little-endian values at p[0..1] and p[0..3]. The caller
// has checked that the bytes exist.
inline uint16_t load_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Makes the `size`-byte field a C string that fits it: its last byte becomes
// NUL, and white space at the end of the text is overwritten with NUL.
void terminate_and_trim(char* field, size_t size);
