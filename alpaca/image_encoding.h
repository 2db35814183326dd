// The two encodings of a camera frame for the Alpaca "imagearray" member:
// ImageBytes (44-byte header + 16-bit little-endian elements) and the JSON
// envelope with the pixels as nested arrays.
//
// Both are streams: the frame is read in place (never copied whole) and the
// body is produced on demand into the caller's buffer, so the server can hand
// it to ulfius_set_stream_response. The total length is known up front.
//
// Wire order (both forms): x outer, y inner; element (x, y) is the pixel at
// row height-1-y, column x of the row-major frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sys/types.h>
#include <string>
#include <string_view>
#include <vector>

struct _u_response;

namespace AlpacaServer {

// A read-only view of a row-major frame (row length = width). The pixels
// stay alive and unchanged while a stream over them exists: owner, when set,
// holds their storage (the streams keep a copy of it, so a body can outlive
// the request callback that made it); without owner the caller sees to it.
// count says how many values there are at pixels; the streams need
// width*height of them when width and height are both positive (width or
// height of 0 or less means no pixels).
struct FrameView {
    const uint16_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    std::shared_ptr<const void> owner = {};
    std::size_t count = 0;

    bool empty() const { return width <= 0 || height <= 0; }
    // Whether count covers every pixel width and height promise.
    bool complete() const {
        return empty() || (pixels != nullptr &&
                           count / static_cast<std::size_t>(width) >= static_cast<std::size_t>(height));
    }
};

// A body produced on demand. read() copies up to max bytes starting at
// offset and returns how many it copied (0 only at or past the end). Any
// offset works; reading in order is the fast path. One reader at a time.
class BodyStream {
public:
    virtual ~BodyStream() = default;
    virtual uint64_t size() const = 0;
    virtual size_t read(uint64_t offset, uint8_t* out, size_t max) = 0;
    // The size of the blocks the server should ask for.
    virtual size_t block_size() const { return 64 * 1024; }
};

// Columns of the frame transposed a strip at a time: a strip holds
// kStripColumns columns of the frame, each as height elements in wire order
// (y = 0, that is the last row, first). Filling a strip reads each row's
// pixels of the strip as one run (four cache lines) and transposes 8x8
// tiles in registers, so the frame is read once; the buffer holds
// kStripColumns*height elements (1.6 MB for 6388 rows, within L2).
class ColumnStrips {
public:
    static constexpr int kStripColumns = 128;

    explicit ColumnStrips(FrameView frame);

    // Allocates the strip buffer now rather than at the first column();
    // both throw std::bad_alloc when it can't be had.
    void reserve();

    // The strip holding column x (filled if not yet current); element
    // (x, y) is at column(x)[y].
    const uint16_t* column(int x);

    // Writes the strip that starts at column x0 (a multiple of
    // kStripColumns) straight to dst, in the layout of column().
    void fill(int x0, uint16_t* dst) const;

private:
    FrameView frame_;
    std::vector<uint16_t> strip_;
    int strip_x0_ = -1;
};

class ImageBytesStream final : public BodyStream {
public:
    static constexpr size_t kHeaderSize = 44;
    static constexpr size_t kMaxMessage = 255;

    // Success form when error_number is 0 (elements of the frame), failure
    // form otherwise (message cut to 255 bytes, the frame is not read).
    // The strip buffer is only allocated when a read needs it (not for
    // reads in the server's blocks); read() then throws std::bad_alloc
    // when it can't be had.
    ImageBytesStream(FrameView frame, int error_number, std::string_view message,
                     uint32_t client_transaction_id, uint32_t server_transaction_id);

    uint64_t size() const override { return size_; }
    // A read of at most block_size() bytes whose room holds a whole strip
    // from its start gets the strip transposed in place, without the copy
    // out of the strip buffer; such a read with room for a strip but not for
    // the next one from where it stands ends short before it.
    size_t read(uint64_t offset, uint8_t* out, size_t max) override;
    // Room for the header and one strip (up to 4 MiB): every read of the
    // server is then one strip transposed in place.
    size_t block_size() const override;

    const uint8_t* header() const { return header_; }

private:
    uint8_t header_[kHeaderSize];
    std::string message_;
    bool success_;
    FrameView frame_;
    ColumnStrips strips_;
    uint64_t size_;
};

class ImageJsonStream final : public BodyStream {
public:
    // Success form when error_number is 0: {"ErrorNumber":0,"ErrorMessage":"",
    // "Type":2,"Rank":2,"Value":[[...],...],"ClientTransactionID":c,
    // "ServerTransactionID":s} in compact JSON. Failure form: the envelope
    // with the number and message and no Type/Rank/Value. The constructor
    // reads the frame once to count the digits. Throws std::bad_alloc.
    ImageJsonStream(FrameView frame, int error_number, std::string_view message,
                    uint32_t client_transaction_id, uint32_t server_transaction_id);

    uint64_t size() const override { return size_; }
    size_t read(uint64_t offset, uint8_t* out, size_t max) override;
    // Large blocks: each costs the server a turn of its send loop.
    size_t block_size() const override { return 1 << 20; }

private:
    void rewind();
    void produce();  // appends the next piece of text to chunk_
    void append(const std::string& text);

    bool success_;
    FrameView frame_;
    ColumnStrips strips_;
    std::string head_;  // everything before the first column (the whole body on failure)
    std::string tail_;  // everything after the last column
    uint64_t size_ = 0;

    // Text produced so far covers [chunk_start_, chunk_start_ + chunk_size_).
    std::unique_ptr<char[]> chunk_;
    size_t chunk_size_ = 0;
    size_t chunk_capacity_ = 0;
    uint64_t chunk_start_ = 0;
    int next_x_ = 0;  // next column to produce; -1 before head_, width after the columns
    bool tail_done_ = false;
};

// Hands the stream to the response as its body with the given HTTP status
// (ulfius_set_stream_response, length known up front); the response's stream
// then owns it and frees it when the framework is done with the body.
// Returns the Ulfius result (U_OK on success); on failure the stream is freed.
int set_stream_body(_u_response* response, unsigned int status, std::unique_ptr<BodyStream> body);

// The framework's stream callbacks for a BodyStream* user pointer, public so
// they can be driven without a server. The read never throws: a failure
// (buffer allocation) is logged and ends the stream with an error.
ssize_t body_stream_read(void* stream, uint64_t offset, char* out, size_t max);
void body_stream_free(void* stream);

}  // namespace AlpacaServer
