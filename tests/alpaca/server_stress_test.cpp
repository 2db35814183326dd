// The server under load, in this process and a network namespace of its
// own: forty clients poll members of several types over keep-alive
// connections while another thread adds devices and a large frame downloads
// as ImageBytes and as JSON. Every answer must be whole and right.
#include <gtest/gtest.h>
#include <jansson.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <latch>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "alpaca/server.h"
#include "alpaca/types.h"
#include "tests/alpaca/support/recording_devices.h"
#include "tests/harness/http_client.h"

using namespace AlpacaServer;
using harness::HttpAnswer;
using harness::HttpClient;

namespace {

constexpr int type(DeviceType t) { return static_cast<int>(t); }

// A 4000x3000 frame; TSan runs the encoders some ten times slower, so its
// build streams a smaller one (the concurrency is the same).
#if defined(__SANITIZE_THREAD__)
constexpr int kWidth = 1600;
constexpr int kHeight = 1200;
#else
constexpr int kWidth = 4000;
constexpr int kHeight = 3000;
#endif

uint16_t pixel_at(int column, int row) { return static_cast<uint16_t>((column * 7 + row * 13) % 65536); }

// Element (x, y) of a download is the frame's pixel at row height-1-y.
uint16_t element(int x, int y) { return pixel_at(x, kHeight - 1 - y); }

FrameView make_frame() {
    auto pixels = std::make_shared<std::vector<uint16_t>>(static_cast<size_t>(kWidth) * kHeight);
    for (int row = 0; row < kHeight; ++row)
        for (int column = 0; column < kWidth; ++column)
            (*pixels)[static_cast<size_t>(row) * kWidth + column] = pixel_at(column, row);
    return FrameView{pixels->data(), kWidth, kHeight, pixels, pixels->size()};
}

// The fault found in an envelope answer, "" when it is right: status 200,
// JSON, the client's transaction id, a server one, the error number and the
// Value expected (null: none).
std::string envelope_fault(const HttpAnswer& answer, uint32_t client_id, int error_number, const char* value,
                           uint32_t& server_id) {
    if (answer.status != 200 || answer.header("Content-Type") != "application/json")
        return "answer " + answer.status_line;
    json_error_t error;
    json_t* body = json_loadb(answer.body.data(), answer.body.size(), 0, &error);
    if (body == nullptr)
        return "unparseable body " + answer.body;
    std::string fault;
    json_t* found = json_object_get(body, "Value");
    char* text = found != nullptr ? json_dumps(found, JSON_COMPACT | JSON_ENCODE_ANY) : nullptr;
    server_id = static_cast<uint32_t>(json_integer_value(json_object_get(body, "ServerTransactionID")));
    if (json_integer_value(json_object_get(body, "ErrorNumber")) != error_number ||
        json_integer_value(json_object_get(body, "ClientTransactionID")) != client_id || server_id == 0 ||
        (value == nullptr ? text != nullptr : text == nullptr || std::strcmp(text, value) != 0))
        fault = "body " + answer.body;
    std::free(text);
    json_decref(body);
    return fault;
}

// Whether an ImageBytes body holds the whole frame for this client id.
bool imagebytes_right(const std::string& body, uint32_t client_id) {
    auto u32 = [&](size_t at) {
        uint32_t value;
        std::memcpy(&value, body.data() + at, 4);
        return value;
    };
    if (body.size() != 44 + 2ull * kWidth * kHeight || u32(0) != 1 || u32(4) != 0 || u32(8) != client_id ||
        u32(16) != 44 || u32(32) != kWidth || u32(36) != kHeight)
        return false;
    const auto* elements = reinterpret_cast<const uint8_t*>(body.data() + 44);
    for (int x = 0; x < kWidth; ++x)
        for (int y = 0; y < kHeight; ++y, elements += 2)
            if ((elements[0] | elements[1] << 8) != element(x, y))
                return false;
    return true;
}

// Whether a JSON image body holds the whole frame as nested arrays.
bool json_image_right(const std::string& body, uint32_t client_id) {
    const std::string head = R"({"ErrorNumber":0,"ErrorMessage":"","Type":2,"Rank":2,"Value":[)";
    const std::string tail = R"(],"ClientTransactionID":)" + std::to_string(client_id) + R"(,"ServerTransactionID":)";
    if (body.compare(0, head.size(), head) != 0)
        return false;
    size_t at = head.size();
    for (int x = 0; x < kWidth; ++x) {
        if (body[at++] != (x == 0 ? '[' : ',') || (x > 0 && body[at++] != '['))
            return false;
        for (int y = 0; y < kHeight; ++y) {
            unsigned value = 0;
            size_t digits = 0;
            for (; at < body.size() && body[at] >= '0' && body[at] <= '9' && digits < 6; ++at, ++digits)
                value = value * 10 + static_cast<unsigned>(body[at] - '0');
            if (digits == 0 || value != element(x, y) || at >= body.size() ||
                body[at++] != (y + 1 < kHeight ? ',' : ']'))
                return false;
        }
    }
    return body.compare(at, tail.size(), tail) == 0 && body.back() == '}';
}

struct Case {
    const char* method;
    const char* target;  // without the transaction id
    const char* form;
    const char* value;   // the Value answered from the canned values; null: none
    int error_number = 0;
};

// Requests of several types and members, one of them refused; the recording
// devices answer their canned values.
const Case kCases[] = {
    {"GET", "/api/v1/camera/0/binx", "", "7"},
    {"PUT", "/api/v1/camera/0/binx", "BinX=2", nullptr},
    {"PUT", "/api/v1/camera/0/binx", "BinX=1.5", nullptr, kInvalidValue},
    {"GET", "/api/v1/camera/0/ccdtemperature", "", "1.5"},
    {"PUT", "/api/v1/camera/0/cooleron", "CoolerOn=true", nullptr},
    {"GET", "/api/v1/camera/0/gains", "", R"(["a","b"])"},
    {"GET", "/api/v1/camera/0/sensorname", "", R"("text")"},
    {"GET", "/api/v1/filterwheel/0/position", "", "7"},
    {"PUT", "/api/v1/filterwheel/0/position", "Position=3", nullptr},
    {"GET", "/api/v1/filterwheel/0/focusoffsets", "", "[1,-2]"},
    {"GET", "/api/v1/filterwheel/0/connected", "", "true"},
    {"GET", "/api/v1/switch/0/getswitchvalue?Id=1", "", "1.5"},
    {"PUT", "/api/v1/switch/0/setswitchvalue", "Id=1&Value=0.25", nullptr},
    {"PUT", "/api/v1/telescope/0/slewtocoordinatesasync", "RightAscension=1.5&Declination=-3", nullptr},
    {"GET", "/api/v1/telescope/0/name", "", R"("Scope")"},
};

}  // namespace

TEST(AlpacaServerStress, FortyClientsWhileDevicesArriveAndAFrameDownloads) {
    ASSERT_TRUE(harness::own_loopback_network()) << std::strerror(errno);
    ASSERT_EQ(0, start_alpaca_server());
    Server& server = *alpaca_server();

    auto camera = AlpacaTest::make_recording_device(type(DeviceType::camera), 1, "Cam");
    AlpacaTest::Canned canned;
    canned.frame = make_frame();
    AlpacaTest::Recorder& camera_recorder = AlpacaTest::recorder_of(*camera);
    camera_recorder.set_canned(canned);
    server.add_device(camera.release());
    auto wheel = AlpacaTest::make_recording_device(type(DeviceType::filterwheel), 1, "Wheel");
    AlpacaTest::Recorder& wheel_recorder = AlpacaTest::recorder_of(*wheel);
    server.add_device(wheel.release());
    server.add_device(AlpacaTest::make_recording_device(type(DeviceType::switch_), 1, "Switch").release());
    server.add_device(AlpacaTest::make_recording_device(type(DeviceType::telescope), 1, "Scope").release());

    constexpr int kClients = 40;
    constexpr int kRounds = 30;
    constexpr int kAdded = 200;  // of each added type
    const int added_types[] = {type(DeviceType::focuser), type(DeviceType::rotator), type(DeviceType::dome)};
    std::latch start(kClients + 2);
    std::atomic<int> answered{0}, pollers_left{kClients};
    std::atomic<bool> downloaded{false};
    std::atomic<size_t> wheel_puts{0};
    std::vector<std::vector<uint32_t>> server_ids(kClients);
    std::vector<std::string> faults(kClients + 2);  // adder, downloader, clients

    // The hot-plug side: focusers, rotators and domes, numbered as they come,
    // a few of each between answers, so adds and requests interleave.
    std::thread adder([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kAdded; ++i) {
            while (answered.load() < i * 4 && pollers_left.load() > 0)
                std::this_thread::yield();
            for (int added : added_types) {
                std::string name = std::string(device_type_name(added)) + " " + std::to_string(i);
                if (server.add_device(AlpacaTest::make_recording_device(added, i, name).release()) != i)
                    faults[0] += "add of " + name + " numbered otherwise; ";
            }
        }
    });

    // Pollers: the table in turn, and each round the newest device of an
    // added type by its name.
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c)
        threads.emplace_back([&, c] {
            auto client = std::make_unique<HttpClient>(8000, -1, true);
            uint32_t client_id = static_cast<uint32_t>(c) * 1000;
            auto ask = [&](const std::string& method, const std::string& target, const std::string& form,
                           const char* value, int error_number) {
                if (!client->connected())  // the server may end a keep-alive connection
                    client = std::make_unique<HttpClient>(8000, -1, true);
                ++client_id;
                std::string with_id = target + (target.find('?') == std::string::npos ? "?" : "&") +
                                      "ClientTransactionID=" + std::to_string(client_id);
                uint32_t server_id = 0;
                HttpAnswer answer = client->request(method, with_id, {}, form);
                std::string fault = envelope_fault(answer, client_id, error_number, value, server_id);
                if (!fault.empty())
                    faults[static_cast<size_t>(c) + 2] += method + " " + target + ": " + fault + "; ";
                else
                    server_ids[static_cast<size_t>(c)].push_back(server_id);
                ++answered;
            };
            start.arrive_and_wait();
            // Polling begins once the download has asked the camera for its frame.
            while (camera_recorder.calls().empty() && !downloaded.load())
                std::this_thread::yield();
            for (int round = 0; round < kRounds; ++round) {
                const Case& row = kCases[static_cast<size_t>(c + round) % std::size(kCases)];
                ask(row.method, row.target, row.form, row.value, row.error_number);
                wheel_puts += std::strcmp(row.form, "Position=3") == 0;
                const int added_type = added_types[(c + round) % 3];
                const std::string added = device_type_name(added_type);
                if (const size_t count = server.registry.count(added_type); count > 0) {
                    const std::string number = std::to_string(count - 1);
                    const std::string name = "\"" + added + " " + number + "\"";
                    ask("GET", "/api/v1/" + added + "/" + number + "/name", "", name.c_str(), 0);
                }
            }
            --pollers_left;
        });

    // The frame, once in each encoding.
    std::thread downloader([&] {
        start.arrive_and_wait();
        HttpClient client(8000, -1, true, std::chrono::seconds(60));
        HttpAnswer binary = client.request("GET", "/api/v1/camera/0/imagearray?ClientTransactionID=77",
                                           {{"Accept", "application/imagebytes"}});
        if (binary.header("Content-Type") != "application/imagebytes" || !imagebytes_right(binary.body, 77))
            faults[1] += "ImageBytes download " + binary.status_line + "; ";
        HttpAnswer json = client.request("GET", "/api/v1/camera/0/imagearray?ClientTransactionID=78");
        if (json.header("Content-Type") != "application/json" || !json_image_right(json.body, 78))
            faults[1] += "JSON download " + json.status_line + "; ";
        downloaded = true;
    });

    adder.join();
    downloader.join();
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& fault : faults)
        EXPECT_EQ("", fault);

    // Every answer had a ServerTransactionID of its own, and every PUT of the
    // wheel's position reached the wheel.
    std::vector<uint32_t> all;
    for (const auto& ids : server_ids)
        all.insert(all.end(), ids.begin(), ids.end());
    EXPECT_EQ(all.size(), std::set<uint32_t>(all.begin(), all.end()).size());
    const auto calls = wheel_recorder.calls();
    EXPECT_EQ(wheel_puts.load(), static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [](const auto& call) {
                  return call.operation == "put_position" && call.arguments == std::vector<std::string>{"3"};
              })));
    EXPECT_EQ(static_cast<size_t>(kAdded), server.registry.count(type(DeviceType::dome)));
    stop_alpaca_server();
}
