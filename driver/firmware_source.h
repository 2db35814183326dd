// Where the controller images come from, chosen once at start-up beside
// the platform.
//
// On real hardware the images are files installed beside the daemon, one
// per product id of the firmware table, in Intel HEX:
//     /usr/lib/telvad/firmware/<product id as 4 lower-case hex digits>.hex
// e.g. 04b1.hex for product id 1201. The images built into telvad are
// generated stand-ins, not controller code: they serve the virtual box
// only, which is why the files are the default.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/camera_abi.h"

inline constexpr const char* FIRMWARE_DIRECTORY = "/usr/lib/telvad/firmware";

// An image as the records that load it, ended by a record whose
// data_address is 0. The records point into `bytes` (or into the built-in
// images), so the object is not copied.
struct LoadedFirmware {
    std::vector<uint8_t> bytes;
    std::vector<FirmwareRecord> records;

    LoadedFirmware() = default;
    LoadedFirmware(const LoadedFirmware&) = delete;
    LoadedFirmware& operator=(const LoadedFirmware&) = delete;
};

class FirmwareSource {
public:
    virtual ~FirmwareSource() = default;
    // The image for `product_id`, or null: no entry in the firmware table,
    // or (files) no usable file, which is logged with its path.
    virtual std::unique_ptr<LoadedFirmware> find(uint16_t product_id) const = 0;
};

// The built-in stand-ins (the virtual box).
std::unique_ptr<FirmwareSource> builtin_firmware();

// <directory>/<pid>.hex for the product ids of the firmware table, each
// checked against the table's address range and size before it is used.
std::unique_ptr<FirmwareSource> firmware_files(std::string directory);

// The file name of a product id's image in `directory`.
std::string firmware_file_path(const std::string& directory, uint16_t product_id);

// Installs the source for the rest of the process (tests may install
// another). Until one is installed, the files in FIRMWARE_DIRECTORY are used.
void install_firmware_source(std::shared_ptr<const FirmwareSource> source);
std::shared_ptr<const FirmwareSource> firmware_source();
