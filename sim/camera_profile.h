// What a virtual camera is: the fixed facts of its product id, and the
// parameters one plugged camera was given.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace sim {

// The identification layouts of command 0x00: 60 bytes (flag word, sizes)
// or 62 bytes (flag byte, filter count, record bytes 7-61 as they are).
enum class IdLayout { short_layout, long_layout };

// What a product id makes a camera: its type and class (0 for an unknown
// product id) and the answer layout of its identification.
struct ProductFacts {
    int type = 0;
    int camera_class = 0;
    IdLayout layout = IdLayout::long_layout;
};
ProductFacts product_facts(uint16_t product_id);

// The content of the images a camera delivers (from the readout commands on).
enum class Pattern {
    coords,  // the pixel at column x, row y of the delivered image is (x + 2y) mod 65536
    sky,     // a deterministic star field with noise
};

// The parameters of one virtual camera. Text fields hold at most 14
// characters (the record keeps a terminating NUL in 15 bytes).
struct CameraProfile {
    uint16_t product_id = 0;
    uint32_t id = 0;
    bool firmware = true;  // false: plugged as a bare controller that needs an upload
    uint16_t width = 0, height = 0;
    uint16_t pixel_w = 0, pixel_h = 0;  // nanometres
    // The camera's flag word: 16 bits in the short layout (the top four bits
    // are also reported as `aux`), the low byte in the long layout.
    uint16_t flags = 0;
    uint16_t aux = 0;  // long layout only
    uint8_t filters = 0;
    std::string desc, ser, chip;
    std::array<uint16_t, 4> versions{};  // value requests 128..131
    Pattern pattern = Pattern::coords;
    // The mechanical shutter's travel times; 0 for cameras without one.
    uint32_t shutter_open_ms = 0, shutter_close_ms = 0;
    // How fast the cooler moves the sensor temperature, millidegrees per second.
    uint32_t cool_rate = 100;
    // GPS (cameras with flag bit 2 or 3): the receiver's time starts at this
    // Unix time when the camera is plugged; none: the host's clock.
    std::optional<int64_t> gps_epoch;
    bool gps_fix = true;  // false: the receiver has no position fix
    // Calibration words of class 10: the dual-gain offset (a signed value)
    // and gain, as stored.
    uint16_t cal_offset = 0xF862;  // -1950
    uint16_t cal_gain = 21650;
    // Class 2: firmware that reads out a sub-frame (and says so to value
    // request 255); without it the whole sensor is always sent.
    bool subframe = true;
    // How fast readout streams are delivered, bytes per second; 0: as fast
    // as the reader reads.
    uint64_t read_rate = 0;
};

// The options of a `plug camera` line; what is not given comes from
// default_profile().
struct CameraOptions {
    uint16_t product_id = 0;
    std::optional<uint32_t> id;
    bool no_firmware = false;
    std::optional<uint16_t> width, height, pixel_w, pixel_h, flags, aux;
    std::optional<uint8_t> filters;
    std::optional<std::string> desc, ser, chip;
    std::array<std::optional<uint16_t>, 4> versions;
    std::optional<Pattern> pattern;
    std::optional<uint32_t> open_ms, close_ms, cool_rate;
    std::optional<int64_t> gps_epoch;
    std::optional<bool> gps_fix;
    std::optional<uint16_t> cal_offset, cal_gain;
    std::optional<bool> subframe;
    std::optional<uint64_t> read_rate;
};

// Whether a camera of these facts has a mechanical shutter.
bool has_mechanical_shutter(const ProductFacts& facts);

// A realistic camera of this product id with the given id.
CameraProfile default_profile(uint16_t product_id, uint32_t id);

// Completes `options` into a profile. The filter count of a short-layout
// camera lives in its flag word, so the flag bits that carry it are adjusted
// here; a count the layout can't express gives false and a reason.
bool make_profile(const CameraOptions& options, uint32_t id, CameraProfile& profile, std::string& error);

// The firmware image size a camera without firmware accepts; 0 when no
// image exists for the product id.
uint32_t firmware_image_bytes(uint16_t product_id);

}  // namespace sim
