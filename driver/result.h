// What a driver operation came to: one kind per meaning, so that a failed
// request, a device's status byte and a byte count can never be mistaken
// for one another. The i32 a client sees on the wire is made from it in one
// place, wire_status.
#pragma once

#include <cstdint>
#include <ostream>

enum class ResultKind : uint8_t {
    ok,
    busy,                    // an image transfer holds the camera: nothing was sent
    request_failed,          // the driver request or a bulk transfer failed
    device_status,           // the device answered with a status byte other than 0x80
    not_available,           // the camera has no such operation: nothing was sent
    no_such_value,           // get_value: no such reading on this camera
    bad_answer,              // an answer missing, too short, or malformed (GPS text)
    gps_ticks_out_of_range,  // a GPS tick count outside the exposure's clock
    refused,                 // a parameter the camera can't take, or no memory
    short_stream,            // readouts: the image stream ended early
};

class [[nodiscard]] DriverResult {
public:
    constexpr DriverResult() = default;  // ok

    static constexpr DriverResult ok() { return {}; }
    static constexpr DriverResult busy() { return DriverResult(ResultKind::busy); }
    static constexpr DriverResult request_failed() { return DriverResult(ResultKind::request_failed); }
    static constexpr DriverResult device_status(uint8_t status) {
        return DriverResult(ResultKind::device_status, status);
    }
    static constexpr DriverResult not_available() { return DriverResult(ResultKind::not_available); }
    static constexpr DriverResult no_such_value() { return DriverResult(ResultKind::no_such_value); }
    static constexpr DriverResult bad_answer() { return DriverResult(ResultKind::bad_answer); }
    static constexpr DriverResult gps_ticks_out_of_range() { return DriverResult(ResultKind::gps_ticks_out_of_range); }
    static constexpr DriverResult refused() { return DriverResult(ResultKind::refused); }
    // `bytes`: how much of the stream came before it ended (0 for none).
    static constexpr DriverResult short_stream(uint32_t bytes) { return DriverResult(ResultKind::short_stream, bytes); }

    constexpr ResultKind kind() const { return kind_; }
    constexpr bool is_ok() const { return kind_ == ResultKind::ok; }
    constexpr bool failed() const { return kind_ != ResultKind::ok; }
    // The device's status byte (device_status), else 0.
    constexpr uint8_t status() const {
        return kind_ == ResultKind::device_status ? static_cast<uint8_t>(detail_) : 0;
    }
    // The bytes a short stream delivered (short_stream), else 0.
    constexpr uint32_t stream_bytes() const { return kind_ == ResultKind::short_stream ? detail_ : 0; }

    friend constexpr bool operator==(DriverResult, DriverResult) = default;

private:
    constexpr explicit DriverResult(ResultKind kind, uint32_t detail = 0) : kind_(kind), detail_(detail) {}

    ResultKind kind_ = ResultKind::ok;
    uint32_t detail_ = 0;  // the status byte, or the short stream's byte count
};

// The status a client is answered with: 0 ok, -2 busy, 1 request failed,
// status-127 for a device status byte, 4 not available, 2 no such value,
// 5 bad answer, 6 GPS ticks out of range, -1 refused and short stream.
constexpr int32_t wire_status(DriverResult result) {
    switch (result.kind()) {
    case ResultKind::ok: return 0;
    case ResultKind::busy: return -2;
    case ResultKind::request_failed: return 1;
    case ResultKind::device_status: return int32_t{result.status()} - 127;
    case ResultKind::not_available: return 4;
    case ResultKind::no_such_value: return 2;
    case ResultKind::bad_answer: return 5;
    case ResultKind::gps_ticks_out_of_range: return 6;
    case ResultKind::refused: return -1;
    case ResultKind::short_stream: return -1;
    }
    return -1;
}

// "ok", "busy", "device status 0x81", "short stream after 12 bytes", ...:
// for log lines and test failures.
std::ostream& operator<<(std::ostream& out, DriverResult result);
