// Opening, identifying and closing a camera node.
#pragma once

#include "driver/camera_info.h"
#include "driver/camera_record.h"

// Reads the identification of the camera behind the open node `fd`: the
// driver's identify request for the product id, then command 0x00 answered
// in the layout of that product id. An unknown product id is logged (class
// and type messages) and read with the long layout. `info` is zeroed first.
// Returns 0, or 1 when a driver request fails or the answer is shorter than
// its layout (logged). Takes no lock: the caller owns the node exclusively
// (the registry, under registry_mutex).
int usb_camera_info(int fd, CameraInfo& info);

// Opens the node at `path` read-write and fills `camera` from it: the record
// reset to its after-open values, `info` read with usb_camera_info (its
// result is not checked: a failed read leaves the record for the registry
// to refuse on connect), fd, pid, type, class and sensor_variant stored.
// Returns 0; -errno when the node can't be opened or the path does not fit
// the record; 1 when the identify request fails, and then the node is closed
// and the record left untouched, so the slot stays free. The caller holds
// registry_mutex; command_mutex and frame_lock must not be held.
int open_camera(const char* path, CameraRecord& camera);

// Closes the camera's node (if open) and sets fd to 0; takes command_mutex
// for it, so that no command is in flight on the descriptor as it closes
// (the caller must not hold command_mutex or frame_lock). With `release`
// the record becomes a free slot: path emptied, info cleared and every
// other field back to its after-open value. Returns 0, or -errno when
// close() fails (the record is updated all the same).
int close_camera(CameraRecord& camera, bool release);
