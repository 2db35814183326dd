// The firmware table: which cameras get which controller image.
//
// Cameras below product id 3072 start without firmware; the images for them
// are built in (driver/firmware/images.txt). The table and its record lists
// are built on first use, thread-safely, and live until the process ends.
#pragma once

#include <cstdint>

#include "driver/camera_abi.h"

// One entry: a product id and its image as a record list, each record the
// argument of one CAMERA_IOCTL_FIRMWARE_RECORD request, in load order, the
// list ended by a record whose data_address is 0.
struct FirmwareEntry {
    uint16_t product_id;
    const FirmwareRecord* records;
};

// The table in its fixed order; ended by an entry with null records.
const FirmwareEntry* firmware_table();

// The record list for a product id; null when no image exists for it.
const FirmwareRecord* find_firmware(uint32_t product_id);
