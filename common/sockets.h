// Socket helpers of the sessions: keep-alive settings, chunked writes and
// the interface under a connection.
#pragma once

#include <cstddef>

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
