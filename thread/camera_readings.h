// Temperature and readings of a camera session: the set point with its
// ramp, the value cache, and the cooler power samples.
#pragma once

#include "thread/camera_session_state.h"

// TCP_CMD_SETTEMPERATURE: at once without a ramp rate, else the first step
// now and the rest on the ramp timer. The result of the set point or of
// arming the timer.
int set_temperature_request(CameraSession& session, float target);

// TCP_CMD_SETTEMPRAMP: a rate of 0 or less (or not a number) ends ramping.
void set_ramp_rate(CameraSession& session, float rate);

// TCP_CMD_GETVALUE: the reading of `index`, from the cache while the camera
// is busy or refuses (−2); index 11 of a dual-sample camera is the cooler
// power timer's last sample. The result is the status.
int get_value_request(CameraSession& session, int index, float& value);

// Timer work: one ramp step; one cooler power sample.
void ramp_expired(CameraSession& session);
void power_expired(CameraSession& session);

// Whether the camera is registered, claimed and its node open (checked
// under the registry lock, since hot-plug closes the node).
bool camera_attached(const CameraRecord& camera);
