// The daemon's listening sockets and the socket helpers of the sessions.
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

// Keep-alive settings of a connection a session takes over: the peer is given
// up after about 23 seconds without an answer. Failures are logged and the
// connection is used all the same.
void set_keepalive(int sd);

// Writes all `length` bytes with write() calls of at most `chunk` bytes each
// (unlimited when chunk <= 0), continuing after short writes. 0, or -1 as soon
// as a write fails.
int write_chunked(int fd, const void* data, size_t length, int chunk);

// Copies the name of the IPv4 interface that carries the socket's local
// address into `buffer` (truncated, always NUL-terminated). The buffer is left
// unchanged when no interface matches.
void local_interface_name(int sd, char* buffer, size_t size);
