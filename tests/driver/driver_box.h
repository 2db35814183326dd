// The drivers on a virtual box: the platform is the box, installed for the
// test, and what the drivers log is captured.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/firmware_source.h"
#include "driver/result.h"
#include "platform/platform.h"
#include "sim/virtual_platform.h"
#include "tests/unit/support.h"

// The results the tests compare with most.
inline constexpr DriverResult OK = DriverResult::ok();
inline constexpr DriverResult BUSY = DriverResult::busy();
inline constexpr DriverResult FAILED = DriverResult::request_failed();
inline constexpr DriverResult REFUSED = DriverResult::refused();
inline constexpr DriverResult NOT_AVAILABLE = DriverResult::not_available();

class DriverBox : public ::testing::Test {
protected:
    void SetUp() override {
        box = std::make_shared<sim::VirtualBox>();
        platform::install(sim::make_virtual_platform(box));
        install_firmware_source(builtin_firmware());
        log = std::make_unique<LogCapture>();
    }

    // The platform stays installed until the next test installs its own:
    // records of the fixture that still hold a node close it through the
    // box when the fixture goes, after TearDown.
    void TearDown() override {
        log.reset();
        install_firmware_source(nullptr);
    }

public:
    // Runs a control line that must succeed; what follows "ok ".
    std::string run(const std::string& line) {
        const std::string reply = box->execute(line);
        EXPECT_EQ(reply.rfind("ok", 0), 0u) << line << " -> " << reply;
        return reply.size() > 4 ? reply.substr(3, reply.size() - 4) : std::string();
    }

    // The virtual device behind a camera node or USB device path.
    std::shared_ptr<sim::Device> device(const std::string& path) const {
        bool usb_view = false;
        auto found = box->find(path, usb_view);
        EXPECT_TRUE(found) << path;
        return found;
    }

    // Every pending hot-plug event as "action devnode".
    std::vector<std::string> events() {
        std::vector<std::string> seen;
        platform::HotplugEvent event;
        while (platform::current().hotplug_receive(event))
            seen.push_back(event.action + " " + event.devnode);
        return seen;
    }

    std::shared_ptr<sim::VirtualBox> box;
    std::unique_ptr<LogCapture> log;
};
