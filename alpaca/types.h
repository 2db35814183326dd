// Alpaca device types and error numbers: their numbering, URL names, labels
// and messages.
#pragma once

namespace AlpacaServer {

// Alpaca device type numbers; 0 is "no known type".
enum class DeviceType : int {
    unknown = 0,
    camera = 1,
    covercalibrator = 2,
    dome = 3,
    filterwheel = 4,
    focuser = 5,
    observingconditions = 6,
    rotator = 7,
    safetymonitor = 8,
    switch_ = 9,
    telescope = 10,
};
inline constexpr int kDeviceTypeCount = 10;

// Alpaca error numbers.
inline constexpr int kOk = 0;
inline constexpr int kNotImplemented = 1024;
inline constexpr int kInvalidValue = 1025;
inline constexpr int kValueNotSet = 1026;
inline constexpr int kNotConnected = 1031;
inline constexpr int kInvalidWhileParked = 1032;
inline constexpr int kInvalidWhileSlaved = 1033;
inline constexpr int kInvalidOperation = 1035;
inline constexpr int kActionNotImplemented = 1036;
// The first driver-specific number: what went wrong is not one of the above
// (a value JSON cannot carry, a frame shorter than its size).
inline constexpr int kUnspecifiedError = 0x500;

// The message of an error number: "" for 0, "Unknown error" for numbers
// outside the table.
const char* error_message(int number);

// URL name ("camera", ...) and label ("Camera", ...) of a type number;
// "unknown" / "Unknown" outside 1-10.
const char* device_type_name(int type);
const char* device_type_label(int type);

// The type number whose URL name is exactly `name` (case-sensitive), 0 when
// none is.
int device_type_from_name(const char* name, unsigned long length);

}  // namespace AlpacaServer
