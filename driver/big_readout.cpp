// Readout of the remaining (big) cameras: class 3, the type-1 cameras and
// unknown ones of the older interface.
//
// The camera bins in hardware and sends the window's pixels row by row:
// little-endian 16-bit, except on the dual-sample cameras, which send
// big-endian samples, two per pixel in readout mode 0 (the pixel is their
// mean). The TCP path reads in the background and converts while the
// bytes arrive; the Alpaca path reads the whole frame first.
#include <pthread.h>
#include <sched.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "common/log.h"
#include "driver/readout.h"
#include "driver/readout_request.h"
#include "driver/readout_transfer.h"
#include "driver/transport.h"

namespace {

// The reader reads in pieces of this size, so that conversion overlaps the
// transfer.
constexpr size_t CHUNK_BYTES = 2 * 1024 * 1024;
constexpr int32_t MAX_WORD = 0xFFFF;

StreamFormat big_stream_format(const CameraRecord& camera) {
    if (!is_dual_sample(camera))
        return StreamFormat::native16;
    return camera.read_mode == 0 ? StreamFormat::sample_pairs : StreamFormat::big_endian16;
}

// The transfer size of a window, or 0 when its words or its size can't be
// carried (the request's 16-bit words, the transfer's 32-bit count).
uint32_t transfer_size(const ExposureInfo& e, StreamFormat format) {
    if (e.x < 0 || e.y < 0 || e.w <= 0 || e.h <= 0 || e.x > MAX_WORD || e.y > MAX_WORD || e.w > MAX_WORD ||
        e.h > MAX_WORD)
        return 0;
    const uint64_t size = static_cast<uint64_t>(e.w) * static_cast<uint64_t>(e.h) * stream_bytes_per_pixel(format);
    return size <= UINT32_MAX ? static_cast<uint32_t>(size) : 0;
}

// Type 3 times every exposure on the host: it is only ever read out.
ReadoutRequest big_request(const CameraRecord& camera, const ExposureInfo& e) {
    const bool exposing = e.exp_time >= 0 && camera.camera_type != 3;
    ReadoutRequest request(exposing ? 0x15 : 0x0B);
    request.word(static_cast<uint16_t>(e.y))
        .word(static_cast<uint16_t>(e.h))
        .word(static_cast<uint16_t>(e.x))
        .word(static_cast<uint16_t>(e.w));
    if (exposing)
        request.word(count16(e.exp_time, 1000)).byte(e.shutter ? 1 : 0);
    return request;
}

void log_bad_window(const char* function, const ExposureInfo& e) {
    log_message(LOG_ERR, "%s(): window %d, %d, %d, %d cannot be read", function, e.x, e.y, e.w, e.h);
}

// The reader keeps up with the camera best at real-time priority; without
// the privilege it runs at its normal one, which is no error.
void raise_reader_priority() {
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_RR);
    const int error = pthread_setschedparam(pthread_self(), SCHED_RR, &param);
    static std::atomic<bool> told{false};
    if (error != 0 && !told.exchange(true))
        log_message(LOG_DEBUG, "pthread_setschedparam() failed: %s", strerror(error));
}

}  // namespace

void BigTransfer::wait() {
    std::lock_guard lock(join_mutex_);
    if (reader_.joinable())
        reader_.join();
}

BigTransfer::~BigTransfer() { wait(); }

void BigTransfer::read_stream() {
    raise_reader_priority();
    std::thread processor;
    try {
        processor = std::thread(&BigTransfer::process_stream, this);
    } catch (const std::system_error& e) {
        // The reader converts the frame itself once it is in.
        log_message(LOG_ERR, "Cannot start the processing thread: %s", e.what());
    }
    size_t count = 0;
    while (count < size_) {
        const size_t chunk = std::min<size_t>(CHUNK_BYTES, size_ - count);
        const size_t got = ::read_stream(*node_, read_buffer_.get() + count, chunk);
        count += got;
        const bool short_read = got < chunk;
        {
            std::lock_guard lock(mutex_);
            count_ = static_cast<uint32_t>(count);
            stop_ = short_read;
        }
        arrived_.notify_one();
        if (short_read)
            break;
    }
    if (processor.joinable())
        processor.join();
    else
        done_bytes_.store(static_cast<uint32_t>(convert_stream(format_, read_buffer_.get(), 0, count, out_)),
                          std::memory_order_release);
    read_buffer_.reset();
    node_.reset();
    camera_->frame_lock.unlock();
    camera_->reading.store(false);
    received_.store(static_cast<uint32_t>(count), std::memory_order_release);
    finished_.store(true, std::memory_order_release);
}

void BigTransfer::process_stream() {
    const size_t unit = stream_bytes_per_pixel(format_);
    size_t done = 0;
    for (;;) {
        size_t available = 0;
        bool last = false;
        {
            std::unique_lock lock(mutex_);
            arrived_.wait(lock, [&] { return count_ >= done + unit || count_ == size_ || stop_; });
            available = count_;
            last = count_ == size_ || stop_;
        }
        done = convert_stream(format_, read_buffer_.get(), done, available, out_);
        done_bytes_.store(static_cast<uint32_t>(done), std::memory_order_release);
        if (last)
            return;
    }
}

DriverResult astro_big_getimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out,
                       std::shared_ptr<BigTransfer>& transfer) {
    transfer.reset();
    log_trace("astro_big_getimage(): x, y, w, h = %d, %d, %d, %d", exposure.x, exposure.y, exposure.w, exposure.h);
    const StreamFormat format = big_stream_format(camera);
    const uint32_t size = transfer_size(exposure, format);
    if (!out || size == 0) {
        log_bad_window("astro_big_getimage", exposure);
        return DriverResult::refused();
    }
    std::shared_ptr<BigTransfer> started(new BigTransfer);
    started->camera_ = &camera;
    started->format_ = format;
    started->out_ = out;
    started->size_ = size;
    // The buffer is there before the camera is asked: a refusal then
    // leaves nothing to clean up on the camera's side.
    started->read_buffer_ = allocate_read_buffer(size);
    if (!started->read_buffer_)
        return DriverResult::refused();

    const ReadoutRequest request = big_request(camera, exposure);
    // The transfer keeps this node to its end, whatever happens to the
    // record's meanwhile.
    started->node_ = camera.node.get();
    camera.reading.store(true);
    // Taken here, before the request, and released by the reader when the
    // transfer ends.
    camera.frame_lock.lock();
    if (const DriverResult result = readout_command(camera, started->node_, request.data(), request.size());
        result.failed()) {
        camera.frame_lock.unlock();
        camera.reading.store(false);
        return result;
    }
    try {
        started->reader_ = std::thread(&BigTransfer::read_stream, started.get());
    } catch (const std::system_error& e) {
        log_message(LOG_ERR, "Cannot start the reader thread: %s", e.what());
        camera.frame_lock.unlock();
        camera.reading.store(false);
        return DriverResult::refused();
    }
    transfer = std::move(started);
    return DriverResult::ok();
}

DriverResult astro_big_getimage_single(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out, uint32_t& read_bytes) {
    read_bytes = 0;
    log_trace("astro_big_getimage_single(): x, y, w, h = %d, %d, %d, %d", exposure.x, exposure.y, exposure.w,
              exposure.h);
    const StreamFormat format = big_stream_format(camera);
    const uint32_t size = transfer_size(exposure, format);
    if (!out || size == 0) {
        log_bad_window("astro_big_getimage_single", exposure);
        return DriverResult::refused();
    }
    // Pixels that need no conversion go straight into the caller's buffer.
    std::unique_ptr<uint8_t[]> buffer;
    if (format != StreamFormat::native16) {
        buffer = allocate_read_buffer(size);
        if (!buffer)
            return DriverResult::refused();
    }
    uint8_t* frame = buffer ? buffer.get() : reinterpret_cast<uint8_t*>(out);
    const ReadoutRequest request = big_request(camera, exposure);
    if (const DriverResult result = transfer_image(camera, request.data(), request.size(), frame, size, false); result.failed())
        return result;
    if (buffer)
        convert_stream(format, buffer.get(), 0, size, out);
    read_bytes = static_cast<uint32_t>(exposure.w) * static_cast<uint32_t>(exposure.h) * 2;
    return DriverResult::ok();
}
