// The daemon's version number and build stamp, as the version request reports them.
#pragma once

inline constexpr int TELVAD_VERSION = 61;
inline constexpr const char* TELVAD_BUILD_DATE = __DATE__;  // "Jan 29 2026"
inline constexpr const char* TELVAD_BUILD_TIME = __TIME__;  // "10:10:57"
