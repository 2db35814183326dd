// The control language of the virtual box: one command per line.
//
//   plug camera PID [id=N] [nofw] [width=W] [height=H] [pixelw=NM] [pixelh=NM]
//                   [filters=N] [flags=N] [aux=N] [desc=TEXT] [ser=TEXT]
//                   [chip=TEXT] [ver128=N] ... [ver131=N] [pattern=coords|sky]
//                   [open_ms=N] [close_ms=N] [cool_rate=N] [gps_epoch=N]
//                   [gps_fix=0|1] [cal_offset=N] [cal_gain=N] [subframe=0|1]
//                   [read_rate=N]
//   plug wheel [id=N] [filters=N] [filters2=N] [desc=TEXT] [ser=TEXT] [move_ms=N]
//   unplug PATH
//   list
//   setpoints PATH
//   commands PATH
//   guide PATH
//   cooler PATH ON OFF | cooler PATH auto
//   fault PATH status CMD STATUS [count=N]
//   fault PATH ioctl identify|command|fwmode|fwrecord|any [count=N]
//   fault PATH read BYTES [count=N]
//   fault PATH bulk out|in fail|short=N [count=N]
//   fault PATH delay MS [count=N]
//   fault PATH clear
//   modem a|b|legacy|cdc [cts=0|1] [dsr=0|1] [dcd=0|1] [ri=0|1]
//   plug button [pressed=0|1] [openfail] [leave=N]
//   button usb|PATH|ttyS0|parallel [press|release|tap [N]]
//   board name=TEXT | board absent | board unreadable
//   tty ttyS0|ttyACM0 [present|absent|nouart|notty | send TEXT]
//   parallel present|absent
//
// Numbers are decimal or 0x-prefixed hexadecimal. A TEXT with blanks is
// written in double quotes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "sim/camera_profile.h"
#include "sim/faults.h"
#include "sim/watcher_hardware.h"
#include "sim/wheel_model.h"

namespace sim {

struct PlugCamera {
    CameraOptions options;
};
struct PlugWheel {
    std::optional<uint32_t> id;
    WheelProfile profile;  // id, desc and ser filled in by the box when not given
    bool desc_given = false, ser_given = false;
};
struct Unplug {
    std::string path;
};
struct List {};
// The set points a camera received, one line each: "MS CELSIUS", the
// milliseconds since it was plugged and the temperature asked for.
struct SetPoints {
    std::string path;
};
// How many command requests a camera received: one line, the count; with
// `in_flight` ("inflight PATH"), how many are in progress right now.
struct Commands {
    std::string path;
    bool in_flight = false;
};
// The last guide command a camera received: one line "RA DEC" (signed
// milliseconds as sent), none before the first.
struct LastGuide {
    std::string path;
};
// Holds a camera's cooler drive at ON and OFF time, as its firmware then
// reports it; nullopt ("auto") lets the cooler follow the temperatures.
struct PinCooler {
    std::string path;
    std::optional<std::pair<uint16_t, uint16_t>> cycle;
};
struct SetFault {
    std::string path;
    std::optional<Fault> fault;  // nullopt: clear the device's faults
};
struct SetModem {
    int position = 0;  // 0: A, 1: B, 2: the legacy port /dev/ttyS0, 3: the CDC line /dev/ttyACM0
    std::optional<bool> cts, dsr, dcd, ri;
};
// A USB reset-button interface (0x1347:0x0002); `open_fails`: opening its
// node is refused (EACCES); `leave_after`: it is unplugged right after
// answering that many samples.
struct PlugButton {
    bool pressed = false;
    bool open_fails = false;
    std::optional<uint32_t> leave_after;
};
// The reset button as one wiring sees it: "usb" (the first plugged USB
// button), a USB button's path, "ttyS0" (the legacy port's DSR) or
// "parallel". Always answers the wiring's "pressed=... taps=N samples=N".
struct PressButton {
    enum class Action { report, press, release, tap };
    std::string where;
    Action action = Action::report;
    int count = 1;  // taps
};
struct SetBoard {
    BoardFile file = BoardFile::present;
    std::string text;  // as the file holds it
};
// The legacy port or the CDC line: how it answers an open, or bytes the
// far end sends. Always answers "STATE opens=N".
struct SetTty {
    std::string name;  // "ttyS0" or "ttyACM0"
    std::optional<TtyState> state;
    std::optional<std::string> send;
};
struct SetParallel {
    bool present = true;
};

using ControlCommand = std::variant<PlugCamera, PlugWheel, Unplug, List, SetFault, SetModem, SetPoints, Commands,
                                    LastGuide, PinCooler, PlugButton, PressButton, SetBoard, SetTty, SetParallel>;

// Parses one control line (without its line end). Pure: the command, or
// nullopt with the reason in `error`.
std::optional<ControlCommand> parse_control_line(std::string_view line, std::string& error);

}  // namespace sim
