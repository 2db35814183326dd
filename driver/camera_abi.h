// The interface of the camera kernel driver: the four requests on a camera
// node and the records they carry. Shared by the drivers, which issue the
// requests, and the virtual box, which answers them.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>

// Identify: the camera's firmware state and USB product id.
struct IdentifyRecord {
    uint16_t firmware_state;  // 0: the camera runs no firmware yet
    uint16_t product_id;
    uint8_t unused[4];
};

// One command exchange. The addresses are plain pointers of the calling
// process, carried in 64-bit fields; 0 when there are no request bytes.
struct CommandRecord {
    uint64_t request_address;
    uint64_t request_length;
    uint64_t response_address;
    uint64_t response_length;  // in: capacity of the response buffer; out: bytes received
};

// One piece of a firmware image, loaded at `load_address` in the controller.
struct __attribute__((packed)) FirmwareRecord {
    uint16_t load_address;
    uint64_t data_address;  // 0 ends a record list
    uint64_t length;
};

inline constexpr unsigned long CAMERA_IOCTL_COMMAND = _IOWR('M', 0, CommandRecord);
inline constexpr unsigned long CAMERA_IOCTL_IDENTIFY = _IOR('M', 1, IdentifyRecord);
inline constexpr unsigned long CAMERA_IOCTL_FIRMWARE_MODE = _IOW('M', 2, int32_t);  // 1 begin, 0 end
inline constexpr unsigned long CAMERA_IOCTL_FIRMWARE_RECORD = _IOW('M', 3, FirmwareRecord);

inline constexpr uint8_t CAMERA_STATUS_OK = 0x80;
inline constexpr uint16_t CAMERA_VENDOR_ID = 0x1347;
inline constexpr uint16_t WHEEL_PRODUCT_ID = 0x0CF0;
inline constexpr uint16_t FIRST_NEW_INTERFACE_PID = 3072;  // cameras from here on carry their firmware
inline constexpr size_t FIRMWARE_RECORD_MAX_BYTES = 1008;

static_assert(sizeof(IdentifyRecord) == 8);
static_assert(sizeof(CommandRecord) == 32);
static_assert(offsetof(CommandRecord, response_length) == 24);
static_assert(sizeof(FirmwareRecord) == 18);
static_assert(offsetof(FirmwareRecord, data_address) == 2 && offsetof(FirmwareRecord, length) == 10);
static_assert(CAMERA_IOCTL_IDENTIFY == 0x80084D01);
static_assert(CAMERA_IOCTL_COMMAND == 0xC0204D00);
static_assert(CAMERA_IOCTL_FIRMWARE_MODE == 0x40044D02);
static_assert(CAMERA_IOCTL_FIRMWARE_RECORD == 0x40124D03);
