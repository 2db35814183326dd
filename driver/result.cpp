#include "driver/result.h"

#include <ios>

std::ostream& operator<<(std::ostream& out, DriverResult result) {
    switch (result.kind()) {
    case ResultKind::ok: return out << "ok";
    case ResultKind::busy: return out << "busy";
    case ResultKind::request_failed: return out << "request failed";
    case ResultKind::device_status:
        return out << "device status 0x" << std::hex << unsigned{result.status()} << std::dec;
    case ResultKind::not_available: return out << "not available";
    case ResultKind::no_such_value: return out << "no such value";
    case ResultKind::bad_answer: return out << "bad answer";
    case ResultKind::gps_ticks_out_of_range: return out << "GPS ticks out of range";
    case ResultKind::refused: return out << "refused";
    case ResultKind::short_stream: return out << "short stream after " << result.stream_bytes() << " bytes";
    }
    return out << "?";
}
