// The two discovery responders: the box's own multicast address request and
// the ASCOM Alpaca discovery request. Both run on the main thread.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr const char* ADDRESS_REQUEST = "ETHADAP_GET_IP";
inline constexpr const char* ALPACA_REQUEST = "alpacadiscovery1";
inline constexpr uint16_t ALPACA_HTTP_PORT = 8000;

// Whether a received datagram (the text up to its first zero byte) is exactly
// the address request.
bool is_address_request(const char* text);

// Whether a received datagram of `length` bytes is exactly "alpacadiscovery1"
// (16 bytes, nothing after them up to the first zero byte).
bool is_alpaca_request(std::span<const char> datagram);

// Answers an address request with "ETHADAP_GET_IP;<address>" to the group;
// ignores any other text.
void handle_discovery_request(const char* text);

// The box's address as dotted text: wlan0 when it is up and has one, else
// eth0, else "127.0.0.1" (logged). `buffer` holds at least 16 bytes; null
// does nothing.
void get_my_ip(char* buffer);

// Sends `text` (without its zero byte) to 234.10.234.210:11111 from a fresh
// socket with multicast loopback off.
void send_discovery_reply(const char* text);

// Answers an Alpaca discovery datagram received on `sd` from `peer` with
// {"AlpacaPort":8000}; ignores anything else.
void handle_alpaca_discovery(int sd, std::span<const char> datagram, const sockaddr_in& peer);
