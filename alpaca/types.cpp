#include "alpaca/types.h"

#include <cstring>

namespace AlpacaServer {

namespace {

struct TypeNames {
    const char* name;
    const char* label;
};

constexpr TypeNames kTypes[kDeviceTypeCount + 1] = {
    {"unknown", "Unknown"},
    {"camera", "Camera"},
    {"covercalibrator", "CoverCalibrator"},
    {"dome", "Dome"},
    {"filterwheel", "FilterWheel"},
    {"focuser", "Focuser"},
    {"observingconditions", "ObservingConditions"},
    {"rotator", "Rotator"},
    {"safetymonitor", "SafetyMonitor"},
    {"switch", "Switch"},
    {"telescope", "Telescope"},
};

const TypeNames& names_of(int type) {
    return type >= 1 && type <= kDeviceTypeCount ? kTypes[type] : kTypes[0];
}

}  // namespace

const char* error_message(int number) {
    switch (number) {
    case kOk: return "";
    case kNotImplemented: return "Not implemented";
    case kInvalidValue: return "Invalid value";
    case kValueNotSet: return "Value not set";
    case kNotConnected: return "Not connected";
    case kInvalidWhileParked: return "Invalid while parked";
    case kInvalidWhileSlaved: return "Invalid while slaved";
    case kInvalidOperation: return "Invalid operation";
    case kActionNotImplemented: return "Action not implemented";
    default: return "Unknown error";
    }
}

const char* device_type_name(int type) { return names_of(type).name; }

const char* device_type_label(int type) { return names_of(type).label; }

int device_type_from_name(const char* name, unsigned long length) {
    for (int type = 1; type <= kDeviceTypeCount; ++type) {
        const char* known = kTypes[type].name;
        if (std::strlen(known) == length && std::memcmp(known, name, length) == 0)
            return type;
    }
    return 0;
}

}  // namespace AlpacaServer
