// The capability getters: what a camera can do, by parameter index.
//
// The CMOS types answer from one table whatever their class; other cameras
// from the table of their class (2, 3, 4 and 5, 6, 7). Classes without a
// table (0, unknown; 1; and the rest) fail every index. Both read the record
// without a lock: the values they use are set at open and by the thread that
// holds the camera.
#pragma once

#include <cstdint>

#include "driver/camera_record.h"

// Boolean parameter `index` into *value, which is set to 0 first.
// 0, or -1 for a null record or pointer, a class without a table, an index
// the table lacks (trace "gbp(): bad index"), or a parameter the camera can't
// answer (no message).
int gbp(const CameraRecord* camera, int index, uint8_t* value);

// Integer parameter `index` into *value, which is set to -1 first; results as
// for gbp ("gip(): bad index", "gip(): bad camera class %d").
int gip(const CameraRecord* camera, int index, int32_t* value);
