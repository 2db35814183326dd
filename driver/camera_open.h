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
// (the registry, before the node joins a record).
int usb_camera_info(int fd, CameraInfo& info);

// The same on a camera's record: on the node it holds (a reference kept for
// the exchange) under command_mutex. 1 when the node is closed.
int usb_camera_info(CameraRecord& camera, CameraInfo& info);

// Opens the node at `path` read-write and fills `camera` from it: the record
// reset to its after-open values, `info` read with usb_camera_info (its
// result is not checked: a failed read leaves the record for the registry
// to refuse on connect), the node, pid, type, class and sensor_variant
// stored. Returns 0; -errno when the node can't be opened or the path does
// not fit the record; 1 when the identify request fails, and then the node
// is closed and the record left untouched, so the slot stays free. Device
// I/O: never under registry_mutex, on a record nobody else uses (tests and
// tools; the registry opens with open_node and fills with
// fill_camera_record). `state` is left to the registry.
int open_camera(const char* path, CameraRecord& camera);

// Makes `camera` the record of the identified camera behind `node` at
// `path`: reset to its after-open values, then path, info, node, pid, type,
// class and sensor_variant stored. No device I/O: the registry calls it
// under registry_mutex on a record nobody uses. `state` is left to the
// registry.
void fill_camera_record(CameraRecord& camera, const char* path, NodeRef node, const CameraInfo& info,
                        uint16_t pid);

// Lets go of the camera's node (if open), marking it gone: commands and
// transfers that still hold it finish on it (failing, as the device went),
// and its descriptor is closed when the last of them lets go. Never waits
// for them. With `release` the record's fields become those of a free slot:
// path emptied, info cleared and every other field back to its after-open
// value (`state` is left to the registry). Returns 0, or -errno when the
// descriptor was closed here and close() failed (the record is updated all
// the same).
int close_camera(CameraRecord& camera, bool release);
