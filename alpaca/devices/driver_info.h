// What every Alpaca device of the box says of its driver (driverinfo and
// driverversion).
#pragma once

namespace AlpacaServer {

inline constexpr const char kDriverInfo[] =
    "Corvane ETH Adapter Alpaca driver\n"
    "Copyright (c) Corvane Instruments. All rights reserved.\n"
    "https://www.example.com/eth-adapter\n"
    "support@example.com";

// The daemon's version number.
inline constexpr const char kDriverVersion[] = "61";

}  // namespace AlpacaServer
