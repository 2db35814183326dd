// Devices that come and go: the start-up probe and the udev events.
#pragma once

// Starts the one-pass probe of the cameras and wheels already attached, on a
// detached thread. False (logged) when it can't be started.
bool start_device_probe();

// The probe itself: cameras among the entries of /dev whose names begin with
// "telva" (after their firmware is seen to), and wheels in the USB device
// list. Registers what it finds.
void dev_probe_threadproc();

// Takes one event from the hot-plug monitor and registers or removes the
// device it names. Main thread.
void handle_udev_event();

// Whether a udev event's idVendor / idProduct texts name a standalone wheel.
bool is_wheel_event(const char* id_vendor, const char* id_product);
