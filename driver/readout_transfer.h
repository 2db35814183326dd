// The envelope every readout shares: the request, the frame lock and the
// `reading` flag around one image transfer from the camera's node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "driver/camera_record.h"
#include "driver/result.h"

// A read buffer of `size` bytes, or null (logged) when there is no memory.
std::unique_ptr<uint8_t[]> allocate_read_buffer(size_t size);

// Reads up to `size` bytes of the stream of the camera node `node` (the one
// the transfer took at its start and holds to its end) into `buffer`, going
// on after partial reads; stops early on end of stream or a failed read,
// which is logged as "read() failed: read %d bytes: %s". Returns the bytes
// read.
size_t read_stream(const DeviceNode& node, uint8_t* buffer, size_t size);

// One synchronous transfer: takes a reference to the camera's node for its
// whole length (request, stream and acknowledgement all go to that node),
// sets `reading`, takes the frame lock, sends the
// readout request (a failure releases the lock, clears `reading` and is
// returned), reads exactly `size` bytes into `buffer`, acknowledges the image when
// `acknowledge` is set (cmos_readok), releases the frame lock and clears
// `reading`. ok, the request's failure, or short_stream with the bytes
// that came (the lock is released and `reading` cleared as well).
DriverResult transfer_image(CameraRecord& camera, const uint8_t* request, size_t request_length,
                   uint8_t* buffer, size_t size, bool acknowledge);
