// Helpers of the camera session's end-to-end tests: a daemon on the virtual
// box, a client connected to one camera, and the requests of exposures.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness/protocol_client.h"
#include "tests/harness/test_box.h"

namespace camera_e2e {

using namespace harness;
using namespace std::chrono_literals;

// A daemon on the virtual box with the devices of `scenario`, started with
// `extra` arguments after --simulate (and through `wrapper` when given, a
// program that runs the daemon, such as prlimit).
struct SimulatedBox {
    explicit SimulatedBox(const std::string& scenario, Network network = Network::loopback,
                          std::vector<std::string> extra = {}, std::vector<std::string> wrapper = {})
        : box("verbosity = info\n", network) {
        std::ofstream(box.run_path("scenario.sim")) << scenario;
        std::vector<std::string> args = {"--simulate", "/run/scenario.sim"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_t launcher;
        if (wrapper.empty()) {
            launcher = box.start(args);
        } else {
            wrapper.push_back(telvad_binary());
            wrapper.insert(wrapper.end(), args.begin(), args.end());
            launcher = box.start_command(wrapper);
        }
        box.wait_exit(launcher);
        pid = box.daemon_pid().value_or(-1);
        EXPECT_TRUE(pid > 0 && eventually([&] { return box.in_main_loop(pid); })) << box.output(launcher);
    }

    TestBox box;
    pid_t pid = -1;
};

inline uint32_t camera_count(const TestBox& box) {
    ProtocolClient lister(box);
    return get<uint32_t>(lister.ask(make_request(1)), 20);
}

// Waits until `count` cameras are free to connect to.
inline bool cameras_listed(const TestBox& box, uint32_t count) {
    return eventually([&] { return camera_count(box) == count; }, 10s);
}

// Connects `client` to camera `id`; the connect's status.
inline int32_t connect_camera(ProtocolClient& client, uint32_t id) {
    Bytes request = make_request(2);
    put<uint32_t>(request, 16, id);
    return get<int32_t>(client.ask(request), 16);
}

inline Bytes exposure_request(uint32_t command, double seconds, int32_t x, int32_t y, int32_t w, int32_t h,
                              uint8_t shutter) {
    Bytes request = make_request(command, 41);
    put<double>(request, 16, seconds);
    put<int32_t>(request, 24, x);
    put<int32_t>(request, 28, y);
    put<int32_t>(request, 32, w);
    put<int32_t>(request, 36, h);
    put<uint8_t>(request, 40, shutter);
    return request;
}

inline Bytes one_byte_request(uint32_t command, uint8_t value) {
    Bytes request = make_request(command);
    put<uint8_t>(request, 16, value);
    return request;
}

inline int32_t status_of(const Bytes& response) { return get<int32_t>(response, 16); }

// TCP_CMD_SETREADMODE. The new-interface CCDs (classes 4-7) deliver 8-bit
// pixels in modes 0 and 2; mode 1 gives the 16 bits the pattern needs.
inline int32_t set_read_mode(ProtocolClient& client, int32_t mode) {
    Bytes request = make_request(5);
    put<int32_t>(request, 16, mode);
    return status_of(client.ask(request));
}

// TCP_CMD_IMAGEREADY's answer byte; -1 when the answer was not status 0.
inline int image_ready(ProtocolClient& client) {
    Bytes answer = client.ask(make_request(13));
    if (answer.size() != 21 || status_of(answer) != 0)
        return -1;
    return answer[20];
}

// How many pixels of the window at (x, y) of `image` (after the header)
// differ from the coords pattern, pixel (i, j) = x + i + 2 (y + j).
inline size_t pattern_mismatches(const Bytes& response, int32_t x, int32_t y, int32_t w, int32_t h) {
    size_t wrong = 0;
    for (int32_t j = 0; j < h; ++j) {
        for (int32_t i = 0; i < w; ++i) {
            const size_t offset = 20 + 2 * (static_cast<size_t>(j) * static_cast<size_t>(w) + static_cast<size_t>(i));
            const auto expected = static_cast<uint16_t>(x + i + 2 * (y + j));
            if (get<uint16_t>(response, offset) != expected)
                ++wrong;
        }
    }
    return wrong;
}

// Reads the image with `command` (14 or 31) and checks the answer: status
// 0, the length field and the bytes of the window, pixel for pixel the
// coords pattern of the window.
inline void expect_window(ProtocolClient& client, uint32_t command, int32_t x, int32_t y, int32_t w, int32_t h) {
    Bytes image = client.ask(make_request(command), 30s);
    ASSERT_EQ(20u + 2u * static_cast<size_t>(w * h), image.size());
    EXPECT_EQ(20u + 2u * static_cast<uint32_t>(w * h), get<uint32_t>(image, 8));
    EXPECT_EQ(command, get<uint32_t>(image, 12));
    EXPECT_EQ(0, status_of(image));
    EXPECT_EQ(0u, pattern_mismatches(image, x, y, w, h));
}

// The set points a camera received, in degrees, with their times in ms.
struct SetPoint {
    long long at_ms;
    double celsius;
};
inline std::vector<SetPoint> set_points(const TestBox& box, const std::string& node) {
    std::vector<SetPoint> points;
    std::istringstream lines(box.control("setpoints " + node));
    std::string line;
    while (std::getline(lines, line)) {
        SetPoint point;
        if (line.starts_with("ok") || sscanf(line.c_str(), "%lld %lf", &point.at_ms, &point.celsius) != 2)
            break;
        points.push_back(point);
    }
    return points;
}

inline unsigned long long commands_received(const TestBox& box, const std::string& node) {
    return std::stoull(box.control("commands " + node));
}

}  // namespace camera_e2e
