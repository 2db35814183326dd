#include "driver/intel_hex.h"

#include <algorithm>

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The record's bytes from the digits after ':'; false on a non-digit or an
// odd count.
bool decode(std::string_view digits, std::vector<uint8_t>& bytes) {
    if (digits.size() % 2 != 0)
        return false;
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int hi = hex_digit(digits[i]), lo = hex_digit(digits[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

enum : uint8_t { DATA = 0, END = 1, SEGMENT = 2, START_SEGMENT = 3, LINEAR = 4, START_LINEAR = 5 };

}  // namespace

const char* hex_error_text(HexError error) {
    switch (error) {
    case HexError::none: return "no error";
    case HexError::bad_line: return "not a record";
    case HexError::bad_length: return "byte count does not match the record";
    case HexError::bad_checksum: return "bad checksum";
    case HexError::bad_record: return "bad record type or length";
    case HexError::past_range: return "data past the address range";
    case HexError::after_end: return "records after the end-of-file record";
    case HexError::missing_end: return "no end-of-file record";
    }
    return "?";
}

HexError parse_intel_hex(std::string_view text, std::vector<HexData>& data, size_t* line_number) {
    data.clear();
    uint32_t base = 0;  // from the extended address records
    bool ended = false;
    size_t number = 0;
    std::vector<uint8_t> bytes;
    auto fail = [&](HexError error) {
        if (line_number)
            *line_number = number;
        return error;
    };
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        if (ended)
            return fail(HexError::after_end);
        if (line.front() != ':' || !decode(line.substr(1), bytes))
            return fail(HexError::bad_line);
        // count, address (2), type, data, checksum
        if (bytes.size() < 5 || bytes.size() != size_t{bytes[0]} + 5)
            return fail(HexError::bad_length);
        uint8_t sum = 0;
        for (uint8_t b : bytes)
            sum = static_cast<uint8_t>(sum + b);
        if (sum != 0)
            return fail(HexError::bad_checksum);
        const uint8_t count = bytes[0];
        const uint32_t offset = uint32_t{bytes[1]} << 8 | bytes[2];
        const uint8_t* payload = bytes.data() + 4;
        switch (bytes[3]) {
        case DATA: {
            const uint64_t address = uint64_t{base} + offset;
            if (address + count > (uint64_t{1} << 32))
                return fail(HexError::past_range);
            data.push_back({static_cast<uint32_t>(address), std::vector<uint8_t>(payload, payload + count)});
            break;
        }
        case END:
            if (count != 0)
                return fail(HexError::bad_record);
            ended = true;
            break;
        case SEGMENT:
        case LINEAR: {
            if (count != 2)
                return fail(HexError::bad_record);
            const uint32_t value = uint32_t{payload[0]} << 8 | payload[1];
            base = bytes[3] == SEGMENT ? value << 4 : value << 16;
            break;
        }
        case START_SEGMENT:
        case START_LINEAR:
            if (count != 4)
                return fail(HexError::bad_record);
            break;
        default:
            return fail(HexError::bad_record);
        }
    }
    if (!ended)
        return fail(HexError::missing_end);
    return HexError::none;
}

bool hex_image(const std::vector<HexData>& data, size_t size, std::vector<uint8_t>& image) {
    image.assign(size, 0);
    std::vector<bool> given(size, false);
    size_t count = 0;
    for (const HexData& record : data) {
        if (record.address > size || record.bytes.size() > size - record.address)
            return false;
        for (size_t i = 0; i < record.bytes.size(); ++i) {
            const size_t at = record.address + i;
            if (given[at])
                return false;
            given[at] = true;
            image[at] = record.bytes[i];
        }
        count += record.bytes.size();
    }
    return count == size;
}
