// The firmware table and the built-in images: order, sizes, address ranges,
// record splits, shared leading records, and the device descriptor.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "driver/firmware.h"
#include "driver/intel_hex.h"

namespace {

struct Expected {
    uint16_t pid;
    size_t records;
    size_t bytes;
    uint16_t last_address;
};

// In the order of the table.
const Expected IMAGES[] = {
    {1042, 10, 4658, 0x1231}, {1041, 11, 4634, 0x1219}, {1045, 10, 4373, 0x1114},
    {1044, 10, 4755, 0x1292}, {1043, 11, 4737, 0x1280}, {1026, 12, 6899, 0x1AF2},
    {1027, 10, 6172, 0x181B}, {1028, 10, 6600, 0x19C7}, {1029, 10, 6384, 0x18EF},
    {1030, 10, 6426, 0x1919}, {1201, 10, 5712, 0x164F},
};

std::vector<FirmwareRecord> records_of(const FirmwareRecord* list) {
    std::vector<FirmwareRecord> records;
    for (; list->data_address != 0; ++list)
        records.push_back(*list);
    return records;
}

// The bytes the records load, laid out by address.
std::vector<uint8_t> flatten(const std::vector<FirmwareRecord>& records) {
    std::vector<uint8_t> image;
    for (const FirmwareRecord& record : records) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(record.data_address));
        image.resize(std::max<size_t>(image.size(), record.load_address + record.length));
        memcpy(&image[record.load_address], bytes, record.length);
    }
    return image;
}

TEST(Firmware, TableOrderAndEnd) {
    const FirmwareEntry* entry = firmware_table();
    for (const Expected& expected : IMAGES) {
        ASSERT_NE(entry->records, nullptr);
        EXPECT_EQ(entry->product_id, expected.pid);
        EXPECT_EQ(find_firmware(expected.pid), entry->records);
        ++entry;
    }
    EXPECT_EQ(entry->records, nullptr);
    for (uint32_t pid : {0u, 1057u, 1076u, 3072u, 3120u, 3312u, 0x10000u + 1042u})
        EXPECT_EQ(find_firmware(pid), nullptr) << pid;
}

TEST(Firmware, ImagesAreContiguousFromZeroInSmallRecords) {
    for (const Expected& expected : IMAGES) {
        const std::vector<FirmwareRecord> records = records_of(find_firmware(expected.pid));
        EXPECT_EQ(records.size(), expected.records) << expected.pid;
        size_t next = 0;
        for (const FirmwareRecord& record : records) {
            EXPECT_EQ(record.load_address, next) << expected.pid;
            EXPECT_GT(record.length, 0u) << expected.pid;
            EXPECT_LE(record.length, FIRMWARE_RECORD_MAX_BYTES) << expected.pid;
            next = record.load_address + record.length;
        }
        EXPECT_EQ(next, expected.bytes) << expected.pid;
        EXPECT_EQ(next - 1, expected.last_address) << expected.pid;
    }
}

TEST(Firmware, ImagesOfAFamilyShareTheirLeadingRecords) {
    const std::map<size_t, std::vector<uint16_t>> families = {
        {2, {1041, 1042, 1043, 1044, 1045}},
        {3, {1026, 1027, 1028, 1029, 1030, 1201}},
    };
    for (const auto& [shared, pids] : families) {
        const std::vector<FirmwareRecord> first = records_of(find_firmware(pids[0]));
        const std::vector<uint8_t> first_bytes = flatten(first);
        for (uint16_t pid : pids) {
            const std::vector<FirmwareRecord> records = records_of(find_firmware(pid));
            const std::vector<uint8_t> bytes = flatten(records);
            for (size_t i = 0; i < shared; ++i) {
                EXPECT_EQ(records[i].load_address, first[i].load_address) << pid;
                EXPECT_EQ(records[i].length, first[i].length) << pid;
            }
            const size_t end = first[shared - 1].load_address + first[shared - 1].length;
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + end, first_bytes.begin())) << pid;
            // What follows is the image's own.
            if (pid != pids[0]) {
                EXPECT_FALSE(std::equal(bytes.begin() + end, bytes.begin() + end + 64, first_bytes.begin() + end))
                    << pid;
            }
        }
    }
}

TEST(Firmware, EveryImageCarriesItsDeviceDescriptor) {
    for (const Expected& expected : IMAGES) {
        const std::vector<uint8_t> image = flatten(records_of(find_firmware(expected.pid)));
        const uint8_t descriptor[18] = {
            18, 1, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, 0x47, 0x13,
            static_cast<uint8_t>(expected.pid), static_cast<uint8_t>(expected.pid >> 8),
            0x00, 0x00, 1, 2, 3, 1,
        };
        ASSERT_GE(image.size(), 0x1000u + sizeof descriptor);
        EXPECT_EQ(memcmp(&image[0x1000], descriptor, sizeof descriptor), 0) << expected.pid;
    }
}

}  // namespace

// --- Intel HEX ----------------------------------------------------------

namespace {

// One record line with its checksum.
std::string hex_line(uint16_t address, uint8_t type, std::vector<uint8_t> data) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : bytes)
        sum = static_cast<uint8_t>(sum + b);
    bytes.push_back(static_cast<uint8_t>(-sum));
    std::string line = ":";
    char digits[3];
    for (uint8_t b : bytes) {
        snprintf(digits, sizeof digits, "%02X", b);
        line += digits;
    }
    return line + "\n";
}

const std::string END = ":00000001FF\n";

TEST(IntelHex, RecordsAndRefusals) {
    struct Case {
        const char* what;
        std::string text;
        HexError error;
        size_t line;  // of the error
        std::vector<HexData> data;
    };
    const std::string two = hex_line(0x0000, 0, {1, 2, 3}) + hex_line(0x0003, 0, {4});
    std::string bad_sum = hex_line(0x0010, 0, {9, 9});
    bad_sum[bad_sum.size() - 2] ^= 1;
    const Case cases[] = {
        {"two records", two + END, HexError::none, 0, {{0, {1, 2, 3}}, {3, {4}}}},
        {"CRLF, blank lines, lower case", "\r\n" + hex_line(0x1000, 0, {0xAB}) + "\n:00000001ff\r\n\n",
         HexError::none, 0, {{0x1000, {0xAB}}}},
        {"extended linear address", hex_line(0, 4, {0x00, 0x01}) + hex_line(0x0010, 0, {7}) + END, HexError::none, 0,
         {{0x10010, {7}}}},
        {"extended segment address, start address skipped",
         hex_line(0, 2, {0x10, 0x00}) + hex_line(0, 3, {0, 0, 0, 0}) + hex_line(0x0002, 0, {5}) + END,
         HexError::none, 0, {{0x10002, {5}}}},
        {"bad checksum", two + bad_sum + END, HexError::bad_checksum, 3, {{0, {1, 2, 3}}, {3, {4}}}},
        {"count longer than the data", ":0300000001021A\n" + END, HexError::bad_length, 1, {}},
        {"count shorter than the data", ":01000000010203F9\n" + END, HexError::bad_length, 1, {}},
        {"too short for a record", ":0000\n" + END, HexError::bad_length, 1, {}},
        {"no colon", "00000001FF\n", HexError::bad_line, 1, {}},
        {"not hex", ":0000000G01FF\n", HexError::bad_line, 1, {}},
        {"odd digit count", ":00000001F\n", HexError::bad_line, 1, {}},
        {"end of file with data", hex_line(0, 1, {0}), HexError::bad_record, 1, {}},
        {"unknown type", hex_line(0, 6, {}) + END, HexError::bad_record, 1, {}},
        {"address record of the wrong size", hex_line(0, 4, {1}) + END, HexError::bad_record, 1, {}},
        {"record past the address space", hex_line(0, 4, {0xFF, 0xFF}) + hex_line(0xFFFF, 0, {1, 2}) + END,
         HexError::past_range, 2, {}},
        {"missing end of file", two, HexError::missing_end, 2, {{0, {1, 2, 3}}, {3, {4}}}},
        {"empty", "", HexError::missing_end, 0, {}},
        {"data after the end", END + hex_line(0, 0, {1}), HexError::after_end, 2, {}},
    };
    for (const Case& c : cases) {
        std::vector<HexData> data{{99, {99}}};
        size_t line = 0;
        EXPECT_EQ(parse_intel_hex(c.text, data, &line), c.error) << c.what;
        EXPECT_EQ(data, c.data) << c.what;
        if (c.error != HexError::none) {
            EXPECT_EQ(line, c.line) << c.what;
        }
    }
}

TEST(IntelHex, ImageCoversItsRangeExactlyOnce) {
    struct Case {
        const char* what;
        std::vector<HexData> data;
        bool ok;
    };
    const Case cases[] = {
        {"in order", {{0, {1, 2}}, {2, {3, 4}}}, true},
        {"out of order", {{2, {3, 4}}, {0, {1, 2}}}, true},
        {"a byte missing", {{0, {1, 2}}, {3, {4}}}, false},
        {"past the end", {{0, {1, 2}}, {2, {3, 4, 5}}}, false},
        {"far past the end", {{0, {1, 2, 3, 4}}, {0xFFFFFFFF, {5}}}, false},
        {"overlapping", {{0, {1, 2, 3}}, {2, {3, 4}}}, false},
        {"short", {{0, {1, 2, 3}}}, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image;
        EXPECT_EQ(hex_image(c.data, 4, image), c.ok) << c.what;
        if (c.ok) {
            EXPECT_EQ(image, std::vector<uint8_t>({1, 2, 3, 4})) << c.what;
        }
    }
}

}  // namespace
