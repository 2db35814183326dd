// The Alpaca device registry of the server: duplicates, numbering, UniqueID
// and lookups while devices are added.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "alpaca/envelope.h"
#include "alpaca/server.h"
#include "tests/alpaca/support/recording_devices.h"

using namespace AlpacaServer;

namespace {

Device* make_device(int type, int id, std::string name) {
    return AlpacaTest::make_recording_device(type, id, std::move(name)).release();
}

}  // namespace

TEST(AlpacaRegistry, NumbersPerTypeRefusesDuplicatesAndSetsUniqueId) {
    Server server;
    // The server owns what it is given; the duplicate is dropped at once
    // (ASan sees a leak or a double delete).
    std::vector<Device*> devices = {
        make_device(4, 7, "Wheel A"), make_device(1, 7, "Cam A"), make_device(1, 9, "Cam B"),
        make_device(1, 7, "Cam A again"), make_device(4, 8, "Wheel B"),
    };
    std::vector<int> numbers;
    for (Device* device : devices)
        numbers.push_back(server.add_device(device));
    EXPECT_EQ((std::vector<int>{0, 0, 1, -1, 1}), numbers);

    EXPECT_EQ(2u, server.registry.count(1));
    EXPECT_EQ(2u, server.registry.count(4));
    EXPECT_EQ(0u, server.registry.count(2));
    EXPECT_EQ(devices[1], server.registry.find(1, 0)) << "the first registration stays";
    EXPECT_EQ(nullptr, server.registry.find(1, 2));
    EXPECT_EQ(nullptr, server.registry.find(3, 0));

    std::vector<std::string> order;
    server.registry.for_each([&](int type, std::size_t number, Device& device) {
        char name[64] = {};
        device.get_name(name, sizeof name);
        order.push_back(std::to_string(type) + "/" + std::to_string(number) + " " + name);
        EXPECT_EQ(make_unique_id("CorvaneETHAdapter", name, type, device.device_id), device.unique_id);
        EXPECT_EQ(32u, std::string(device.unique_id).size());
    });
    EXPECT_EQ((std::vector<std::string>{"1/0 Cam A", "1/1 Cam B", "4/0 Wheel A", "4/1 Wheel B"}), order);
}

// Request threads look devices up while the hot-plug thread appends: every
// number below the count must find its device (run under TSan).
TEST(AlpacaRegistry, LookupsWhileAddingSeeWholeDevices) {
    Server server;
    constexpr int kDevices = 300;
    std::vector<Device*> devices;
    for (int i = 0; i < kDevices; ++i)
        devices.push_back(make_device(1 + i % 2, i, "D" + std::to_string(i)));
    std::atomic<bool> done{false};
    std::atomic<int> faults{0};
    auto reader = [&] {
        while (!done.load()) {
            for (int type : {1, 2}) {
                std::size_t count = server.registry.count(type);
                for (std::size_t n = 0; n < count; ++n) {
                    Device* device = server.registry.find(type, n);
                    if (device == nullptr || device->device_type() != type || device->unique_id[0] == 0)
                        ++faults;
                }
            }
            server.registry.for_each([&](int, std::size_t, Device& device) {
                if (device.unique_id[31] == 0)
                    ++faults;
            });
        }
    };
    std::thread first(reader), second(reader);
    for (Device* device : devices)
        server.add_device(device);
    done = true;
    first.join();
    second.join();
    EXPECT_EQ(0, faults.load());
    EXPECT_EQ(static_cast<std::size_t>(kDevices / 2), server.registry.count(2));
}
