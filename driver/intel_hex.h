// Intel HEX, the text form USB controller firmware is distributed in: one
// record a line, ":" then hex digit pairs — byte count, 16-bit address,
// record type, data, checksum (the two's complement of the sum of the
// other bytes). Types: 00 data, 01 end of file, 02 extended segment
// address, 04 extended linear address, 03 and 05 start addresses (of no
// use to a controller loaded over USB; skipped).
//
// The parser is pure and bounded: it never reads past the text, never
// trusts a count it has not checked against the line, and refuses rather
// than guesses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// The bytes of one data record at their absolute address.
struct HexData {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;

    friend bool operator==(const HexData&, const HexData&) = default;
};

enum class HexError : uint8_t {
    none,
    bad_line,          // no ':' first, a character that is no hex digit, an odd digit count
    bad_length,        // the byte count does not match the line's length
    bad_checksum,
    bad_record,        // an unknown type, or a type with the wrong count (01 with data...)
    past_range,        // data beyond the 32-bit address space
    after_end,         // a record after the end-of-file record
    missing_end,       // the text ends without an end-of-file record
};

const char* hex_error_text(HexError error);

// Parses `text` into its data records in file order; lines are separated by
// LF or CRLF, blank lines are ignored. On an error `data` holds the records
// before it and `line` (if given) the 1-based line number.
HexError parse_intel_hex(std::string_view text, std::vector<HexData>& data, size_t* line = nullptr);

// Lays the records out as one image of exactly `size` bytes from address 0:
// every byte of 0 .. size-1 given once, none outside. False when a record
// lies past the range, two overlap, or a byte is missing.
bool hex_image(const std::vector<HexData>& data, size_t size, std::vector<uint8_t>& image);
