// The daemon's listening sockets: the TCP listeners and the two discovery
// sockets.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char* MULTICAST_GROUP = "234.10.234.210";
inline constexpr uint16_t MULTICAST_PORT = 11111;
inline constexpr uint16_t ALPACA_DISCOVERY_PORT = 32227;
inline constexpr int LISTEN_BACKLOG = 128;

// A non-blocking TCP listener on every address at `port`. Descriptor or -1;
// every failing step is logged and the socket closed.
int create_listen_socket(uint16_t port);

// The UDP discovery socket on port 11111, member of 234.10.234.210 on the
// default interface. Descriptor or -1.
int create_multicast_socket();

// The UDP Alpaca discovery socket on port 32227, with a 100 ms receive
// timeout. Descriptor or -1.
int create_alpaca_discovery_socket();
