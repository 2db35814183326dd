#include "thread/protocol.h"

#include <algorithm>

namespace {

constexpr std::array<uint8_t, 8> REQUEST_MAGIC_BYTES = {0x01, 0x00, 0xF5, 0xE4, 0xD3, 0xC2, 0xB1, 0xA0};

// Whether `bytes` at `offset` begin with the request magic, or with as much of
// it as the buffer still holds.
bool magic_starts_at(std::span<const uint8_t> bytes, size_t offset) {
    const size_t available = std::min(bytes.size() - offset, REQUEST_MAGIC_BYTES.size());
    return std::equal(REQUEST_MAGIC_BYTES.begin(), REQUEST_MAGIC_BYTES.begin() + static_cast<long>(available),
                      bytes.begin() + static_cast<long>(offset));
}

// Where a whole request magic appears in [from, to), or `to`.
size_t find_whole_magic(std::span<const uint8_t> bytes, size_t from, size_t to) {
    for (size_t offset = from; offset + REQUEST_MAGIC_BYTES.size() <= to; ++offset) {
        if (std::equal(REQUEST_MAGIC_BYTES.begin(), REQUEST_MAGIC_BYTES.end(),
                       bytes.begin() + static_cast<long>(offset)))
            return offset;
    }
    return to;
}

}  // namespace

size_t response_length(uint32_t command) {
    switch (command) {
    case TCP_CMD_ENUMCAMERAS: case TCP_CMD_GETVALUE: case TCP_CMD_GETAUXSTATE:
    case TCP_CMD_ENUMWHEELS: case TCP_CMD_ENUMCAMERAS_INTERNAL: case TCP_CMD_ENUMWHEELS_INTERNAL:
        return 24;
    case TCP_CMD_CONNECTCAMERA: return 86;
    case TCP_CMD_IMAGEREADY: case TCP_CMD_ISGUIDING: return 21;
    case TCP_CMD_GETVERSION: return 25;
    case TCP_CMD_GETGPSTIME: return 48;
    case TCP_CMD_GETGPSDATA: return 77;
    case TCP_CMD_GETCLOCKPERIOD: case TCP_CMD_WHEELGETCOUNTS: return 28;
    case TCP_CMD_CONNECTWHEEL: return 64;
    default: return 20;
    }
}

size_t request_length(uint32_t command) {
    switch (command) {
    case TCP_CMD_SETBINNING: return 21;        // +16 u8, +20 u8
    case TCP_CMD_WHEELSETPOSITIONS: return 21; // +16 u32, +20 u8
    case TCP_CMD_GUIDE: return 24;             // +16 i32, +20 i32
    case TCP_CMD_SETTYPE8PAIR: return 24;      // +16 i32, +20 i32
    case TCP_CMD_SETPREFLASH: return 28;       // +16 f64, +24 u32
    case TCP_CMD_STARTEXPOSURE:
    case TCP_CMD_STARTEXPOSURE2: return 41;    // +16 f64, four i32, +40 u8
    default: return HEADER_SIZE;               // nothing, or one field of at most 4 bytes at +16
    }
}

Frame find_frame(std::span<const uint8_t> buffered) {
    Frame frame;
    const size_t length = buffered.size();
    const size_t size = length >= 16 ? request_length(Request(buffered).command()) : HEADER_SIZE;

    // A new request that starts inside this one means this one ended early.
    const size_t next = find_whole_magic(buffered, 1, std::min(length, size + REQUEST_MAGIC_BYTES.size() - 1));
    if (next < size && next < length) {
        frame.kind = Frame::Kind::truncated;
        frame.size = frame.consumed = next;
        return frame;
    }
    if (length < size)
        return frame;

    frame.kind = Frame::Kind::complete;
    frame.size = size;
    frame.consumed = size;
    while (frame.consumed < length && !magic_starts_at(buffered, frame.consumed))
        ++frame.consumed;
    return frame;
}

Response::Response(uint32_t command, int32_t status) : Response(command, status, response_length(command)) {}

Response::Response(uint32_t command, int32_t status, size_t size) : bytes_(std::max(size, HEADER_SIZE), 0) {
    set<uint64_t>(0, RESPONSE_MAGIC);
    set<uint32_t>(8, static_cast<uint32_t>(bytes_.size()));
    set<uint32_t>(12, command);
    set<int32_t>(16, status);
}

void Response::set_total_length(size_t extra) { set<uint32_t>(8, static_cast<uint32_t>(bytes_.size() + extra)); }

void Response::append(std::span<const uint8_t> more) {
    bytes_.insert(bytes_.end(), more.begin(), more.end());
    set_total_length(0);
}

Response refusal(uint32_t command) { return Response(command, -1); }

Response connect_failure(uint32_t command, int32_t status) {
    Response response(command, status);
    response.set<int32_t>(20, -1);
    return response;
}

Response version_response() {
    Response response(TCP_CMD_GETVERSION, 0);
    response.set<uint32_t>(20, DAEMON_VERSION);
    return response;
}
