// The factory-reset button: sampled for the first 12 seconds; one sample
// that saw it pressed runs the factory reset once the window has closed.
#pragma once

#include <string_view>

inline constexpr double RESET_WINDOW_SECONDS = 12;
inline constexpr const char* BOARD_NAME_FILE = "/sys/devices/virtual/dmi/id/board_name";
inline constexpr unsigned short BUTTON_VENDOR = 0x1347, BUTTON_PRODUCT = 0x0002;

// How the board wires its button.
enum class ButtonMethod {
    usb_button,     // the vendor's USB button interface (checked first, on any board)
    cdc_line,       // boards named "X4": a USB CDC line, /dev/ttyACM0 (never resets)
    modem_lines,    // boards named "N4200T": CTS or DSR of /dev/ttyS0
    parallel_port,  // any other board: data 0x378 looped to status 0x379
};

// Pure: the method for what was found.
ButtonMethod choose_button_method(bool usb_button_found, std::string_view board_name);

// The thread's work: returns when the window has closed (after the reset,
// when one is due), or at once when no method can be set up (logged).
void run_reset_button();
