// What the Alpaca devices of this box say about their driver.
#pragma once

namespace AlpacaServer {

// Four lines: product, rights, web address, contact address.
inline constexpr const char* kDriverInfo =
    "telvad Alpaca devices for cameras and filter wheels\n"
    "Copyright the telvad authors\n"
    "https://example.com/telvad\n"
    "support@example.com";
// The daemon's version number.
inline constexpr const char* kDriverVersion = "61";

}  // namespace AlpacaServer
