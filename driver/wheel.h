// Standalone filter wheels: the record, the identification and the request
// bytes of a move.
//
// A standalone wheel is its own USB device (vendor 0x1347, product 0x0CF0),
// reached through libusb on its /dev/bus/usb/BBB/DDD node. A double wheel is
// two stacked wheels addressed together; positions are numbered over both.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <utility>

#include "driver/device_node.h"
#include "driver/device_state.h"

#include "platform/platform.h"

// The wheel's identification, 44 bytes, little-endian; sent to clients
// unchanged. Texts are NUL-terminated within their 16 bytes, without trailing
// white space.
struct __attribute__((packed)) WheelInfo {
    uint32_t id;        // how the registry and clients name the wheel
    uint8_t filters;    // positions of the first wheel
    uint8_t filters2;   // positions of the second wheel; 0: a single wheel
    uint8_t reserved[2];// as the wheel delivers them
    char desc[16];
    char ser[16];
    uint16_t vid;       // from the USB device descriptor
    uint16_t pid;
};

static_assert(std::endian::native == std::endian::little, "WheelInfo goes to clients as it is in memory");
static_assert(sizeof(WheelInfo) == 44);
static_assert(offsetof(WheelInfo, id) == 0);
static_assert(offsetof(WheelInfo, filters) == 4);
static_assert(offsetof(WheelInfo, filters2) == 5);
static_assert(offsetof(WheelInfo, reserved) == 6);
static_assert(offsetof(WheelInfo, desc) == 8);
static_assert(offsetof(WheelInfo, ser) == 24);
static_assert(offsetof(WheelInfo, vid) == 40);
static_assert(offsetof(WheelInfo, pid) == 42);

inline constexpr size_t WHEEL_PATH_SIZE = 4096;
inline constexpr size_t WHEEL_INFO_ANSWER = 41;  // status byte and bytes 0..39 of WheelInfo

// Wheel command bytes.
inline constexpr uint8_t WHEEL_CMD_GET_COUNTS = 0x10;
inline constexpr uint8_t WHEEL_CMD_SET_POSITION = 0x11;
inline constexpr uint8_t WHEEL_CMD_INFO = 0x1A;

// A wheel's libusb handle: releases the interface it claimed and closes
// the handle when it goes (defined in wheel_ops.cpp).
class UsbHandleHolder {
public:
    UsbHandleHolder() = default;
    explicit UsbHandleHolder(platform::UsbHandle* handle) : handle_(handle) {}
    ~UsbHandleHolder() { reset(); }
    UsbHandleHolder(UsbHandleHolder&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), claimed_(std::exchange(other.claimed_, false)) {}
    UsbHandleHolder& operator=(UsbHandleHolder&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
            claimed_ = std::exchange(other.claimed_, false);
        }
        return *this;
    }

    platform::UsbHandle* get() const { return handle_; }
    // Interface 0 was claimed on the handle: reset releases it first.
    void claimed() { claimed_ = true; }
    void reset();

private:
    platform::UsbHandle* handle_ = nullptr;
    bool claimed_ = false;
};

// An open wheel: its USB device node and the handle wrapped around it. The
// handle goes first, then the node (members are destroyed in reverse). Shared
// like a camera's node: every exchange holds it, so an unplug or a re-plug
// never closes it under one.
struct WheelPort {
    NodeRef node;
    UsbHandleHolder handle;
};
using WheelPortRef = std::shared_ptr<WheelPort>;

// One per standalone wheel in the wheel registry's static table; never moves,
// never freed. `wheel_mutex` is held over every whole bulk exchange; `state`
// is moved by the registry only.
struct WheelRecord {
    char path[WHEEL_PATH_SIZE] = {};   // the USB device node; empty: a free slot
    std::atomic<DeviceState> state{DeviceState::free};
    uint32_t pid = 0;                  // product id, from info
    WheelInfo info = {};
    SharedSlot<WheelPort> port;        // empty while closed
    int32_t owner_sock = 0;            // holding TCP client
    std::mutex wheel_mutex;
};

// Fills `info` from the wheel's answer to 0x1A: bytes 1..40 become WheelInfo
// bytes 0..39 (the status byte is not examined), the two texts terminated and
// trimmed; vid and pid are left 0 for the caller to take from the device
// descriptor. `info` is zeroed first. 0, or -1 when the answer is not exactly
// 41 bytes (then `info` stays zeroed). Logs nothing.
int parse_wheel_info(std::span<const uint8_t> answer, WheelInfo& info);

// The request that moves a wheel with these counts to `position`, numbered
// over both wheels: [0x11, a, b] with a the first wheel's position or 0 and b
// the second wheel's position counted from 1, or 0. 0, or -1 when the
// position can't be put into a request byte (nothing is to be sent then).
int wheel_position_request(uint8_t filters, uint8_t filters2, uint32_t position,
                           std::array<uint8_t, 3>& request);
