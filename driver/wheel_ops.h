// Standalone wheels: opening, identification, closing and the three
// operations. Results of the three operations are those of
// usb_wheel_command (ok, request_failed for a failed transfer,
// device_status for a refused command), and refused for a position no
// request can carry (nothing is sent then). Opening, closing and the
// identification keep their plain codes (0, -errno, -1).
#pragma once

#include <cstdint>

#include "driver/result.h"
#include "driver/wheel.h"
#include "platform/platform.h"

// Opens the USB device node at `path`, wraps it into a libusb handle,
// detaches a kernel driver from interface 0 if one is bound (failure is not
// fatal), claims interface 0, and fills `wheel`: path, a cleared record,
// info read with usb_wheel_info (result not checked), fd, handle and pid.
// Returns 0; -errno when the node can't be opened or the path does not fit
// the record; -1 when the node can't be wrapped or interface 0 claimed
// (the node and handle are closed again and the record left untouched).
// The caller holds registry_mutex; wheel_mutex must not be held.
int open_wheel(const char* path, WheelRecord& wheel);

// Releases interface 0 and closes the handle (if held), then the node (if
// open); fd becomes 0. Takes wheel_mutex for it, so an exchange in flight
// finishes (or fails, on a vanished device) before the handle goes; the
// caller must not hold it. With `release` the record becomes a free slot.
// Returns 0, or -errno when close() fails (the record is updated all the
// same).
int close_wheel(WheelRecord& wheel, bool release);

// The identification exchange: [0x1A] out, exactly 41 bytes in, then vid
// and pid from the device descriptor. `info` is zeroed first and stays so
// when an exchange fails. Returns 0 or -1 (traced only; callers log).
// Does not take wheel_mutex: it works on a bare handle, for the registry,
// which holds the wheel alone while it calls this.
int usb_wheel_info(platform::UsbHandle* handle, WheelInfo& info);

// Moves to `position`, numbered over both wheels by the counts in the
// record's info (read under wheel_mutex with the exchange).
DriverResult wheel_set_position(WheelRecord& wheel, uint32_t position);

// Sends the two wheels' positions as they are.
DriverResult wheel_set_positions(WheelRecord& wheel, uint8_t first, uint8_t second);

// Asks the wheel for its two position counts; on success stores them in
// info.filters and info.filters2 (under wheel_mutex, with the exchange) and
// returns them in `first` and `second`, which are untouched otherwise.
DriverResult wheel_get_counts(WheelRecord& wheel, int& first, int& second);
