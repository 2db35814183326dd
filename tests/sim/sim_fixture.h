// A virtual box and the platform over it, as the drivers see it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/camera_abi.h"
#include "sim/virtual_platform.h"

namespace simtest {

struct SimBox {
    explicit SimBox(const sim::BoxSettings& settings = {})
        : box(std::make_shared<sim::VirtualBox>(settings)), platform(sim::make_virtual_platform(box)) {}

    // Runs a control line that must succeed; what follows "ok ".
    std::string run(const std::string& line) {
        const std::string reply = box->execute(line);
        EXPECT_EQ(reply.rfind("ok", 0), 0u) << line << " -> " << reply;
        return reply.size() > 4 ? reply.substr(3, reply.size() - 4) : std::string();
    }

    // Every pending hot-plug event as "action devnode vendor product".
    std::vector<std::string> events() {
        std::vector<std::string> seen;
        platform::HotplugEvent event;
        while (platform->hotplug_receive(event))
            seen.push_back(event.action + " " + event.devnode + " " + event.id_vendor + " " + event.id_product);
        return seen;
    }

    std::shared_ptr<sim::VirtualBox> box;
    std::unique_ptr<platform::Platform> platform;
};

// One command exchange through the driver request; the response bytes
// received, or the errno of a failed request as a negative size in `result`.
struct Exchange {
    int result = 0;
    int error = 0;
    uint64_t received = 0;
    std::vector<uint8_t> response;
};

inline Exchange exchange(platform::Platform& p, int fd, std::vector<uint8_t> request, size_t capacity) {
    Exchange out;
    out.response.assign(capacity + 1, 0xEE);  // one guard byte past the capacity
    CommandRecord record{};
    record.request_address = request.empty() ? 0 : reinterpret_cast<uintptr_t>(request.data());
    record.request_length = request.size();
    record.response_address = reinterpret_cast<uintptr_t>(out.response.data());
    record.response_length = capacity;
    errno = 0;
    out.result = p.node_ioctl(fd, CAMERA_IOCTL_COMMAND, &record);
    out.error = errno;
    out.received = record.response_length;
    return out;
}

}  // namespace simtest
