// The command transport: one request/response exchange with a camera
// through its kernel-driver node, or with a standalone wheel over USB bulk
// transfers.
//
// A request is a command byte and its parameters; a response begins with a
// status byte, 0x80 on success. Results (driver/result.h): ok; busy when an
// image transfer holds the camera's frame lock; request_failed when the
// driver request or a bulk transfer failed; device_status when the device
// answered with a status byte other than 0x80.
// Every failure is logged here, once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/camera_record.h"
#include "driver/result.h"
#include "driver/wheel.h"

// Time-out of each half of a wheel exchange.
inline constexpr unsigned WHEEL_TRANSFER_TIMEOUT_MS = 60000;
inline constexpr uint8_t WHEEL_ENDPOINT_OUT = 0x01;
inline constexpr uint8_t WHEEL_ENDPOINT_IN = 0x82;

// Sends `request_length` bytes of `request` (may be null when 0) and
// receives at most `response_capacity` bytes into `response`; `received` is
// set to the number the camera returned (never more than the capacity) once
// the request went through. Takes command_mutex, then tries frame_lock:
// when an image transfer holds it, returns busy at once and sends nothing.
// Releases frame_lock before command_mutex, so that commands queued on the
// mutex never see a command's own hold of the frame lock as a transfer.
// The caller holds neither. With
// capacity 0 the result is ok whatever came back; otherwise the first
// response byte is the status. A closed camera (no node) is request_failed.
// The node is held for the exchange, so an unplug never closes it under one.
DriverResult usb_camera_command_us(CameraRecord& camera, const uint8_t* request, size_t request_length,
                          uint8_t* response, size_t response_capacity, size_t& received);

// usb_camera_command_us without the received length.
DriverResult camera_command(CameraRecord& camera, const uint8_t* request, size_t request_length,
                   uint8_t* response, size_t response_capacity);

// The request that starts an image transfer, sent by the thread that has
// already taken frame_lock for it: serialised with other commands by
// command_mutex, never refused. Holding the lock from before the request
// on, no other command reaches the camera between the request and the
// image it starts. No response is expected; ok or request_failed (logged).
// Goes to `node`, the node the transfer took from the record at its start
// and reads from (null: request_failed).
DriverResult readout_command(CameraRecord& camera, const NodeRef& node, const uint8_t* request,
                             size_t request_length);

// Acknowledges a finished image transfer on a new-interface camera (product
// id 3072 and above); does nothing for the others. Called by the readout
// while it still holds frame_lock, so the request goes to the node directly,
// without either lock, on the node the transfer read from. Failures are
// logged and do not change the readout. The one-argument form uses the
// record's node of the moment.
void cmos_readok(CameraRecord& camera, const NodeRef& node);
void cmos_readok(CameraRecord& camera);

// One wheel exchange: the request (if any) to endpoint 0x01, then exactly
// `response_length` bytes (if any) from endpoint 0x82, each with a 60 s
// time-out, all under wheel_mutex (taken here; the caller must not hold
// it). A transfer that fails or moves fewer bytes than asked is
// request_failed.
DriverResult usb_wheel_command(WheelRecord& wheel, const uint8_t* request, size_t request_length,
                      uint8_t* response, size_t response_length);

// usb_wheel_command for a caller that already holds wheel_mutex, so that it
// can read or update the record in the same critical section.
DriverResult usb_wheel_command_locked(WheelRecord& wheel, const uint8_t* request, size_t request_length,
                             uint8_t* response, size_t response_length);
