#include "driver/firmware.h"

#include <vector>

#include "driver/firmware_images.h"

namespace {

// The record lists carry addresses of this process, so they are made at run
// time, once.
struct Table {
    std::vector<std::vector<FirmwareRecord>> lists;
    std::vector<FirmwareEntry> entries;

    Table() {
        lists.reserve(FIRMWARE_IMAGE_COUNT);
        for (size_t i = 0; i < FIRMWARE_IMAGE_COUNT; ++i) {
            const FirmwareImage& image = FIRMWARE_IMAGES[i];
            std::vector<FirmwareRecord>& list = lists.emplace_back();
            for (size_t p = 0; p < image.piece_count; ++p) {
                const FirmwarePiece& piece = image.pieces[p];
                list.push_back({piece.load_address, reinterpret_cast<uintptr_t>(image.bytes + piece.load_address),
                                piece.length});
            }
            list.push_back({0, 0, 0});
            entries.push_back({image.product_id, list.data()});
        }
        entries.push_back({0, nullptr});
    }
};

const Table& table() {
    static const Table built;
    return built;
}

}  // namespace

const FirmwareEntry* firmware_table() {
    return table().entries.data();
}

const FirmwareRecord* find_firmware(uint32_t product_id) {
    for (const FirmwareEntry* entry = firmware_table(); entry->records; ++entry)
        if (entry->product_id == product_id)
            return entry->records;
    return nullptr;
}
