// The Telnet side of the serial bridge: classifying the bytes a client sends,
// escaping the bytes it receives, and building COM-PORT-OPTION messages
// (RFC 854, RFC 2217).
//
// Everything here is a pure function of its arguments: no descriptor, no
// state, no allocation. Lengths are always bounded by the buffer given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr uint8_t TELNET_IAC = 255;
inline constexpr uint8_t TELNET_DONT = 254;
inline constexpr uint8_t TELNET_DO = 253;
inline constexpr uint8_t TELNET_WONT = 252;
inline constexpr uint8_t TELNET_WILL = 251;
inline constexpr uint8_t TELNET_SB = 250;
inline constexpr uint8_t TELNET_SE = 240;
inline constexpr uint8_t COM_PORT_OPTION = 44;

// RFC 2217 client sub-command codes; the server's carry the code plus 100.
enum ComPortCode : uint8_t {
    SIGNATURE = 0,
    SET_BAUDRATE = 1,
    SET_DATASIZE = 2,
    SET_PARITY = 3,
    SET_STOPSIZE = 4,
    SET_CONTROL = 5,
    NOTIFY_LINESTATE = 6,
    NOTIFY_MODEMSTATE = 7,
    FLOWCONTROL_SUSPEND = 8,
    FLOWCONTROL_RESUME = 9,
    SET_LINESTATE_MASK = 10,
    SET_MODEMSTATE_MASK = 11,
    PURGE_DATA = 12,
};
inline constexpr uint8_t SERVER_CODE_OFFSET = 100;

// The longest sub-negotiation a client may leave unfinished at the end of a
// read and still have it completed by the next one. RFC 2217 requests are at
// most 14 bytes even with every value byte doubled; a longer unfinished one
// is taken as data.
inline constexpr size_t SUBNEGOTIATION_HOLD_LIMIT = 64;

// Classifies the head of the unparsed client bytes: TELNET_SB (250) for a
// complete sub-negotiation, the verb (251..254) for a negotiation, 0 for
// anything else. `consumed` becomes the command's length (3 for a
// negotiation, IAC SB through the first IAC SE not inside a doubled IAC for
// a sub-negotiation) or 0. A sub-negotiation of 5 bytes or fewer (no code)
// is not a command.
int telnet_command_length(const uint8_t* data, size_t length, size_t& consumed);

// The number of bytes before the next IAC: 0 for an empty run; 1 when the
// run opens with a doubled IAC; otherwise the index of the first IAC or,
// with `skip_first_iac`, of the second one (the first met is passed over),
// or `length` when there is none.
size_t data_run_length(const uint8_t* data, size_t length, bool skip_first_iac);

// What the client's next bytes are, and how many of them belong to it.
struct ClientItem {
    enum class Kind {
        data,            // `length` bytes for the device as they are
        escaped_iac,     // IAC IAC: one 0xFF for the device; length 2
        negotiation,     // IAC verb option; length 3
        subnegotiation,  // IAC SB ... IAC SE
        incomplete,      // the start of a command that more bytes may finish
    };
    Kind kind;
    size_t length;
};

// The next item of a non-empty client byte run. With `more_may_follow`, a
// trailing IAC, IAC verb or unfinished IAC SB (shorter than
// SUBNEGOTIATION_HOLD_LIMIT) is `incomplete`; without it such a tail is data,
// so a lone IAC at the end of what a client sent reaches the device. Any IAC
// that does not begin a command (IAC NOP, IAC SE, a stray IAC) is data from
// it up to the next IAC. The length is never 0 and never beyond the run.
ClientItem next_client_item(std::span<const uint8_t> bytes, bool more_may_follow);

// The answer to a negotiation: COM-PORT-OPTION is agreed to when the client
// offers it (WILL -> DO) and refused otherwise; every other option is
// refused (WILL/WONT -> DONT, DO/DONT -> WONT). No option state is kept,
// so a repeated request gets its answer again.
uint8_t negotiation_reply(uint8_t verb, uint8_t option);

// Copies `length` bytes into `out`, doubling every 0xFF; the number of bytes
// written. `out` must hold 2 * length bytes.
size_t escape_iac(const uint8_t* data, size_t length, uint8_t* out);

// The bytes between IAC SB option and IAC SE of a complete sub-negotiation
// (for COM-PORT-OPTION: the code, then the value bytes), with their IAC
// doubling undone, into `out` (at most `capacity` bytes, the rest is cut).
// The number written.
size_t subnegotiation_payload(std::span<const uint8_t> subnegotiation, uint8_t* out, size_t capacity);

// The longest message com_port_message writes.
inline constexpr size_t COM_PORT_MESSAGE_MAX = 14;

// Writes the server's message for client code `code` (sent as code + 100)
// with `value`: 4 bytes big-endian for SET-BAUDRATE, else the low byte. A
// value byte 0xFF is doubled, as inside any sub-negotiation. Returns the
// length (10 or 7 without a 0xFF; at most COM_PORT_MESSAGE_MAX); a null
// buffer gives 0.
size_t com_port_message(uint8_t* buffer, uint8_t code, uint32_t value);
