// Devices that come and go: the start-up probe and the udev events.
#pragma once

// Devices are opened, identified, given their firmware and closed on one
// hot-plug worker thread, started with the first piece of work, which does
// the probe and the events in the order they came. The main loop only
// receives events and queues them.

// Queues the one-pass probe of the cameras and wheels already attached on
// the hot-plug worker (run here when the worker can't be started, logged).
bool start_device_probe();

// The probe itself: cameras among the entries of /dev whose names begin with
// "telva" (after their firmware is seen to), and wheels in the USB device
// list. Registers what it finds.
void dev_probe_threadproc();

// Takes one event from the hot-plug monitor and queues its "add" or
// "remove" for the hot-plug worker, which registers or removes the device
// it names. Main thread; never waits for a device.
void handle_udev_event();

// Whether a udev event's idVendor / idProduct texts name a standalone wheel.
bool is_wheel_event(const char* id_vendor, const char* id_product);
