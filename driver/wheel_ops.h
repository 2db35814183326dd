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
// fatal), claims interface 0 and identifies the wheel into `info`. The open
// port, or null when any step fails: everything opened is closed again and
// the failure logged ("Could not obtain wheel %s info" when the
// identification fails). With `error`: 0, -errno when the node can't be
// opened (or the path does not fit a record), -1 for the other failures.
// Device I/O: never under registry_mutex.
WheelPortRef open_wheel_port(const char* path, WheelInfo& info, int* error = nullptr);

// Makes `wheel` the record of the identified wheel on `port` at `path`:
// path, info, pid and port stored, owner cleared. No device I/O (the
// registry calls it under registry_mutex); `state` is left to the registry.
void fill_wheel_record(WheelRecord& wheel, const char* path, WheelPortRef port, const WheelInfo& info);

// open_wheel_port and fill_wheel_record. Returns 0; -errno when the node
// can't be opened or the path does not fit the record; -1 when the node
// can't be wrapped, interface 0 claimed or the wheel identified (everything
// is closed again and the record left untouched, so its slot stays free).
int open_wheel(const char* path, WheelRecord& wheel);

// Lets go of the wheel's port (if open), marking its node gone: an exchange
// in flight finishes on it (failing, on a vanished device), and the handle
// and node close when the last user lets go. Never waits. With `release` the
// record's fields become those of a free slot (`state` is left to the
// registry). Returns 0, or -errno when the node was closed here and close()
// failed (the record is updated all the same).
int close_wheel(WheelRecord& wheel, bool release);

// The identification exchange on a record's port, under wheel_mutex (with a
// reference to the port for its length). -1 when the wheel is closed.
int wheel_identify(WheelRecord& wheel, WheelInfo& info);

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
