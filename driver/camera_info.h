// The camera's identification record and the parse of its answer to
// command 0x00.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

// The identification record, 66 bytes, little-endian. Kept in the camera
// record and sent to clients unchanged. Texts are NUL-terminated within their
// 15 bytes, without trailing white space.
struct __attribute__((packed)) CameraInfo {
    uint32_t id;       // camera id: how registries and clients name the camera
    uint16_t flags;    // capability bits; the short layout fills only the low byte
    uint8_t filters;   // positions of the attached filter wheel; 0 = none
    uint16_t aux;      // short layout: top 4 bits of the flag word
    uint16_t width;    // sensor size in pixels
    uint16_t height;
    uint16_t pixel_w;  // pixel size in nanometres
    uint16_t pixel_h;
    char desc[15];
    char ser[15];
    char chip[15];
    uint16_t vid;      // always 0x1347
    uint16_t pid;
};

static_assert(std::endian::native == std::endian::little, "CameraInfo goes to clients as it is in memory");
static_assert(sizeof(CameraInfo) == 66);
static_assert(offsetof(CameraInfo, id) == 0);
static_assert(offsetof(CameraInfo, flags) == 4);
static_assert(offsetof(CameraInfo, filters) == 6);
static_assert(offsetof(CameraInfo, aux) == 7);
static_assert(offsetof(CameraInfo, width) == 9);
static_assert(offsetof(CameraInfo, height) == 11);
static_assert(offsetof(CameraInfo, pixel_w) == 13);
static_assert(offsetof(CameraInfo, pixel_h) == 15);
static_assert(offsetof(CameraInfo, desc) == 17);
static_assert(offsetof(CameraInfo, ser) == 32);
static_assert(offsetof(CameraInfo, chip) == 47);
static_assert(offsetof(CameraInfo, vid) == 62);
static_assert(offsetof(CameraInfo, pid) == 64);

// Fills `info` from the answer to command 0x00 of a camera with this product
// id, in the layout the product id calls for (info_layout). `answer` is what
// the camera returned, status byte first; the status byte itself is the
// transport's business and is not looked at. `info` is zeroed first and
// always receives vid 0x1347 and the product id.
// Returns 0, or -1 when the answer is shorter than its layout (then nothing
// but vid and pid is filled). Logs nothing.
int parse_camera_info(std::span<const uint8_t> answer, uint16_t product_id, CameraInfo& info);
