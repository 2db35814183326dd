// Loading the built-in controller image into a camera that starts without
// firmware.
#pragma once

// Checks the camera node at `path` and, when the camera runs no firmware
// and an image exists for its product id, loads it; the camera then restarts
// under its firmware and appears as a new node. Holds an exclusive flock on
// the node throughout, so concurrent probes of one camera (hot-plug and the
// start-up scan, or another process) upload one after the other; different
// cameras upload in parallel. Takes no other lock.
// Returns:
//    0  no upload needed (firmware runs, or product id 3072 and above):
//       the caller adds the camera;
//   -1  the image was loaded: the caller waits for the new node;
//  -22  no firmware and no image for this product id;
//    1  a driver request failed;
//  -errno when the node can't be opened; errno when flock fails.
// Every failure is logged here.
int upload_firmware(const char* path);
