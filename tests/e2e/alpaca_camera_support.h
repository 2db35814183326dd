// Helpers of the Alpaca camera tests: a daemon with Alpaca on the virtual
// box, members called over HTTP with their answers parsed, and the image
// checked against the coords pattern in the wire order.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/harness/http_client.h"
#include "tests/harness/protocol_client.h"
#include "tests/harness/test_box.h"

namespace alpaca_e2e {

using namespace harness;
using namespace std::chrono_literals;

struct AlpacaSim {
    explicit AlpacaSim(const std::string& scenario) : box("alpaca_enabled = 1\nverbosity = info\n") {
        std::ofstream(box.run_path("scenario.sim")) << scenario;
        pid_t launcher = box.start({"--simulate", "/run/scenario.sim", "--sim-time-scale", "0.01"});
        box.wait_exit(launcher);
        pid = box.daemon_pid().value_or(-1);
        EXPECT_TRUE(pid > 0 && eventually([&] { return box.in_main_loop(pid); })) << box.output(launcher);
    }
    TestBox box;
    pid_t pid = -1;
};

// A member's answer: ErrorNumber and the Value as compact JSON ("" when
// none), or error -1 when the answer was no JSON envelope.
struct Reply {
    int error = -1;
    std::string value;
};

inline Reply parse_reply(const HttpAnswer& answer) {
    Reply reply;
    json_error_t problem;
    json_t* root = json_loadb(answer.body.data(), answer.body.size(), 0, &problem);
    if (root == nullptr)
        return reply;
    reply.error = static_cast<int>(json_integer_value(json_object_get(root, "ErrorNumber")));
    if (json_t* value = json_object_get(root, "Value")) {
        char* text = json_dumps(value, JSON_ENCODE_ANY | JSON_COMPACT | JSON_REAL_PRECISION(10));
        reply.value = text;
        free(text);
    }
    json_decref(root);
    return reply;
}

// Members of one device: "camera/0", "filterwheel/1".
class Device {
public:
    Device(const TestBox& box, std::string device) : box_(box), device_(std::move(device)) {}

    Reply get(const std::string& member) const {
        return parse_reply(http("GET", "/api/v1/" + device_ + "/" + member + "?ClientTransactionID=1", ""));
    }
    Reply put(const std::string& member, const std::string& form = "") const {
        return parse_reply(http("PUT", "/api/v1/" + device_ + "/" + member,
                                form + (form.empty() ? "" : "&") + "ClientTransactionID=1"));
    }
    // The image in both forms.
    HttpAnswer image(bool bytes) const {
        HttpHeaders headers;
        if (bytes)
            headers.emplace_back("Accept", "application/imagebytes");
        return HttpClient(8000, box_.socket(AF_INET, SOCK_STREAM), false, 30s)
            .request("GET", "/api/v1/" + device_ + "/imagearray?ClientTransactionID=1", headers);
    }
    const std::string& path() const { return device_; }

private:
    HttpAnswer http(const std::string& method, const std::string& target, const std::string& form) const {
        return HttpClient(8000, box_.socket(AF_INET, SOCK_STREAM)).request(method, target, {}, form);
    }
    const TestBox& box_;
    std::string device_;
};

// "camera/N" or "filterwheel/N" of the device named `name`, from the
// configured devices ("" when not listed).
inline std::string device_named(const TestBox& box, const std::string& name) {
    HttpAnswer answer =
        HttpClient(8000, box.socket(AF_INET, SOCK_STREAM)).request("GET", "/management/v1/configureddevices");
    json_error_t problem;
    json_t* root = json_loadb(answer.body.data(), answer.body.size(), 0, &problem);
    std::string found;
    size_t i;
    json_t* entry;
    json_array_foreach(json_object_get(root, "Value"), i, entry) {
        if (name == json_string_value(json_object_get(entry, "DeviceName"))) {
            const std::string type = json_string_value(json_object_get(entry, "DeviceType"));
            found = std::string(type == "Camera" ? "camera/" : "filterwheel/") +
                    std::to_string(json_integer_value(json_object_get(entry, "DeviceNumber")));
        }
    }
    json_decref(root);
    return found;
}

// The coords pattern and what the camera makes of it: pixel (i, j) of the
// window at (x, y) in the client's grid.
enum class Binned { camera, sum, mean };
inline uint16_t pattern(int64_t x, int64_t y) { return static_cast<uint16_t>(x + 2 * y); }
inline uint16_t expected_pixel(Binned how, int b, int x, int y, int i, int j) {
    if (how == Binned::camera || b == 1)
        return pattern(x + i, y + j);
    uint32_t sum = 0;
    for (int v = 0; v < b; ++v)
        for (int u = 0; u < b; ++u)
            sum += pattern(int64_t{x + i} * b + u, int64_t{y + j} * b + v);
    return static_cast<uint16_t>(how == Binned::sum ? std::min<uint32_t>(sum, 65535) : sum / uint32_t(b * b));
}

// The pixels of an ImageBytes body in wire order (element (X, Y) is row
// h-1-Y of the frame, X outer), as frame rows; empty on a bad header.
struct Image {
    int width = 0, height = 0, error = -1;
    std::vector<uint16_t> rows;  // row-major, as the camera delivered the frame
};

inline uint32_t le32(const std::string& body, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, body.data() + at, 4);
    return v;
}

inline Image from_imagebytes(const std::string& body) {
    Image image;
    if (body.size() < 44)
        return image;
    image.error = static_cast<int>(le32(body, 4));
    image.width = static_cast<int>(le32(body, 32));
    image.height = static_cast<int>(le32(body, 36));
    const size_t count = size_t(image.width) * size_t(image.height);
    if (image.error != 0 || body.size() != 44 + 2 * count)
        return image;
    image.rows.resize(count);
    for (int X = 0; X < image.width; ++X)
        for (int Y = 0; Y < image.height; ++Y) {
            uint16_t v;
            std::memcpy(&v, body.data() + 44 + 2 * (size_t(X) * size_t(image.height) + size_t(Y)), 2);
            image.rows[size_t(image.height - 1 - Y) * size_t(image.width) + size_t(X)] = v;
        }
    return image;
}

inline Image from_json(const std::string& body) {
    Image image;
    json_error_t problem;
    json_t* root = json_loadb(body.data(), body.size(), 0, &problem);
    if (root == nullptr)
        return image;
    image.error = static_cast<int>(json_integer_value(json_object_get(root, "ErrorNumber")));
    json_t* columns = json_object_get(root, "Value");
    image.width = static_cast<int>(json_array_size(columns));
    image.height = image.width > 0 ? static_cast<int>(json_array_size(json_array_get(columns, 0))) : 0;
    image.rows.resize(size_t(image.width) * size_t(image.height));
    for (int X = 0; X < image.width; ++X)
        for (int Y = 0; Y < image.height; ++Y)
            image.rows[size_t(image.height - 1 - Y) * size_t(image.width) + size_t(X)] =
                static_cast<uint16_t>(json_integer_value(json_array_get(json_array_get(columns, size_t(X)), size_t(Y))));
    json_decref(root);
    return image;
}

// Pixels of `image` that differ from the window.
inline size_t mismatches(const Image& image, Binned how, int b, int x, int y) {
    size_t wrong = 0;
    for (int j = 0; j < image.height; ++j)
        for (int i = 0; i < image.width; ++i)
            if (image.rows[size_t(j) * size_t(image.width) + size_t(i)] != expected_pixel(how, b, x, y, i, j))
                ++wrong;
    return wrong;
}

}  // namespace alpaca_e2e
