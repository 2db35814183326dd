// Throughput of the image kernels on a full 9576 × 6388 16-bit frame, against
// memcpy of that frame measured in the same run.
//
// Each line gives the best time of several runs, the rate in megapixels of
// input frame per second, and the ratio to the memcpy rate (1.0 = as fast as
// copying the frame once). The dual-gain combination reads two such frames;
// its ratio is still against copying one.
//
//   image_kernels_bench [runs]      (default 9)
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver/image_kernels.h"
#include "bench/best_of.h"

namespace {

using bench::best_seconds;
using bench::sink;

constexpr int FW = 9576;
constexpr int FH = 6388;
constexpr size_t PIXELS = size_t{FW} * FH;

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 9;

    // Two gain images back to back; pixel values spread over the whole range,
    // with a few saturated ones so the saturating paths see hits.
    std::vector<uint16_t> frames(2 * PIXELS);
    uint32_t seed = 12345;
    for (auto& v : frames) {
        seed = seed * 1664525 + 1013904223;
        v = static_cast<uint16_t>(seed >> 16);
    }
    for (size_t i = 0; i < PIXELS; i += 997) frames[i] = 16383;
    std::vector<uint16_t> out(PIXELS, 1);
    std::vector<uint16_t> copy(PIXELS, 1);

    const double t_copy = best_seconds(runs, [&] {
        memcpy(copy.data(), frames.data(), PIXELS * 2);
        sink = copy[PIXELS / 3];
    });
    const double copy_rate = PIXELS / t_copy / 1e6;
    printf("frame %d x %d 16-bit, %d OpenMP threads, best of %d runs\n", FW, FH,
           omp_get_max_threads(), runs);
    printf("%-34s %9s %10s %8s\n", "kernel", "ms", "MP/s", "/memcpy");
    printf("%-34s %9.2f %10.0f %8.2f\n", "memcpy of the frame", t_copy * 1e3, copy_rate, 1.0);

    auto report = [&](const std::string& name, const std::function<void()>& body) {
        const double t = best_seconds(runs, [&] {
            body();
            sink = out[PIXELS / 7 % (out.size())];
        });
        printf("%-34s %9.2f %10.0f %8.2f\n", name.c_str(), t * 1e3, PIXELS / t / 1e6, t_copy / t);
        fflush(stdout);
    };

    const CmosFrame frame{frames.data(), FW, FH, 0};
    for (int bin : {2, 3}) {
        const Window win = clamp_to_cmos_frame(frame, {0, 0, FW, FH}, bin, bin);
        struct Case {
            const char* name;
            bool sum, saturate;
        };
        for (const Case& c : {Case{"mean", false, false}, Case{"sum", true, false},
                              Case{"saturate mean", false, true},
                              Case{"saturate sum", true, true}}) {
            const CmosBinning b{bin, bin, c.sum, c.saturate, 16383};
            for (RowOrder order : {RowOrder::reversed, RowOrder::mirrored}) {
                const std::string name = "bin " + std::to_string(bin) + "x" + std::to_string(bin) +
                                         " " + c.name +
                                         (order == RowOrder::mirrored ? ", mirrored" : "");
                report(name, [&] { cmos_bin(frame, win, b, order, out.data()); });
            }
        }
    }
    const Window full{0, 0, FW, FH};
    report("copy, rows reversed", [&] { cmos_copy(frame, full, RowOrder::reversed, out.data()); });
    report("copy, rows mirrored", [&] { cmos_copy(frame, full, RowOrder::mirrored, out.data()); });

    const GainFrame gains{frames.data(), frames.data() + PIXELS, FW, FH};
    const GainCoefficients k{21703, -1899};
    report("dual-gain combination", [&] {
        convert_gain_frame(gains, full, 1, 1, GainMode::combine, k, out.data());
    });
    report("dual-gain combination, bin 2x2", [&] {
        convert_gain_frame(gains, {0, 0, FW / 2, FH / 2}, 2, 2, GainMode::combine, k, out.data());
    });
    return 0;
}
