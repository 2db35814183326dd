// What the USB product id says about a camera: its type, its class and the
// layout of its identification answer. Pure functions of the product id.
#pragma once

#include <cstddef>
#include <cstdint>

// Layout of the answer to identification command 0x00.
enum class InfoLayout : uint8_t {
    short_layout,  // 60 bytes: 16-bit flag word, filter count derived from it
    long_layout,   // 62 bytes: the record's own layout from offset 7 on
};

inline constexpr size_t SHORT_INFO_ANSWER = 60;
inline constexpr size_t LONG_INFO_ANSWER = 62;

inline constexpr size_t info_answer_length(InfoLayout layout) {
    return layout == InfoLayout::short_layout ? SHORT_INFO_ANSWER : LONG_INFO_ANSWER;
}

// One row of the product table.
struct CameraModel {
    uint16_t product_id;
    uint8_t camera_type;   // 1..24
    uint8_t camera_class;  // 1..12
    InfoLayout layout;
};

// The table row of a product id; null for a product id the table lacks.
// Logs nothing.
const CameraModel* find_camera_model(uint32_t product_id);

// Type 0..24 and class 0..12 of a product id. An unknown id gives 0 and logs
// "determine_camera_type: unknown camera PID: %#x" or
// "determine_camera_class: unknown camera PID: %#x" (level 3).
int determine_camera_type(uint32_t product_id);
int determine_camera_class(uint32_t product_id);

// The identification layout; unknown product ids answer the long one.
InfoLayout info_layout(uint32_t product_id);

// Cameras that deliver every pixel as two big-endian 16-bit samples.
inline constexpr bool is_dual_sample(uint32_t product_id) {
    return product_id >= 1026 && product_id <= 1028;
}

// Cameras with the newer command numbering; they also carry their firmware.
inline constexpr bool is_new_interface(uint32_t product_id) {
    return product_id >= 3072;
}

// The CMOS types: hardware binning, gain, GPS time stamps, frame readout.
inline constexpr bool is_cmos_type(uint32_t camera_type) {
    return camera_type >= 22 && camera_type <= 24;
}
