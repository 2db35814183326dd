// The binary client protocol of the main port: header, command codes,
// request and response layouts, and the framing of the byte stream into
// requests. Everything here is pure: bytes in, values or bytes out.
//
// All integers and floats are little-endian without padding. Every request
// and every response starts with a 20-byte header; requests carry their
// first parameter at +16, responses their status.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

// Bytes 01 00 F5 E4 D3 C2 B1 A0 / 01 00 A0 B1 C2 D3 E4 F5 on the wire.
inline constexpr uint64_t REQUEST_MAGIC = 0xA0B1C2D3E4F50001ull;
inline constexpr uint64_t RESPONSE_MAGIC = 0xF5E4D3C2B1A00001ull;

inline constexpr size_t HEADER_SIZE = 20;
inline constexpr size_t ENUMERATION_HEAD_SIZE = 24;
inline constexpr size_t MAX_RESPONSE_SIZE = 92;   // the largest fixed-size response buffer
inline constexpr size_t RECEIVE_CHUNK = 8192;    // one recv() of requests
inline constexpr int DAEMON_VERSION = 61;

struct __attribute__((packed)) PacketHeader {
    uint64_t magic;
    uint32_t length;   // request: not relied upon; response: total bytes, header included
    uint32_t command;
    int32_t status;    // request: the first parameter
};
static_assert(sizeof(PacketHeader) == HEADER_SIZE);

enum TcpCommand : uint32_t {
    TCP_CMD_ENUMCAMERAS = 1,
    TCP_CMD_CONNECTCAMERA = 2,
    TCP_CMD_SETBINNING = 3,
    TCP_CMD_SETFILTER = 4,
    TCP_CMD_SETREADMODE = 5,
    TCP_CMD_SETTEMPERATURE = 6,
    TCP_CMD_SETTEMPRAMP = 7,
    TCP_CMD_SETFEATURE8 = 8,
    TCP_CMD_SETPREFLASH = 9,
    TCP_CMD_GETVALUE = 10,
    TCP_CMD_STARTEXPOSURE = 11,
    TCP_CMD_ABORTEXPOSURE = 12,
    TCP_CMD_IMAGEREADY = 13,
    TCP_CMD_READIMAGE = 14,
    TCP_CMD_ISCONNECTED = 16,
    TCP_CMD_SETFEATURE5 = 17,
    TCP_CMD_GUIDE = 18,
    TCP_CMD_ISGUIDING = 19,
    TCP_CMD_SETTYPE8PAIR = 20,
    TCP_CMD_GETVERSION = 21,
    TCP_CMD_SETGAIN = 22,
    TCP_CMD_GETAUXSTATE = 23,
    TCP_CMD_SETOVERSCAN = 24,
    TCP_CMD_SETBOTHGAINS = 25,
    TCP_CMD_SETHWBINNING = 26,
    TCP_CMD_GETGPSTIME = 27,
    TCP_CMD_GETGPSDATA = 28,
    TCP_CMD_SETBINMODE = 29,
    TCP_CMD_STARTEXPOSURE2 = 30,
    TCP_CMD_READIMAGE2 = 31,
    TCP_CMD_OPENSHUTTER = 32,
    TCP_CMD_CLOSESHUTTER = 33,
    TCP_CMD_GETCLOCKPERIOD = 34,
    TCP_CMD_ENUMWHEELS = 1024,
    TCP_CMD_CONNECTWHEEL = 1025,
    TCP_CMD_WHEELSETPOSITION = 1026,
    TCP_CMD_WHEELGETCOUNTS = 1027,
    TCP_CMD_WHEELSETPOSITIONS = 1028,
    TCP_CMD_ENUMCAMERAS_INTERNAL = 0xFFFE,
    TCP_CMD_ENUMWHEELS_INTERNAL = 0xFFFF,
};

// The fixed length of the response to `command` (enumeration and image
// responses: of their head); 20 for unknown codes.
size_t response_length(uint32_t command);

// The bytes a request for `command` occupies: the header, or the last byte
// of the last parameter the command reads when that lies beyond it.
size_t request_length(uint32_t command);

// --- Reading requests ---------------------------------------------------

// A complete request as the framer delivered it. Fields are read at their
// offsets and never past the end: a field the bytes don't cover reads as
// nothing.
class Request {
public:
    explicit Request(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    std::span<const uint8_t> bytes() const { return bytes_; }
    uint64_t magic() const { return field<uint64_t>(0).value_or(0); }
    uint32_t command() const { return field<uint32_t>(12).value_or(0); }

    template <typename T>
    std::optional<T> field(size_t offset) const {
        if (bytes_.size() < sizeof(T) || offset > bytes_.size() - sizeof(T))
            return std::nullopt;
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof value);
        return value;
    }

private:
    std::span<const uint8_t> bytes_;
};

// How the front of a connection's byte stream splits into requests.
struct Frame {
    enum class Kind {
        incomplete,  // the request's bytes have not all arrived yet
        complete,    // a whole request: `size` bytes, then `consumed` - `size` trailing bytes to drop
        truncated,   // the next request's magic came before this one was whole: answer it as short
    };
    Kind kind = Kind::incomplete;
    size_t size = 0;      // bytes of the request itself
    size_t consumed = 0;  // bytes to remove from the stream
};

// Finds the first request in `buffered`. A request is as long as its command
// needs (request_length). Bytes after a complete request that do not begin a
// new one (with REQUEST_MAGIC, or a prefix of it at the end of the buffer)
// belong to the request and are dropped with it. A request cut short by the
// next request's magic is `truncated`.
Frame find_frame(std::span<const uint8_t> buffered);

// --- Writing responses --------------------------------------------------

// A response under construction: all bytes zero, then set field by field.
class Response {
public:
    // A response of response_length(command) bytes with the header filled.
    Response(uint32_t command, int32_t status);
    // A response of `size` bytes (enumeration heads and entries).
    Response(uint32_t command, int32_t status, size_t size);

    template <typename T>
    void set(size_t offset, T value) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (offset + sizeof value <= bytes_.size())
            std::memcpy(bytes_.data() + offset, &value, sizeof value);
    }
    void set_status(int32_t status) { set<int32_t>(16, status); }
    // Sets the length field to the bytes held plus `extra` that follow separately.
    void set_total_length(size_t extra);
    void append(std::span<const uint8_t> more);

    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// The answer to a request the phase does not serve, or cannot read whole:
// response_length(command) bytes with status -1.
Response refusal(uint32_t command);

// A failed connect (TCP_CMD_CONNECTCAMERA or TCP_CMD_CONNECTWHEEL): the
// status, and -1 where the identification would be.
Response connect_failure(uint32_t command, int32_t status);

// TCP_CMD_GETVERSION: status 0, the version at +20.
Response version_response();
