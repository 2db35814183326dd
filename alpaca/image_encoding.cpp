#include "alpaca/image_encoding.h"

#include "common/log.h"

#include <jansson.h>
#include <ulfius.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace AlpacaServer {

// The elements leave as the host stores them; the box is x86.
static_assert(std::endian::native == std::endian::little,
              "ImageBytes elements are copied in host byte order");

namespace {

void put_u32(uint8_t* at, uint32_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
    at[2] = static_cast<uint8_t>(v >> 16);
    at[3] = static_cast<uint8_t>(v >> 24);
}

uint64_t pixel_count(FrameView f) {
    return f.empty() ? 0 : uint64_t(uint32_t(f.width)) * uint32_t(f.height);
}

int digits(uint16_t v) {
    return 1 + (v >= 10) + (v >= 100) + (v >= 1000) + (v >= 10000);
}

// The decimal digits of n values.
uint64_t total_digits(const uint16_t* p, uint64_t n) {
    uint64_t sum = 0, i = 0;
#if defined(__SSE2__)
    // Eight values at a time, compared as signed numbers after flipping the
    // top bit; each lane counts at most 4 per value, so 16-bit lanes hold
    // the counts of 8192 vectors.
    const __m128i flip = _mm_set1_epi16(int16_t(0x8000));
    const __m128i t1 = _mm_set1_epi16(int16_t(9 ^ 0x8000)), t2 = _mm_set1_epi16(int16_t(99 ^ 0x8000));
    const __m128i t3 = _mm_set1_epi16(int16_t(999 ^ 0x8000)), t4 = _mm_set1_epi16(int16_t(9999 ^ 0x8000));
    while (n - i >= 8) {
        const uint64_t end = i + std::min<uint64_t>((n - i) / 8, 8192) * 8;
        __m128i acc = _mm_setzero_si128();
        for (; i < end; i += 8) {
            const __m128i v = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), flip);
            acc = _mm_sub_epi16(acc, _mm_cmpgt_epi16(v, t1));
            acc = _mm_sub_epi16(acc, _mm_cmpgt_epi16(v, t2));
            acc = _mm_sub_epi16(acc, _mm_cmpgt_epi16(v, t3));
            acc = _mm_sub_epi16(acc, _mm_cmpgt_epi16(v, t4));
        }
        // Lanes are at most 32768: add them as unsigned pairs into 32 bits.
        const __m128i lo = _mm_and_si128(acc, _mm_set1_epi32(0xffff));
        const __m128i pairs = _mm_add_epi32(lo, _mm_srli_epi32(acc, 16));
        alignas(16) uint32_t part[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(part), pairs);
        sum += uint64_t(part[0]) + part[1] + part[2] + part[3];
    }
    sum += i;  // the one digit every value has
#endif
    for (; i < n; ++i) sum += uint64_t(digits(p[i]));
    return sum;
}

// The decimal text of every 16-bit value followed by a comma, in the low
// bytes of its entry (written as host order bytes), and its length (2-6) in
// the top byte. One eight-byte store per element writes it; the next
// element overwrites what lies past the length.
struct DecimalTable {
    uint64_t entry[65536];

    DecimalTable() {
        for (uint32_t v = 0; v < 65536; ++v) {
            char text[8] = {};
            char* end = std::to_chars(text, text + 5, v).ptr;
            *end++ = ',';
            uint64_t e = 0;
            std::memcpy(&e, text, 6);
            entry[v] = e | uint64_t(end - text) << 56;
        }
    }
};

const DecimalTable& decimal_table() {
    static const DecimalTable table;
    return table;
}

// Compact JSON of a Jansson object, as the framework serialises a JSON body.
std::string dump_compact(json_t* object) {
    std::unique_ptr<json_t, decltype(&json_decref)> owner(object, json_decref);
    if (object == nullptr) throw std::bad_alloc();
    std::unique_ptr<char, decltype(&free)> text(json_dumps(object, JSON_COMPACT), free);
    if (!text) throw std::bad_alloc();
    return std::string(text.get());
}

}  // namespace

// --- ColumnStrips ---

constexpr size_t kPrefetchRows = 32;

#if defined(__SSE2__)
// Eight rows of eight pixels (src, src - stride, ... : the rows go upwards in
// the frame) become eight columns of eight elements at dst, dst + dst_stride...
// Inlined, with the loads written out, so the rows stay in registers.
[[gnu::always_inline]] static inline void transpose_8x8(const uint16_t* src, size_t stride, uint16_t* dst,
                                                       size_t dst_stride) {
    const __m128i r[8] = {
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(src - stride)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(src - 2 * stride)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(src - 3 * stride)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(src - 4 * stride)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(src - 5 * stride)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(src - 6 * stride)),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(src - 7 * stride))};
    const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    const auto store = [&](size_t i, __m128i v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * dst_stride), v);
    };
    store(0, _mm_unpacklo_epi64(b0, b4));
    store(1, _mm_unpackhi_epi64(b0, b4));
    store(2, _mm_unpacklo_epi64(b1, b5));
    store(3, _mm_unpackhi_epi64(b1, b5));
    store(4, _mm_unpacklo_epi64(b2, b6));
    store(5, _mm_unpackhi_epi64(b2, b6));
    store(6, _mm_unpacklo_epi64(b3, b7));
    store(7, _mm_unpackhi_epi64(b3, b7));
}
#endif

ColumnStrips::ColumnStrips(FrameView frame) : frame_(frame) {}

void ColumnStrips::reserve() {
    if (strip_.empty() && !frame_.empty())
        strip_.resize(size_t(std::min(frame_.width, kStripColumns)) * size_t(frame_.height));
}

const uint16_t* ColumnStrips::column(int x) {
    const int x0 = x - x % kStripColumns;
    if (x0 != strip_x0_) {
        reserve();
        fill(x0, strip_.data());
        strip_x0_ = x0;
    }
    return strip_.data() + size_t(x - x0) * size_t(frame_.height);
}

void ColumnStrips::fill(int x0, uint16_t* dst) const {
    const size_t h = size_t(frame_.height);
    const int cols = std::min(kStripColumns, frame_.width - x0);
    const size_t w = size_t(frame_.width);
    // Rows bottom first: y counts up in the strip while the source row
    // counts down. Whole 8x8 tiles go through registers, eight rows at a
    // time across the strip; the rest one element at a time.
    size_t y = 0;
    int full_cols = 0;
#if defined(__SSE2__)
    full_cols = cols - cols % 8;
    for (; y + 8 <= h; y += 8) {
        // The rows lie a page or more apart, beyond what the hardware
        // prefetcher follows: ask for the rows kPrefetchRows ahead (into
        // L2, which holds them better than L1 beside the strip's stores).
        for (size_t yp = y + kPrefetchRows; yp < std::min(h, y + kPrefetchRows + 8); ++yp) {
            const char* row = reinterpret_cast<const char*>(frame_.pixels + (h - 1 - yp) * w + size_t(x0));
            for (int b = 0; b < cols * 2; b += 64) _mm_prefetch(row + b, _MM_HINT_T1);
        }
        const uint16_t* row0 = frame_.pixels + (h - 1 - y) * w + size_t(x0);
        for (int c = 0; c < full_cols; c += 8) transpose_8x8(row0 + c, w, dst + size_t(c) * h + y, h);
    }
#endif
    for (size_t yy = y; yy < h; ++yy) {
        const uint16_t* src = frame_.pixels + (h - 1 - yy) * w + size_t(x0);
        for (int i = 0; i < full_cols; ++i) dst[size_t(i) * h + yy] = src[i];
    }
    for (size_t yy = 0; yy < h; ++yy) {
        const uint16_t* src = frame_.pixels + (h - 1 - yy) * w + size_t(x0);
        for (int i = full_cols; i < cols; ++i) dst[size_t(i) * h + yy] = src[i];
    }
}

// --- ImageBytesStream ---

ImageBytesStream::ImageBytesStream(FrameView frame, int error_number, std::string_view message,
                                   uint32_t client_transaction_id,
                                   uint32_t server_transaction_id)
    : success_(error_number == 0),
      frame_(frame),
      strips_(error_number == 0 ? frame : FrameView{}) {
    put_u32(header_ + 0, 1);
    put_u32(header_ + 4, uint32_t(error_number));
    put_u32(header_ + 8, client_transaction_id);
    put_u32(header_ + 12, server_transaction_id);
    put_u32(header_ + 16, kHeaderSize);
    put_u32(header_ + 20, 8);
    put_u32(header_ + 24, 8);
    put_u32(header_ + 28, 2);
    put_u32(header_ + 32, uint32_t(frame.width));
    put_u32(header_ + 36, uint32_t(frame.height));
    put_u32(header_ + 40, 0);
    if (success_) {
        size_ = kHeaderSize + 2 * pixel_count(frame);
    } else {
        message_.assign(message.substr(0, kMaxMessage));
        size_ = kHeaderSize + message_.size();
    }
}

size_t ImageBytesStream::read(uint64_t offset, uint8_t* out, size_t max) {
    size_t done = 0;
    while (done < max && offset < size_) {
        size_t n;
        if (offset < kHeaderSize) {
            n = std::min<uint64_t>(max - done, kHeaderSize - offset);
            std::memcpy(out + done, header_ + offset, n);
        } else if (!success_) {
            n = std::min<uint64_t>(max - done, size_ - offset);
            std::memcpy(out + done, message_.data() + (offset - kHeaderSize), n);
        } else {
            // Copy from the current strip up to its end; the next turn of
            // the loop fills the next strip.
            const uint64_t column_bytes = 2 * uint64_t(uint32_t(frame_.height));
            const uint64_t d = offset - kHeaderSize;
            const int x = int(d / column_bytes);
            const uint64_t into = d - uint64_t(x) * column_bytes;
            const int strip_end = std::min(frame_.width, x - x % ColumnStrips::kStripColumns +
                                                             ColumnStrips::kStripColumns);
            const uint64_t left = uint64_t(strip_end - x) * column_bytes - into;
            uint8_t* to = out + done;
            // In place only into blocks (a large buffer takes the scattered
            // stores of the transposition from memory, slower than the copy).
            const bool strip_start = into == 0 && x % ColumnStrips::kStripColumns == 0 && max <= block_size();
            // A strip that the rest of this read can't hold but a whole read
            // can waits for the next read, which then takes it in place.
            if (strip_start && max - done < left && left <= max) break;
            if (strip_start && max - done >= left && reinterpret_cast<uintptr_t>(to) % alignof(uint16_t) == 0) {
                strips_.fill(x, reinterpret_cast<uint16_t*>(to));
                n = left;
            } else {
                n = std::min<uint64_t>(max - done, left);
                std::memcpy(to, reinterpret_cast<const uint8_t*>(strips_.column(x)) + into, n);
            }
        }
        done += n;
        offset += n;
    }
    return done;
}

size_t ImageBytesStream::block_size() const {
    constexpr size_t kMaxBlock = 4 << 20;
    if (!success_ || frame_.empty()) return BodyStream::block_size();
    const size_t strip = 2 * size_t(std::min(frame_.width, ColumnStrips::kStripColumns)) * size_t(frame_.height);
    const size_t block = kHeaderSize + strip;
    return block <= kMaxBlock ? std::max(block, BodyStream::block_size()) : BodyStream::block_size();
}

// --- ImageJsonStream ---

namespace {
constexpr size_t kJsonChunk = 64 * 1024;
// Bytes past the end of a column's text that its last eight-byte store may
// write.
constexpr size_t kStoreSlack = 8;
}

ImageJsonStream::ImageJsonStream(FrameView frame, int error_number, std::string_view message,
                                 uint32_t client_transaction_id, uint32_t server_transaction_id)
    : success_(error_number == 0),
      frame_(frame),
      strips_(error_number == 0 ? frame : FrameView{}) {
    if (!success_) {
        // Small and has a string to escape: let Jansson write it.
        json_t* o = json_object();
        if (o != nullptr) {
            json_object_set_new(o, "ErrorNumber", json_integer(error_number));
            json_object_set_new(o, "ErrorMessage",
                                json_stringn(message.data(), message.size()));
            json_object_set_new(o, "ClientTransactionID", json_integer(client_transaction_id));
            json_object_set_new(o, "ServerTransactionID", json_integer(server_transaction_id));
        }
        head_ = dump_compact(o);
        size_ = head_.size();
        chunk_capacity_ = head_.size();
        chunk_.reset(new char[chunk_capacity_]);
        rewind();
        return;
    }
    strips_.reserve();
    head_ = R"({"ErrorNumber":0,"ErrorMessage":"","Type":2,"Rank":2,"Value":[)";
    tail_ = R"(],"ClientTransactionID":)" + std::to_string(client_transaction_id) +
            R"(,"ServerTransactionID":)" + std::to_string(server_transaction_id) + "}";
    size_ = head_.size() + tail_.size();
    if (!frame.empty()) {
        const uint64_t w = uint32_t(frame.width), h = uint32_t(frame.height);
        // Per column "[" "]" and height-1 commas; width-1 commas between columns.
        size_ += w * (2 + (h - 1)) + (w - 1);
        size_ += total_digits(frame.pixels, w * h);
    } else if (frame.width > 0) {
        size_ += uint64_t(uint32_t(frame.width)) * 3 - 1;  // [] per column, commas between
    }
    // Room for a chunk that ends with a column (up to "65535," per element,
    // "," "[" "]") and then the tail, or for the head alone.
    const size_t column = 3 + 6 * (frame_.empty() ? 0 : size_t(frame_.height)) + kStoreSlack;
    chunk_capacity_ = std::max(head_.size(), kJsonChunk + column + tail_.size());
    chunk_.reset(new char[chunk_capacity_]);
    rewind();
}

void ImageJsonStream::append(const std::string& text) {
    std::memcpy(chunk_.get() + chunk_size_, text.data(), text.size());
    chunk_size_ += text.size();
}

void ImageJsonStream::rewind() {
    chunk_size_ = 0;
    chunk_start_ = 0;
    next_x_ = -1;
    tail_done_ = false;
}

void ImageJsonStream::produce() {
    if (next_x_ < 0) {
        append(head_);
        next_x_ = 0;
        if (!success_) tail_done_ = true;
        return;
    }
    const int width = std::max(frame_.width, 0);
    const size_t h = frame_.empty() ? 0 : size_t(frame_.height);
    const uint64_t* decimal = decimal_table().entry;
    while (next_x_ < width && chunk_size_ < kJsonChunk) {
        char* p = chunk_.get() + chunk_size_;
        if (next_x_ > 0) *p++ = ',';
        *p++ = '[';
        if (h > 0) {
            const uint16_t* col = strips_.column(next_x_);
            for (size_t y = 0; y < h; ++y) {
                const uint64_t e = decimal[col[y]];
                std::memcpy(p, &e, sizeof e);
                p += e >> 56;
            }
            --p;  // the last comma becomes the closing bracket
        }
        *p++ = ']';
        chunk_size_ = size_t(p - chunk_.get());
        ++next_x_;
    }
    if (next_x_ >= width && !tail_done_ && chunk_size_ < kJsonChunk) {
        append(tail_);
        tail_done_ = true;
    }
}

size_t ImageJsonStream::read(uint64_t offset, uint8_t* out, size_t max) {
    size_t done = 0;
    while (done < max && offset < size_) {
        if (offset < chunk_start_) rewind();
        while (offset >= chunk_start_ + chunk_size_) {
            chunk_start_ += chunk_size_;
            chunk_size_ = 0;
            produce();
            if (chunk_size_ == 0) return done;  // cannot happen while offset < size_
        }
        const size_t from = size_t(offset - chunk_start_);
        const size_t n = std::min(max - done, chunk_size_ - from);
        std::memcpy(out + done, chunk_.get() + from, n);
        done += n;
        offset += n;
    }
    return done;
}

// --- Ulfius stream glue ---

ssize_t body_stream_read(void* stream, uint64_t offset, char* out, size_t max) {
    auto* s = static_cast<BodyStream*>(stream);
    if (offset >= s->size()) return U_STREAM_END;
    try {
        const size_t n = s->read(offset, reinterpret_cast<uint8_t*>(out), max);
        return n == 0 ? U_STREAM_END : static_cast<ssize_t>(n);
    } catch (const std::bad_alloc&) {
        log_message(3, "body_stream_read: out of memory at offset %llu of %llu",
                    static_cast<unsigned long long>(offset), static_cast<unsigned long long>(s->size()));
        return U_STREAM_ERROR;
    }
}

void body_stream_free(void* stream) { delete static_cast<BodyStream*>(stream); }

int set_stream_body(_u_response* response, unsigned int status, std::unique_ptr<BodyStream> body) {
    const uint64_t size = body->size();
    const int r = ulfius_set_stream_response(response, status, body_stream_read, body_stream_free, size,
                                             body->block_size(), body.get());
    if (r == U_OK) body.release();
    return r;
}

}  // namespace AlpacaServer
