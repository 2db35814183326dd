#include "driver/firmware_source.h"

#include <syslog.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/log.h"
#include "common/read_file.h"
#include "common/unique_fd.h"
#include "driver/firmware.h"
#include "driver/firmware_images.h"
#include "driver/intel_hex.h"

namespace {

// A HEX file of a controller image is a few tens of kilobytes; anything far
// beyond is not one.
constexpr size_t MAX_FILE_BYTES = 1 << 20;

class BuiltinFirmware final : public FirmwareSource {
public:
    std::unique_ptr<LoadedFirmware> find(uint16_t product_id) const override {
        const FirmwareRecord* records = find_firmware(product_id);
        if (!records)
            return nullptr;
        auto loaded = std::make_unique<LoadedFirmware>();
        for (;; ++records) {
            loaded->records.push_back(*records);
            if (records->data_address == 0)
                break;
        }
        return loaded;
    }
};

// The whole file, or false (logged) when it can't be read or is too big.
bool read_file(const std::string& path, std::string& text) {
    switch (read_whole_file(path, MAX_FILE_BYTES, text)) {
    case FileRead::ok:
        return true;
    case FileRead::open_failed:
        log_message(LOG_ERR, "Cannot open the firmware file %s: %s", path.c_str(), strerror(errno));
        return false;
    case FileRead::read_failed:
        log_message(LOG_ERR, "read() failed: %s: %s", path.c_str(), strerror(errno));
        return false;
    case FileRead::too_big:
        log_message(LOG_ERR, "Firmware file %s: larger than %zu bytes", path.c_str(), MAX_FILE_BYTES);
        return false;
    }
    return false;
}

class FirmwareFiles final : public FirmwareSource {
public:
    explicit FirmwareFiles(std::string directory) : directory_(std::move(directory)) {}

    std::unique_ptr<LoadedFirmware> find(uint16_t product_id) const override {
        // Only the table's product ids get an image, of the table's size.
        const FirmwareImage* entry = nullptr;
        for (size_t i = 0; i < FIRMWARE_IMAGE_COUNT; ++i)
            if (FIRMWARE_IMAGES[i].product_id == product_id)
                entry = &FIRMWARE_IMAGES[i];
        if (!entry)
            return nullptr;

        const std::string path = firmware_file_path(directory_, product_id);
        std::string text;
        if (!read_file(path, text))
            return nullptr;
        std::vector<HexData> data;
        size_t line = 0;
        if (const HexError error = parse_intel_hex(text, data, &line); error != HexError::none) {
            log_message(LOG_ERR, "Firmware file %s, line %zu: %s", path.c_str(), line, hex_error_text(error));
            return nullptr;
        }
        auto loaded = std::make_unique<LoadedFirmware>();
        if (!hex_image(data, entry->size, loaded->bytes)) {
            log_message(LOG_ERR, "Firmware file %s: not an image of addresses 0x0000-0x%04zX", path.c_str(),
                        entry->size - 1);
            return nullptr;
        }
        // Records of at most the controller's record size, in address order.
        const uintptr_t base = reinterpret_cast<uintptr_t>(loaded->bytes.data());
        for (size_t at = 0; at < loaded->bytes.size(); at += FIRMWARE_RECORD_MAX_BYTES) {
            const size_t length = std::min(FIRMWARE_RECORD_MAX_BYTES, loaded->bytes.size() - at);
            loaded->records.push_back({static_cast<uint16_t>(at), base + at, length});
        }
        loaded->records.push_back({0, 0, 0});
        return loaded;
    }

private:
    std::string directory_;
};

std::mutex source_mutex;
std::shared_ptr<const FirmwareSource> installed;

}  // namespace

std::unique_ptr<FirmwareSource> builtin_firmware() {
    return std::make_unique<BuiltinFirmware>();
}

std::unique_ptr<FirmwareSource> firmware_files(std::string directory) {
    return std::make_unique<FirmwareFiles>(std::move(directory));
}

std::string firmware_file_path(const std::string& directory, uint16_t product_id) {
    char name[16];
    snprintf(name, sizeof name, "%04x.hex", product_id);
    return directory + "/" + name;
}

void install_firmware_source(std::shared_ptr<const FirmwareSource> source) {
    std::lock_guard lock(source_mutex);
    installed = std::move(source);
}

std::shared_ptr<const FirmwareSource> firmware_source() {
    std::lock_guard lock(source_mutex);
    if (!installed)
        installed = firmware_files(FIRMWARE_DIRECTORY);
    return installed;
}
