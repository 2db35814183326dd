// TCP_CMD_READIMAGE of a ready 122 MB frame over loopback, beside a plain
// loopback TCP copy of the same number of bytes, measured in the same run.
//
//   camera_download_bench [rounds]      (root: it runs a test box)
//
// The frame (10 000 × 6 100 pixels of a big camera) is exposed and read
// once; each round then asks for it again, so only the download is timed.
// The baseline sends the same bytes from one buffer over a loopback
// connection in the same box into a buffer of the same size. The ratio is
// telvad's throughput over the baseline's (1 is as fast as a plain copy).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_io.h"
#include "tests/harness/protocol_client.h"
#include "tests/harness/test_box.h"

namespace {

using namespace bench;
using harness::Bytes;
constexpr int32_t WIDTH = 10000, HEIGHT = 6100;
constexpr size_t IMAGE_BYTES = static_cast<size_t>(WIDTH) * HEIGHT * 2;

// One READIMAGE: request sent to last byte received.
double download(harness::ProtocolClient& client, Bytes& into) {
    const auto start = Clock::now();
    if (!client.send(harness::make_request(14)) || !read_exactly(client.sd(), into.data(), into.size()))
        fail("the download failed");
    if (harness::get<int32_t>(into, 16) != 0)
        fail("READIMAGE answered status " + std::to_string(harness::get<int32_t>(into, 16)));
    return seconds_since(start);
}

// The same bytes over a plain loopback connection of the box.
double plain_copy(const harness::TestBox& box, const Bytes& from, Bytes& into) {
    const BaselinePair pair = baseline_pair(box);
    const int sender = pair.sender, receiver = pair.receiver;
    const auto start = Clock::now();
    std::thread pump([&] { send_all(sender, from.data(), from.size()); });
    const bool whole = read_exactly(receiver, into.data(), into.size());
    const double elapsed = seconds_since(start);
    pump.join();
    if (!whole)
        fail("the baseline copy failed");
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) try {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    harness::TestBox box("verbosity = warning\n");
    {
        std::ofstream scenario(box.run_path("bench.sim"));
        scenario << "plug camera 1201 id=61 width=" << WIDTH << " height=" << HEIGHT << "\n";
    }
    box.wait_exit(box.start({"--simulate", "/run/bench.sim"}));
    const pid_t daemon = box.daemon_pid().value_or(-1);
    if (daemon <= 0 || !harness::eventually([&] { return box.in_main_loop(daemon); }))
        fail("telvad did not start");
    if (!harness::eventually([&] {
            harness::ProtocolClient lister(box);
            return harness::get<uint32_t>(lister.ask(harness::make_request(1)), 20) == 1;
        }, std::chrono::seconds(10)))
        fail("the camera did not appear");

    harness::ProtocolClient client(box);
    Bytes connect = harness::make_request(2);
    harness::put<uint32_t>(connect, 16, 61);
    if (harness::get<int32_t>(client.ask(connect), 16) != 0)
        fail("connect refused");
    Bytes start = harness::make_request(11, 41);
    harness::put<double>(start, 16, 0.5);
    harness::put<int32_t>(start, 32, WIDTH);
    harness::put<int32_t>(start, 36, HEIGHT);
    harness::put<uint8_t>(start, 40, 1);
    if (harness::get<int32_t>(client.ask(start), 16) != 0)
        fail("exposure refused");
    if (!harness::eventually([&] {
            Bytes ready = client.ask(harness::make_request(13));
            return ready.size() == 21 && ready[20] == 1;
        }, std::chrono::seconds(20)))
        fail("no image");

    Bytes image(20 + IMAGE_BYTES);
    download(client, image);  // the readout completes; later reads send a ready frame
    Bytes source(IMAGE_BYTES + 20, 0x5A);
    Bytes sink(IMAGE_BYTES + 20);

    std::vector<double> ours, plain;
    for (int round = 0; round < rounds; ++round) {
        ours.push_back(download(client, image));
        plain.push_back(plain_copy(box, source, sink));
    }
    const double best_ours = *std::min_element(ours.begin(), ours.end());
    const double best_plain = *std::min_element(plain.begin(), plain.end());
    const double megabytes = static_cast<double>(image.size()) / 1e6;
    printf("READIMAGE of a ready %.0f MB frame over loopback; best of %d rounds\n", megabytes, rounds);
    printf("%-24s %10s %10s\n", "", "MB/s", "s");
    printf("%-24s %10.0f %10.3f\n", "telvad READIMAGE", megabytes / best_ours, best_ours);
    printf("%-24s %10.0f %10.3f\n", "plain loopback copy", megabytes / best_plain, best_plain);
    printf("%-24s %10.2f\n", "ratio (goal >= 0.8)", best_plain / best_ours);
    return 0;
} catch (const std::exception& error) {
    fprintf(stderr, "camera_download_bench: %s\n", error.what());
    return 1;
}
