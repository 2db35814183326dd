// Loading the controller image into a camera that starts without firmware;
// the image comes from the installed firmware source (firmware_source.h).
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
//  -22  no firmware and no image for this product id (on real hardware:
//       no usable file, logged with its path);
//    1  a driver request failed;
//  -errno when the node can't be opened; errno when flock fails.
// Every failure is logged here.
int upload_firmware(const char* path);
