// The firmware table and the built-in images: order, sizes, address ranges,
// record splits, shared leading records, and the device descriptor.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "driver/firmware.h"

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
