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
//   modem a|b [cts=0|1] [dsr=0|1] [dcd=0|1] [ri=0|1]
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
    int position = 0;  // 0: A, 1: B
    std::optional<bool> cts, dsr, dcd, ri;
};

using ControlCommand = std::variant<PlugCamera, PlugWheel, Unplug, List, SetFault, SetModem, SetPoints, Commands,
                                    LastGuide, PinCooler>;

// Parses one control line (without its line end). Pure: the command, or
// nullopt with the reason in `error`.
std::optional<ControlCommand> parse_control_line(std::string_view line, std::string& error);

}  // namespace sim
