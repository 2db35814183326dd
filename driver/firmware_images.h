// The controller images built into telvad, generated at build time from
// driver/firmware/images.txt (see there for what they hold).
#pragma once

#include <cstddef>
#include <cstdint>

// One record of an image: `length` bytes loaded at `load_address`, which is
// also their offset in the image's bytes.
struct FirmwarePiece {
    uint16_t load_address;
    uint16_t length;
};

// An image: `size` bytes for addresses 0 .. size-1, in `piece_count` records
// of ascending address.
struct FirmwareImage {
    uint16_t product_id;
    const uint8_t* bytes;
    size_t size;
    const FirmwarePiece* pieces;
    size_t piece_count;
};

// In the order of the firmware table.
extern const FirmwareImage FIRMWARE_IMAGES[];
extern const size_t FIRMWARE_IMAGE_COUNT;
