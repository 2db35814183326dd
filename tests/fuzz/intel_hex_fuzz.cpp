// Fuzzes the Intel HEX parser of the firmware files: the input is one file.
// Whatever it holds, the parser stays inside the text, hands out only
// records whose bytes lie in the 32-bit address space, and an image built
// from them covers its range exactly.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "driver/intel_hex.h"

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<HexData> records;
    size_t line = 0;
    const HexError error = parse_intel_hex(text, records, &line);
    size_t total = 0;
    for (const HexData& record : records) {
        check(record.bytes.size() <= 255);
        check(uint64_t{record.address} + record.bytes.size() <= (uint64_t{1} << 32));
        total += record.bytes.size();
    }
    check(total <= size);  // two digits a byte, at the least
    if (error != HexError::none)
        check(line >= 1 || error == HexError::missing_end);

    // Laid out as a small image: all of it or nothing.
    std::vector<uint8_t> image;
    if (hex_image(records, 4096, image)) {
        check(image.size() == 4096 && total == 4096);
        for (const HexData& record : records)
            for (size_t i = 0; i < record.bytes.size(); ++i)
                check(image[record.address + i] == record.bytes[i]);
    }
    return 0;
}
