// Image readouts: from a readout request to 16-bit host-order pixels.
//
// Each readout sends its request (which on the classic cameras may also
// start the exposure), holds the camera's frame lock and `reading` for the
// transfer, reads the camera's stream from the node and converts it into
// the caller's buffer of at least w·h pixels. Results (driver/result.h):
//   ok              `read_bytes` is what the caller may send (w·h·2 bytes of
//                   the request, w·h·4 for class 2 in readout mode 1, whose
//                   caller halves it)
//   refused         a window the readout can't serve, no memory for the
//                   read buffer, or start_next not supported
//   short_stream    the stream ended early (its byte count in the result);
//                   the image is incomplete
//   not_available   a camera of the other family (astro_readimage)
//   other           the readout request failed (transport results)
// `read_bytes` is 0 unless the result is ok.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "driver/camera_record.h"
#include "driver/exposure.h"
#include "driver/image_kernels.h"
#include "driver/result.h"

// Class 2.
DriverResult astro_small_getimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out,
                         uint32_t& read_bytes);

// New-interface cameras that are not of a CMOS type.
DriverResult astro_cmos_getimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out,
                        uint32_t& read_bytes);

// The remaining (big) cameras, read synchronously: the Alpaca camera's path.
DriverResult astro_big_getimage_single(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out,
                              uint32_t& read_bytes);

// CMOS types 22-24, after image_ready: reads the frame of the last
// start_exposure_cmos (fw, fh) and bins, crops, flips and combines it.
// `start_next` asks the camera to start the next exposure at once (refused
// on firmware without it, before anything is sent).
DriverResult astro_readimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out,
                    uint32_t& read_bytes, bool start_next);

// A background transfer of a big camera, started by astro_big_getimage: a
// reader thread that reads the stream in 2 MiB chunks and a processing
// thread that converts each chunk as it arrives. Each transfer owns its
// arguments; two cameras can transfer at once.
class BigTransfer {
public:
    // Bytes of the transfer converted into the output so far (transfer
    // bytes: 4 per pixel for the dual-sample cameras in readout mode 0).
    uint32_t done_bytes() const { return done_bytes_.load(std::memory_order_acquire); }
    uint32_t size() const { return size_; }
    // The reader has ended: the transfer is complete or came up short; the
    // frame lock is released and `reading` cleared.
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    // Once finished: ok, or short_stream with the bytes the camera sent.
    DriverResult result() const {
        const uint32_t got = received_.load(std::memory_order_acquire);
        return got == size_ ? DriverResult::ok() : DriverResult::short_stream(got);
    }
    // Waits until both threads have ended. Afterwards nothing writes the
    // output buffer any more.
    void wait();

    ~BigTransfer();  // waits
    BigTransfer(const BigTransfer&) = delete;
    BigTransfer& operator=(const BigTransfer&) = delete;

private:
    friend DriverResult astro_big_getimage(CameraRecord&, ExposureInfo&, uint16_t*, std::shared_ptr<BigTransfer>&);
    BigTransfer() = default;
    void read_stream();     // the reader thread
    void process_stream();  // the processing thread, started by the reader

    // Set before the reader starts, constant afterwards.
    CameraRecord* camera_ = nullptr;
    NodeRef node_;                    // the camera's node, held until the reader ends
    StreamFormat format_ = StreamFormat::native16;
    uint16_t* out_ = nullptr;
    uint32_t size_ = 0;
    // Bytes below count_ are written by the reader only before it
    // publishes count_, and read by the processor only after it saw it.
    std::unique_ptr<uint8_t[]> read_buffer_;
    std::mutex mutex_;                // guards count_ and stop_
    std::condition_variable arrived_;
    uint32_t count_ = 0;              // bytes read so far
    bool stop_ = false;               // the stream came up short: no more bytes come
    std::atomic<uint32_t> done_bytes_{0};
    std::atomic<uint32_t> received_{0};  // bytes read, set as the reader ends
    std::atomic<bool> finished_{false};
    std::mutex join_mutex_;           // wait() may be called from several threads
    std::thread reader_;
};

// The remaining (big) cameras, TCP path: sends the readout request and
// returns ok once the background transfer has started (`transfer` is set);
// the image is complete when done_bytes() reaches size(). The output buffer
// must stay valid until transfer->wait() has returned (or the transfer is
// destroyed). A failed request is returned with no transfer started.
DriverResult astro_big_getimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out,
                       std::shared_ptr<BigTransfer>& transfer);
