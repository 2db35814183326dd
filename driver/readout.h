// Image readouts: from a readout request to 16-bit host-order pixels.
//
// Each readout sends its request (which on the classic cameras may also
// start the exposure), holds the camera's frame lock and `reading` for the
// transfer, reads the camera's stream from the node and converts it into
// the caller's buffer of at least w·h pixels. Results:
//   0         success; `read_bytes` is what the caller may send (w·h·2 bytes
//             of the request, w·h·4 for class 2 in readout mode 1, whose
//             caller halves it)
//   −1        no memory for the read buffer, or start_next not supported
//   n > 0     the stream came up short after n bytes; the image is incomplete
//   other     the readout request failed (transport result codes)
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

// Class 2.
int astro_small_getimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out,
                         uint32_t& read_bytes);

// New-interface cameras that are not of a CMOS type.
int astro_cmos_getimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out,
                        uint32_t& read_bytes);

// The remaining (big) cameras, read synchronously: the Alpaca camera's path.
int astro_big_getimage_single(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out,
                              uint32_t& read_bytes);

// CMOS types 22-24, after image_ready: reads the frame of the last
// start_exposure_cmos (fw, fh) and bins, crops, flips and combines it.
// `start_next` asks the camera to start the next exposure at once (−1 on
// firmware without it, before anything is sent).
int astro_readimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out,
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
    // Waits until both threads have ended. Afterwards nothing writes the
    // output buffer any more.
    void wait();

    ~BigTransfer();  // waits
    BigTransfer(const BigTransfer&) = delete;
    BigTransfer& operator=(const BigTransfer&) = delete;

private:
    friend int astro_big_getimage(CameraRecord&, ExposureInfo&, uint16_t*, std::shared_ptr<BigTransfer>&);
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
    std::atomic<bool> finished_{false};
    std::mutex join_mutex_;           // wait() may be called from several threads
    std::thread reader_;
};

// The remaining (big) cameras, TCP path: sends the readout request and
// returns 0 once the background transfer has started (`transfer` is set);
// the image is complete when done_bytes() reaches size(). The output buffer
// must stay valid until transfer->wait() has returned (or the transfer is
// destroyed). A failed request is returned with no transfer started.
int astro_big_getimage(CameraRecord& camera, ExposureInfo& exposure, uint16_t* out,
                       std::shared_ptr<BigTransfer>& transfer);
