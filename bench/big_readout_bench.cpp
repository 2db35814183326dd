// How far conversion trails the transfer of a big camera's frame.
//
// A virtual big camera delivers a 61-megapixel frame at a fixed rate: once
// dual-sample (4 bytes a pixel, averaged) and once plain (2 bytes, copied).
// For each, the background transfer (astro_big_getimage) and the
// synchronous read (astro_big_getimage_single) are timed: when the camera
// sent its last byte and when the last pixel was converted. The lag between
// the two is printed as a fraction of the transfer time; the background
// transfer's goal is at most 0.10. The conversion kernel alone, on the same
// frame in the same run, is the baseline: its time over the transfer time
// is the lag a read-then-convert path can't avoid.
//
//   big_readout_bench [MB/s] [runs]      (defaults 40 and 3)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/camera_init.h"
#include "driver/camera_open.h"
#include "driver/camera_ops.h"
#include "driver/image_kernels.h"
#include "driver/readout.h"
#include "platform/platform.h"
#include "sim/virtual_platform.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int W = 9600;
constexpr int H = 6400;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Lag {
    double transfer;  // from the request to the camera's last byte
    double lag;       // from the last byte to the last pixel converted
};

class Bench {
public:
    explicit Bench(uint64_t rate) : box_(std::make_shared<sim::VirtualBox>()) {
        platform::install(sim::make_virtual_platform(box_));
        rate_ = std::to_string(rate);
    }
    ~Bench() { platform::install(nullptr); }

    // A camera of `pid` with the bench's frame, initialised.
    CameraRecord& camera(const char* pid) {
        const std::string reply = box_->execute(std::string("plug camera ") + pid + " width=" + std::to_string(W) +
                                                " height=" + std::to_string(H) + " open_ms=0 close_ms=0 read_rate=" +
                                                rate_);
        node_ = reply.substr(3, reply.size() - 4);
        cameras_.push_back(std::make_unique<CameraRecord>());
        CameraRecord& record = *cameras_.back();
        if (open_camera(node_.c_str(), record) != 0) {
            fprintf(stderr, "cannot open %s\n", node_.c_str());
            exit(1);
        }
        init_camera(record, record.info);
        (void)set_read_mode(record, 0);
        return record;
    }

    Lag background(CameraRecord& camera, std::vector<uint16_t>& out) {
        ExposureInfo exposure{-1, 0, 0, W, H, 0};
        std::shared_ptr<BigTransfer> transfer;
        const Clock::time_point start = Clock::now();
        if (astro_big_getimage(camera, exposure, out.data(), transfer).failed()) {
            fprintf(stderr, "astro_big_getimage failed\n");
            exit(1);
        }
        // The poll's own delay (up to 0.2 ms) counts against the lag.
        while (transfer->done_bytes() < transfer->size() && !transfer->finished())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const Clock::time_point converted = Clock::now();
        transfer->wait();
        return measured(start, converted);
    }

    Lag single(CameraRecord& camera, std::vector<uint16_t>& out) {
        ExposureInfo exposure{-1, 0, 0, W, H, 0};
        uint32_t read_bytes = 0;
        const Clock::time_point start = Clock::now();
        if (astro_big_getimage_single(camera, exposure, out.data(), read_bytes).failed()) {
            fprintf(stderr, "astro_big_getimage_single failed\n");
            exit(1);
        }
        return measured(start, Clock::now());
    }

private:
    Lag measured(Clock::time_point start, Clock::time_point converted) {
        bool usb_view = false;
        auto device = box_->find(node_, usb_view);
        std::lock_guard lock(device->pending_read.mutex);
        const Clock::time_point drained = device->pending_read.drained_at.value_or(converted);
        return {seconds(drained - start), seconds(converted - drained)};
    }

    std::shared_ptr<sim::VirtualBox> box_;
    std::string rate_;
    std::string node_;
    std::vector<std::unique_ptr<CameraRecord>> cameras_;
};

// The kernel alone on a frame already in memory: the best of `runs`.
double kernel_seconds(StreamFormat format, int runs, std::vector<uint16_t>& out) {
    const size_t size = size_t{W} * H * stream_bytes_per_pixel(format);
    std::vector<uint8_t> in(size);
    for (size_t i = 0; i < size; ++i) in[i] = static_cast<uint8_t>(i * 7);
    double best = 1e9;
    for (int r = 0; r < runs; ++r) {
        const Clock::time_point start = Clock::now();
        convert_stream(format, in.data(), 0, size, out.data());
        best = std::min(best, seconds(Clock::now() - start));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const double mb_per_s = argc > 1 ? std::max(1.0, atof(argv[1])) : 40;
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    shutter_settle_ms = 0;
    Bench bench(static_cast<uint64_t>(mb_per_s * 1e6));
    std::vector<uint16_t> out(size_t{W} * H);

    printf("frame %d x %d (%.1f MP), camera at %.0f MB/s, worst of %d runs\n", W, H, W * H / 1e6, mb_per_s, runs);
    printf("%-34s %10s %10s %10s\n", "path", "transfer s", "lag ms", "lag/xfer");
    struct Camera {
        const char* name;
        const char* pid;
        StreamFormat format;
    };
    const Camera cameras[] = {{"dual-sample (4 B/px)", "1026", StreamFormat::sample_pairs},
                              {"plain (2 B/px)", "1029", StreamFormat::native16}};
    for (const Camera& c : cameras) {
        CameraRecord& camera = bench.camera(c.pid);
        Lag worst_background{0, 0}, worst_single{0, 0};
        for (int r = 0; r < runs; ++r) {
            const Lag b = bench.background(camera, out);
            if (b.lag >= worst_background.lag)
                worst_background = b;
            const Lag s = bench.single(camera, out);
            if (s.lag >= worst_single.lag)
                worst_single = s;
        }
        const double kernel = kernel_seconds(c.format, runs, out);
        auto line = [](const std::string& name, const Lag& l) {
            printf("%-34s %10.2f %10.2f %10.4f\n", name.c_str(), l.transfer, l.lag * 1e3, l.lag / l.transfer);
        };
        line(std::string(c.name) + ", background", worst_background);
        line(std::string(c.name) + ", single", worst_single);
        printf("%-34s %10s %10.2f %10.4f\n", (std::string(c.name) + ", kernel alone").c_str(), "",
               kernel * 1e3, kernel / worst_background.transfer);
        fflush(stdout);
    }
    return 0;
}
