// Terminal settings and modem lines of the bridged serial ports.
//
// The only code that touches the termios attributes and the modem lines of a
// serial device. Settings are named by short texts of tokens ("cs7 parenb
// -parodd", "115200", "raw"), each token a row of a fixed table; termios goes
// straight to the descriptor, the modem lines through the platform layer
// (platform::current().serial_ioctl), which must be installed first.
//
// Nothing here keeps state besides the read-only table, so every call is
// safe on any thread; calls on one device must not overlap (one session or
// one watcher thread owns each device).
#pragma once

#include <termios.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// One bridged serial port; the registry holds two.
struct SerialPosition {
    int32_t position = 0;   // 0: port A (/dev/ttyS2), 1: port B (/dev/ttyS3)
    int32_t tty_fd = 0;     // the open serial device; 0 or less: closed
    int32_t client_sd = 0;  // the TCP connection bridged to it; 0: none
    uint8_t break_on = 0;   // 1 while the session holds a BREAK condition
    int32_t baud = 0;       // last settings asked for (the device is the truth)
    int32_t data_size = 0;
    int32_t parity = 0;     // RFC 2217 coding: 1 none, 2 odd, 3 even, 4 mark, 5 space
    int32_t stop_size = 0;  // RFC 2217 coding: 1 one, 2 two stop bits
};

// Which part of the termios attributes a setting row addresses.
enum class TtySettingKind : uint8_t { control, input, output, local, raw, speed };

// One row of the setting table. Flag rows own `mask` in their flag word and
// set `value` within it (the rows of a multi-bit field such as CSIZE own the
// whole field, so "cs5" and "nl0" have value 0); speed rows carry the Linux
// speed code in `value` (B0 ... B230400) and mask 0; the "raw" row has both 0.
struct TtySetting {
    const char* name;
    TtySettingKind kind;
    uint32_t mask;
    uint32_t value;
};

// The table, in search order: the 19 rates "0" to "230400", the control,
// input, output and local flags, then "raw".
std::span<const TtySetting> tty_settings();

// The first row named exactly `name` (case-sensitive), or null.
const TtySetting* find_tty_setting(std::string_view name);

// The speed row of a Linux speed code, or null when no rate of the table has
// that code.
const TtySetting* find_tty_speed(uint32_t code);

// One token of a setting text.
struct TtyToken {
    std::string_view word;  // as written
    std::string_view name;  // the word without one leading '-'
    bool clear;             // the word began with '-'
};

// Splits a setting text at runs of blanks, tabs and newlines. The tokens
// point into `text`.
std::vector<TtyToken> split_tty_text(std::string_view text);

// What set_tty does to the attributes it read, without the device: flag rows
// clear their mask and, unless the token begins with '-', OR in their value;
// speed rows set input and output speed; "raw" zeroes the input, output and
// local flags and sets VMIN 1, VTIME 0. A '-' before a speed or "raw" is
// ignored; unknown tokens are skipped.
void apply_tty_text(termios& attributes, std::string_view text);

// What get_tty reports, without the device: one element per known token, in
// token order (the flag word ANDed with the row's mask; for a speed row the
// input speed code, whichever rate is named; 0 for "raw"). No '-' handling: a
// word with a leading '-' is unknown. `values` is replaced.
void read_tty_text(const termios& attributes, std::string_view text, std::vector<uint32_t>& values);

// Applies the text to the device's attributes in one tcsetattr (TCSANOW),
// even when no token is known. A null text counts as empty. Failures are
// logged; the caller can't tell whether the settings took effect.
void set_tty(int fd, const char* text);

// Reads the settings the text names (see read_tty_text). `values` is cleared
// first; 0, or -1 (logged) when the attributes can't be read.
int get_tty(int fd, const char* text, std::vector<uint32_t>& values);

// Puts a freshly opened port into the bridge's start state: 9600 baud, 8 data
// bits, no parity, one stop bit, no flow control, raw, reads returning at
// once (VMIN 0, VTIME 0), DTR and RTS low, pending input discarded. Records
// 9600, 8, 1 (none), 1 (one) in the port's remembered settings once the line
// and the modem lines are set. 0, or -1 (logged) when a step fails; a closed
// record (tty_fd 0 or less) fails with EBADF without touching any descriptor.
int serial_setup(SerialPosition& port);

// The modem input lines in RFC 2217 form: 0x10 CTS up, 0x20 DSR up; carrier
// and ring are not reported, nor any change bit. 0 (logged) when the lines
// can't be read or the record is closed.
uint8_t serial_get_modem_state(const SerialPosition& port);
