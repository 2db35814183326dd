// Throughput of the Alpaca image bodies on a full 9576 x 6388 16-bit frame,
// against memcpy of that frame measured in the same run.
//
// The streams are read the way the HTTP server reads them: in order, into a
// reused block of the stream's block size; the ImageBytes stream also into
// one frame-sized buffer, which is what memcpy does. Rates are MB of body
// per second; the ratio is the memcpy time over the stream's time for the
// same frame (1.0 = as fast as copying the frame once). The JSON line is for
// scale only.
//
//   alpaca_image_bench [runs]      (default 5)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "alpaca/image_encoding.h"
#include "bench/best_of.h"

namespace {

using bench::best_seconds;
using bench::sink;

constexpr int FW = 9576;
constexpr int FH = 6388;
constexpr size_t PIXELS = size_t{FW} * FH;

uint64_t drain(AlpacaServer::BodyStream& s, uint8_t* out, size_t block, bool advance) {
    uint64_t at = 0;
    while (at < s.size()) {
        const size_t n = s.read(at, advance ? out + at : out, block);
        if (n == 0) break;
        at += n;
    }
    return at;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    std::vector<uint16_t> frame(PIXELS);
    uint32_t seed = 12345;
    for (auto& v : frame) {
        seed = seed * 1664525 + 1013904223;
        v = static_cast<uint16_t>(seed >> 16);
    }
    const AlpacaServer::FrameView view{frame.data(), FW, FH};
    std::vector<uint16_t> copy(PIXELS, 1);
    std::vector<uint8_t> full(44 + 2 * PIXELS, 1);
    std::vector<uint8_t> block(8 << 20);

    const double bytes = 2.0 * PIXELS;
    const double t_copy = best_seconds(runs, [&] {
        memcpy(copy.data(), frame.data(), PIXELS * 2);
        sink = copy[PIXELS / 3];
    });
    printf("frame %d x %d 16-bit, best of %d runs\n", FW, FH, runs);
    printf("%-40s %9s %10s %8s\n", "body", "ms", "MB/s", "/memcpy");
    printf("%-40s %9.2f %10.0f %8.2f\n", "memcpy of the frame", t_copy * 1e3, bytes / t_copy / 1e6, 1.0);

    auto report = [&](const char* name, bool json, bool to_full) {
        uint64_t size = 0;
        const double t = best_seconds(runs, [&] {
            if (json) {
                AlpacaServer::ImageJsonStream s(view, 0, "", 1, 2);
                size = drain(s, block.data(), s.block_size(), false);
            } else {
                AlpacaServer::ImageBytesStream s(view, 0, "", 1, 2);
                size = to_full ? drain(s, full.data(), full.size(), true)
                               : drain(s, block.data(), s.block_size(), false);
            }
            sink = block[7] + full[1001];
        });
        printf("%-40s %9.2f %10.0f %8.2f\n", name, t * 1e3, double(size) / t / 1e6, t_copy / t);
        fflush(stdout);
    };
    report("ImageBytes stream, server's blocks", false, false);
    report("ImageBytes stream, into one buffer", false, true);
    report("JSON stream, server's blocks", true, false);
    return 0;
}
