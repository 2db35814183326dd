// Conformance of the Camera and FilterWheel members, and of the members every
// device has, with the public Alpaca device API (AlpacaDeviceAPI_v1.yaml and
// the API reference). The server runs in this process, in a network namespace
// of its own, with a recording camera and wheel; every member is sent good,
// missing, mistyped, mis-cased and extra parameters and bad transaction ids
// over real HTTP, and each answer is checked against the API's rules: status,
// Content-Type, envelope members and their JSON types, the Value's type,
// the ClientTransactionID echo, a positive and increasing
// ServerTransactionID, and whether the device was called.
//
// Where the server deliberately answers otherwise than the API (transaction
// id required, 400 answers as an envelope, exact body keys, the typing of
// parameter texts, no imagearrayvariant), the test expects the server's
// answer; docs/alpaca.md lists each difference.
#include <gtest/gtest.h>
#include <jansson.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "alpaca/server.h"
#include "tests/alpaca/support/recording_devices.h"
#include "tests/harness/http_client.h"

using namespace AlpacaServer;

namespace {

// Kinds of parameters and Values, as the API definition's schemas type them.
enum Kind { kNone, kBool, kInt, kNumber, kString, kIntArray, kStringArray, kStateArray, kImage };

struct Param {
    const char* name = nullptr;
    Kind kind = kNone;
};

// One member: method, name, Value kind and request parameters (besides
// ClientID and ClientTransactionID), as the definition lists them.
struct Member {
    const char* method;
    const char* name;
    Kind value;
    Param params[2] = {};
};

// Members of every device type ("/{device_type}/{device_number}/...").
const Member kCommon[] = {
    {"PUT", "action", kString, {{"Action", kString}, {"Parameters", kString}}},
    {"PUT", "commandblind", kNone, {{"Command", kString}, {"Raw", kBool}}},
    {"PUT", "commandbool", kBool, {{"Command", kString}, {"Raw", kBool}}},
    {"PUT", "commandstring", kString, {{"Command", kString}, {"Raw", kBool}}},
    {"PUT", "connect", kNone},
    {"GET", "connected", kBool},
    {"PUT", "connected", kNone, {{"Connected", kBool}}},
    {"GET", "connecting", kBool},
    {"GET", "description", kString},
    {"GET", "devicestate", kStateArray},
    {"PUT", "disconnect", kNone},
    {"GET", "driverinfo", kString},
    {"GET", "driverversion", kString},
    {"GET", "interfaceversion", kInt},
    {"GET", "name", kString},
    {"GET", "supportedactions", kStringArray},
};

// "/camera/{device_number}/..." (imagearrayvariant: see ImageArrayVariant).
const Member kCamera[] = {
    {"GET", "bayeroffsetx", kInt},
    {"GET", "bayeroffsety", kInt},
    {"GET", "binx", kInt},
    {"PUT", "binx", kNone, {{"BinX", kInt}}},
    {"GET", "biny", kInt},
    {"PUT", "biny", kNone, {{"BinY", kInt}}},
    {"GET", "camerastate", kInt},
    {"GET", "cameraxsize", kInt},
    {"GET", "cameraysize", kInt},
    {"GET", "canabortexposure", kBool},
    {"GET", "canasymmetricbin", kBool},
    {"GET", "canfastreadout", kBool},
    {"GET", "cangetcoolerpower", kBool},
    {"GET", "canpulseguide", kBool},
    {"GET", "cansetccdtemperature", kBool},
    {"GET", "canstopexposure", kBool},
    {"GET", "ccdtemperature", kNumber},
    {"GET", "cooleron", kBool},
    {"PUT", "cooleron", kNone, {{"CoolerOn", kBool}}},
    {"GET", "coolerpower", kNumber},
    {"GET", "electronsperadu", kNumber},
    {"GET", "exposuremax", kNumber},
    {"GET", "exposuremin", kNumber},
    {"GET", "exposureresolution", kNumber},
    {"GET", "fastreadout", kBool},
    {"PUT", "fastreadout", kNone, {{"FastReadout", kBool}}},
    {"GET", "fullwellcapacity", kNumber},
    {"GET", "gain", kInt},
    {"PUT", "gain", kNone, {{"Gain", kInt}}},
    {"GET", "gainmax", kInt},
    {"GET", "gainmin", kInt},
    {"GET", "gains", kStringArray},
    {"GET", "hasshutter", kBool},
    {"GET", "heatsinktemperature", kNumber},
    {"GET", "imagearray", kImage},
    {"GET", "imageready", kBool},
    {"GET", "ispulseguiding", kBool},
    {"GET", "lastexposureduration", kNumber},
    {"GET", "lastexposurestarttime", kString},
    {"GET", "maxadu", kInt},
    {"GET", "maxbinx", kInt},
    {"GET", "maxbiny", kInt},
    {"GET", "numx", kInt},
    {"PUT", "numx", kNone, {{"NumX", kInt}}},
    {"GET", "numy", kInt},
    {"PUT", "numy", kNone, {{"NumY", kInt}}},
    {"GET", "offset", kInt},
    {"PUT", "offset", kNone, {{"Offset", kInt}}},
    {"GET", "offsetmax", kInt},
    {"GET", "offsetmin", kInt},
    {"GET", "offsets", kStringArray},
    {"GET", "percentcompleted", kInt},
    {"GET", "pixelsizex", kNumber},
    {"GET", "pixelsizey", kNumber},
    {"GET", "readoutmode", kInt},
    {"PUT", "readoutmode", kNone, {{"ReadoutMode", kInt}}},
    {"GET", "readoutmodes", kStringArray},
    {"GET", "sensorname", kString},
    {"GET", "sensortype", kInt},
    {"GET", "setccdtemperature", kNumber},
    {"PUT", "setccdtemperature", kNone, {{"SetCCDTemperature", kNumber}}},
    {"GET", "startx", kInt},
    {"PUT", "startx", kNone, {{"StartX", kInt}}},
    {"GET", "starty", kInt},
    {"PUT", "starty", kNone, {{"StartY", kInt}}},
    {"GET", "subexposureduration", kNumber},
    {"PUT", "subexposureduration", kNone, {{"SubExposureDuration", kNumber}}},
    {"PUT", "abortexposure", kNone},
    {"PUT", "pulseguide", kNone, {{"Direction", kInt}, {"Duration", kInt}}},
    {"PUT", "startexposure", kNone, {{"Duration", kNumber}, {"Light", kBool}}},
    {"PUT", "stopexposure", kNone},
};

// "/filterwheel/{device_number}/...".
const Member kFilterWheel[] = {
    {"GET", "focusoffsets", kIntArray},
    {"GET", "names", kStringArray},
    {"GET", "position", kInt},
    {"PUT", "position", kNone, {{"Position", kInt}}},
};

// A text of each parameter kind the API accepts, and texts it does not.
// Strings: the API takes any text; the server types "12" and "true" as a
// number and a bool and refuses them where a string is wanted.
const char* good_text(Kind kind) {
    switch (kind) {
    case kBool: return "True";
    case kInt: return "2";
    case kNumber: return "1.5";
    default: return "Label";
    }
}
// How the recording device writes the good text it was called with.
const char* recorded_text(Kind kind) {
    return kind == kBool ? "true" : good_text(kind);
}
std::vector<const char*> bad_texts(Kind kind) {
    switch (kind) {
    case kBool: return {"1", "yes", ""};
    case kInt: return {"abc", "1.5", "2147483648", "-2147483649", "true"};
    case kNumber: return {"abc", "false", ""};
    default: return {"12", "true"};
    }
}

template <std::size_t N>
std::vector<Member> rows(const Member (&table)[N]) {
    return std::vector<Member>(table, table + N);
}

bool loopback_up() {
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = ioctl(sd, SIOCGIFFLAGS, &request) == 0 &&
              (request.ifr_flags |= IFF_UP, ioctl(sd, SIOCSIFFLAGS, &request) == 0);
    close(sd);
    return up;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string form(const Pairs& pairs) {
    std::string out;
    for (const auto& [key, value] : pairs)
        out += (out.empty() ? "" : "&") + key + "=" + value;
    return out;
}

// One request on a connection of its own: GET parameters in the query, PUT
// parameters as a form body.
harness::HttpAnswer exchange(const std::string& method, const std::string& path, const Pairs& pairs,
                             const std::string& accept = "") {
    harness::HttpHeaders headers;
    if (!accept.empty())
        headers.emplace_back("Accept", accept);
    const bool put = method == "PUT";
    return harness::http_request(8000, method, put || pairs.empty() ? path : path + "?" + form(pairs), headers,
                                 put ? form(pairs) : "");
}

std::string header(const harness::HttpAnswer& answer, const char* name) {
    return answer.header(name).value_or("");
}

uint32_t le32(const std::string& bytes, std::size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

// The frame the recording camera hands out: 3 wide, 2 high.
const uint16_t kPixels[6] = {1, 2, 3, 4, 5, 65535};
constexpr int kWidth = 3, kHeight = 2;

// What a request must come to.
enum class Outcome {
    ok,             // 200, ErrorNumber 0, the Value of the member's kind; device called
    device_error,   // 200, the device's error number, no Value; device called
    invalid_value,  // 200, ErrorNumber 1025, no Value; device not called
    refused,        // 400, envelope with ErrorNumber 1025; device not called
    not_found,      // 400, text body; device not called
};

class AlpacaConformance : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, unshare(CLONE_NEWNET)) << std::strerror(errno);
        ASSERT_TRUE(loopback_up());
        ASSERT_EQ(0, start_alpaca_server());
        camera_ = AlpacaTest::make_recording_device(1, 11, "Camera under test").release();
        wheel_ = AlpacaTest::make_recording_device(4, 12, "Wheel under test").release();
        ASSERT_EQ(0, alpaca_server()->add_device(camera_));
        ASSERT_EQ(0, alpaca_server()->add_device(wheel_));
        for (Device* device : {camera_, wheel_})
            set_canned(*device, 0);
    }

    // The server's registry owns the devices.
    void TearDown() override { stop_alpaca_server(); }

    static void set_canned(Device& device, int error) {
        AlpacaTest::Canned canned;
        canned.error = error;
        canned.boolean = true;
        canned.integer = 3;
        canned.unsigned_integer = 3;
        canned.real = 1.25;
        canned.text = "2024-05-06T07:08:09.5";
        canned.strings = {"Low", "High"};
        canned.integers = {10, -20};
        canned.state = {{"Temperature", 1.5}, {"Busy", false}, {"Mode", 2}, {"Label", std::string("x")}};
        canned.frame.pixels = kPixels;
        canned.frame.width = kWidth;
        canned.frame.height = kHeight;
        canned.frame.count = kWidth * kHeight;
        AlpacaTest::recorder_of(device).set_canned(canned);
    }

    static std::string path(const Device& device, const Member& member) {
        return std::string("/api/v1/") + (device.device_type() == 1 ? "camera" : "filterwheel") + "/0/" +
               member.name;
    }

    // The device operation a member calls: get_<name> for a GET, put_<name>
    // for a PUT with a GET twin, the name itself for other PUTs.
    static std::string operation(const Member& member, const std::vector<Member>& table) {
        if (std::strcmp(member.method, "GET") == 0)
            return std::string("get_") + member.name;
        for (const Member& other : table)
            if (std::strcmp(other.method, "GET") == 0 && std::strcmp(other.name, member.name) == 0)
                return std::string("put_") + member.name;
        return member.name;
    }

    // ClientID and a fresh ClientTransactionID, then the member's parameters
    // with good texts.
    Pairs good(const Member& member) {
        Pairs pairs{{"ClientID", "7"}, {"ClientTransactionID", std::to_string(++client_transaction_)}};
        for (const Param& param : member.params)
            if (param.name != nullptr)
                pairs.emplace_back(param.name, good_text(param.kind));
        return pairs;
    }

    // Sends the request and checks the answer against the API's rules and
    // the outcome; `echo` is the ClientTransactionID the answer must carry.
    void expect(Device& device, const Member& member, const std::string& op, const Pairs& pairs,
                Outcome outcome, uint32_t echo, const std::string& accept = "") {
        expect_at(path(device, member), device, member, op, pairs, outcome, echo, accept);
    }

    void expect_at(const std::string& where, Device& device, const Member& member, const std::string& op,
                   const Pairs& pairs, Outcome outcome, uint32_t echo, const std::string& accept = "") {
        SCOPED_TRACE(std::string(member.method) + " " + where + " " + form(pairs));
        AlpacaTest::Recorder& recorder = AlpacaTest::recorder_of(device);
        recorder.clear();
        harness::HttpAnswer answer = exchange(member.method, where, pairs, accept);

        // The name is the recording device's own and never recorded.
        const bool recorded = std::strcmp(member.name, "name") != 0;
        auto calls = recorder.calls();
        if (recorded && (outcome == Outcome::ok || outcome == Outcome::device_error)) {
            EXPECT_EQ(1u, calls.size());
            if (!calls.empty()) {
                EXPECT_EQ(op, calls[0].operation);
            }
        } else {
            EXPECT_TRUE(calls.empty()) << calls[0].operation;
        }

        if (outcome == Outcome::not_found) {
            EXPECT_EQ(400, answer.status);
            EXPECT_EQ(0u, answer.body.rfind("Alpaca API route ", 0)) << answer.body;
            // The API names text/plain; the text goes without a media type.
            EXPECT_EQ("", header(answer, "content-type"));
            return;
        }
        EXPECT_EQ(outcome == Outcome::refused ? 400 : 200, answer.status);
        EXPECT_EQ(0u, header(answer, "content-type").rfind("application/json", 0));
        EXPECT_EQ("*", header(answer, "access-control-allow-origin"));

        json_error_t error;
        std::unique_ptr<json_t, decltype(&json_decref)> body(
            json_loadb(answer.body.data(), answer.body.size(), 0, &error), json_decref);
        ASSERT_TRUE(json_is_object(body.get())) << answer.body;
        const json_t* number = json_object_get(body.get(), "ErrorNumber");
        const json_t* message = json_object_get(body.get(), "ErrorMessage");
        const json_t* client = json_object_get(body.get(), "ClientTransactionID");
        const json_t* server = json_object_get(body.get(), "ServerTransactionID");
        const json_t* value = json_object_get(body.get(), "Value");
        ASSERT_TRUE(json_is_integer(number) && json_is_string(message) && json_is_integer(client) &&
                    json_is_integer(server))
            << answer.body;

        // Envelope: no other members; ids unsigned 32-bit; the server's id
        // positive and above every earlier one.
        const char* key;
        json_t* unused;
        json_object_foreach(body.get(), key, unused) {
            static const std::vector<std::string> kKeys{"ErrorNumber", "ErrorMessage", "Value",
                                                        "ClientTransactionID", "ServerTransactionID"};
            bool image_key = member.value == kImage && (!std::strcmp(key, "Type") || !std::strcmp(key, "Rank"));
            EXPECT_TRUE(image_key || std::find(kKeys.begin(), kKeys.end(), key) != kKeys.end()) << key;
        }
        EXPECT_EQ(echo, json_integer_value(client));
        json_int_t server_id = json_integer_value(server);
        EXPECT_GT(server_id, last_server_transaction_);
        EXPECT_LE(server_id, 4294967295);
        last_server_transaction_ = server_id;

        json_int_t error_number = json_integer_value(number);
        const std::string text = json_string_value(message);
        switch (outcome) {
        case Outcome::ok:
            EXPECT_EQ(0, error_number);
            EXPECT_EQ("", text);
            check_value(member, body.get(), value);
            return;
        case Outcome::device_error:
            EXPECT_EQ(1031, error_number);
            EXPECT_EQ("Not connected", text);
            break;
        default:
            EXPECT_EQ(1025, error_number);
            EXPECT_EQ("Invalid value", text);
            break;
        }
        EXPECT_EQ(nullptr, value);
        EXPECT_EQ(nullptr, json_object_get(body.get(), "Type"));
    }

    // The Value of a successful answer: present exactly when the member
    // returns one, of the kind the definition's schema gives, carrying what
    // the device returned.
    static void check_value(const Member& member, const json_t* body, const json_t* value) {
        auto int32 = [](const json_t* v) {
            return json_is_integer(v) && json_integer_value(v) >= INT32_MIN && json_integer_value(v) <= INT32_MAX;
        };
        switch (member.value) {
        case kNone:
            EXPECT_EQ(nullptr, value);
            break;
        case kBool:
            EXPECT_TRUE(json_is_true(value));
            break;
        case kInt:
            EXPECT_TRUE(int32(value));
            EXPECT_EQ(3, json_integer_value(value));
            break;
        case kNumber:
            EXPECT_TRUE(json_is_number(value));
            EXPECT_EQ(1.25, json_number_value(value));
            break;
        case kString:
            EXPECT_TRUE(json_is_string(value));
            if (std::strcmp(member.name, "name") != 0) {
                EXPECT_STREQ("2024-05-06T07:08:09.5", json_string_value(value));
            }
            break;
        case kIntArray:
            ASSERT_TRUE(json_is_array(value));
            ASSERT_EQ(2u, json_array_size(value));
            EXPECT_TRUE(int32(json_array_get(value, 0)) && int32(json_array_get(value, 1)));
            EXPECT_EQ(-20, json_integer_value(json_array_get(value, 1)));
            break;
        case kStringArray:
            ASSERT_TRUE(json_is_array(value));
            ASSERT_EQ(2u, json_array_size(value));
            EXPECT_STREQ("Low", json_string_value(json_array_get(value, 0)));
            EXPECT_STREQ("High", json_string_value(json_array_get(value, 1)));
            break;
        case kStateArray: {
            ASSERT_TRUE(json_is_array(value));
            EXPECT_EQ(4u, json_array_size(value));
            std::size_t i;
            const json_t* entry;
            json_array_foreach(value, i, entry) {
                EXPECT_EQ(2u, json_object_size(entry));
                EXPECT_TRUE(json_is_string(json_object_get(entry, "Name")));
                const json_t* v = json_object_get(entry, "Value");
                EXPECT_TRUE(json_is_string(v) || json_is_number(v) || json_is_boolean(v));
            }
            break;
        }
        case kImage: {
            // Type 2 (32-bit integers), rank 2, NumX arrays of NumY integers.
            EXPECT_EQ(2, json_integer_value(json_object_get(body, "Type")));
            EXPECT_EQ(2, json_integer_value(json_object_get(body, "Rank")));
            ASSERT_TRUE(json_is_array(value));
            ASSERT_EQ(std::size_t{kWidth}, json_array_size(value));
            std::size_t x;
            const json_t* column;
            json_array_foreach(value, x, column) {
                ASSERT_EQ(std::size_t{kHeight}, json_array_size(column));
                for (std::size_t y = 0; y < kHeight; ++y)
                    EXPECT_TRUE(int32(json_array_get(column, y)));
            }
            EXPECT_EQ(65535, json_integer_value(json_array_get(json_array_get(value, 2), 0)));
            break;
        }
        }
    }

    // Every way of sending the member: good and extra parameters, each
    // parameter missing, mistyped and mis-cased, odd ClientIDs, bad and
    // mis-cased ClientTransactionIDs, the other method.
    void walk(Device& device, const std::vector<Member>& table) {
        for (const Member& member : table) {
            const std::string op = operation(member, table);
            const bool put = std::strcmp(member.method, "PUT") == 0;
            Pairs pairs = good(member);
            expect(device, member, op, pairs, Outcome::ok, client_transaction_);
            const auto calls = AlpacaTest::recorder_of(device).calls();
            for (std::size_t p = 0; p < 2 && member.params[p].name != nullptr && calls.size() == 1; ++p) {
                ASSERT_LT(p, calls[0].arguments.size());
                EXPECT_EQ(recorded_text(member.params[p].kind), calls[0].arguments[p]) << member.name;
            }

            pairs = good(member);
            pairs.emplace_back("UnknownParameter", "1");
            expect(device, member, op, pairs, Outcome::ok, client_transaction_);

            for (std::size_t p = 0; p < 2 && member.params[p].name != nullptr; ++p) {
                const std::size_t at = 2 + p;
                pairs = good(member);
                pairs.erase(pairs.begin() + static_cast<long>(at));
                expect(device, member, op, pairs, Outcome::invalid_value, client_transaction_);
                for (const char* bad : bad_texts(member.params[p].kind)) {
                    pairs = good(member);
                    pairs[at].second = bad;
                    expect(device, member, op, pairs, Outcome::invalid_value, client_transaction_);
                }
                // Body keys are matched exactly: a mis-cased name is missing.
                pairs = good(member);
                std::transform(pairs[at].first.begin(), pairs[at].first.end(), pairs[at].first.begin(),
                               ::tolower);
                expect(device, member, op, pairs, Outcome::invalid_value, client_transaction_);
            }

            // ClientID is only informative: never a reason to refuse.
            for (const char* client_id : {"0", "-1", "abc", "4294967296", "", static_cast<const char*>(nullptr)}) {
                pairs = good(member);
                if (client_id == nullptr)
                    pairs.erase(pairs.begin());
                else
                    pairs[0].second = client_id;
                expect(device, member, op, pairs, Outcome::ok, client_transaction_);
            }
            // The highest ClientTransactionID is echoed unsigned.
            pairs = good(member);
            pairs[1].second = "4294967295";
            expect(device, member, op, pairs, Outcome::ok, 4294967295u);
            // The server requires a ClientTransactionID from 1 to 2^32-1.
            for (const char* id : {"0", "-1", "abc", "4294967296", "", static_cast<const char*>(nullptr)}) {
                pairs = good(member);
                if (id == nullptr)
                    pairs.erase(pairs.begin() + 1);
                else
                    pairs[1].second = id;
                expect(device, member, op, pairs, Outcome::refused, 0);
            }
            // Transaction keys: any case in a query, exact in a form body.
            pairs = good(member);
            pairs[0].first = "CLIENTID";
            pairs[1].first = "clienttransactionid";
            expect(device, member, op, pairs, put ? Outcome::refused : Outcome::ok,
                   put ? 0 : client_transaction_);

            // The other method, where the member has none: not found.
            const char* other = put ? "GET" : "PUT";
            if (std::none_of(table.begin(), table.end(), [&](const Member& m) {
                    return !std::strcmp(m.method, other) && !std::strcmp(m.name, member.name);
                })) {
                Member wrong = member;
                wrong.method = other;
                expect(device, wrong, op, good(member), Outcome::not_found, 0);
            }
        }
    }

    Device* camera_ = nullptr;
    Device* wheel_ = nullptr;
    uint32_t client_transaction_ = 0;
    json_int_t last_server_transaction_ = 0;
};

std::vector<Member> with_common(std::vector<Member> table) {
    table.insert(table.begin(), std::begin(kCommon), std::end(kCommon));
    return table;
}

}  // namespace

TEST_F(AlpacaConformance, CameraMembers) {
    walk(*camera_, with_common(rows(kCamera)));
}

TEST_F(AlpacaConformance, FilterWheelMembers) {
    walk(*wheel_, with_common(rows(kFilterWheel)));
}

// A device's error travels in a 200 envelope without Value, for every member.
TEST_F(AlpacaConformance, DeviceErrorsPassThrough) {
    for (Device* device : {camera_, wheel_}) {
        set_canned(*device, 1031);
        const auto table = with_common(device == camera_ ? rows(kCamera) : rows(kFilterWheel));
        for (const Member& member : table) {
            Pairs pairs = good(member);
            expect(*device, member, operation(member, table), pairs,
                   std::strcmp(member.name, "name") != 0 ? Outcome::device_error : Outcome::ok,
                   client_transaction_);
        }
    }
}

// ImageBytes on request (Accept: application/imagebytes): Content-Type, the
// 44-byte little-endian header and 16-bit elements, or the header and the
// error message when the camera fails.
TEST_F(AlpacaConformance, ImageArrayAsImageBytes) {
    const Member image{"GET", "imagearray", kImage};
    for (int error : {0, 1031}) {
        SCOPED_TRACE(error);
        set_canned(*camera_, error);
        harness::HttpAnswer answer = exchange("GET", "/api/v1/camera/0/imagearray",
                                              {{"ClientTransactionID", "4000000000"}}, "application/imagebytes");
        EXPECT_EQ(200, answer.status);
        EXPECT_EQ("application/imagebytes", header(answer, "content-type"));
        ASSERT_GE(answer.body.size(), 44u);
        // A failed download has no dimensions.
        const uint32_t expected[] = {1, static_cast<uint32_t>(error), 4000000000u, 0, 44, 8, 8, 2,
                                     error == 0 ? kWidth : 0u, error == 0 ? kHeight : 0u, 0};
        for (int field = 0; field < 11; ++field)
            if (field != 3) {
                EXPECT_EQ(expected[field], le32(answer.body, 4 * field)) << "field " << field;
            }
        EXPECT_GT(le32(answer.body, 12), static_cast<uint32_t>(last_server_transaction_));
        last_server_transaction_ = le32(answer.body, 12);
        EXPECT_EQ(error == 0 ? std::string("\x04\x00\x01\x00\x05\x00\x02\x00\xff\xff\x03\x00", 12)
                             : std::string("Not connected"),
                  answer.body.substr(44));
        EXPECT_EQ(1u, AlpacaTest::recorder_of(*camera_).calls().size());
        AlpacaTest::recorder_of(*camera_).clear();
    }
    // Refused before the camera is asked: the JSON envelope, whatever Accept says.
    expect(*camera_, image, "get_imagearray", {{"ClientTransactionID", "0"}}, Outcome::refused, 0,
           "application/imagebytes");
}

// The API requires imagearrayvariant to answer NotImplemented; this server
// has no such member and answers it as an unknown route.
TEST_F(AlpacaConformance, ImageArrayVariant) {
    const Member variant{"GET", "imagearrayvariant", kImage};
    expect(*camera_, variant, "", good(variant), Outcome::not_found, 0);
}

// The API reference's bad paths: a wrong root or version, a type or member
// that doesn't exist or is not in lower case, a device number not served.
TEST_F(AlpacaConformance, BadPaths) {
    const Member binx{"GET", "binx", kInt};
    const struct {
        const char* path;
        Outcome outcome;
    } kPaths[] = {
        {"/apii/v1/camera/0/binx", Outcome::not_found},
        {"/api/v2/camera/0/binx", Outcome::not_found},
        {"/api/v1/camera/0/canslew", Outcome::not_found},
        {"/api/v1/camera/0/BinX", Outcome::not_found},
        {"/api/v1/camera/0", Outcome::not_found},
        {"/api/v1/telescop/0/binx", Outcome::refused},
        {"/api/v1/Camera/0/binx", Outcome::refused},
        {"/api/v1/camera/1/binx", Outcome::refused},
        {"/api/v1/camera/256/binx", Outcome::refused},
        {"/api/v1/camera/-1/binx", Outcome::refused},
        {"/api/v1/camera/A/binx", Outcome::refused},
        {"/api/v1/camera/4294967296/binx", Outcome::refused},
    };
    for (const auto& bad : kPaths) {
        Pairs pairs = good(binx);
        expect_at(bad.path, *camera_, binx, "get_binx", pairs, bad.outcome,
                  bad.outcome == Outcome::refused ? client_transaction_ : 0);
    }
}

// Texts the API would not take as the type it wants but this server reads as
// C's strtod and strtol read them (listed in docs/alpaca.md), and the
// unsigned interfaceversion.
TEST_F(AlpacaConformance, LenientReadings) {
    const Member binx{"PUT", "binx", kNone, {{"BinX", kInt}}};
    const struct {
        const char* text;
        const char* argument;  // as the camera receives it; null: refused with 1025
    } kTexts[] = {
        {"2.0", "2"}, {"2abc", "2"}, {"2,5", "2"}, {" 2", "2"}, {"0x10", "16"}, {"1e1", "10"}, {"-0", "0"},
        {"2.5", nullptr},
    };
    for (const auto& row : kTexts) {
        Pairs pairs = good(binx);
        pairs[2].second = row.text;
        expect(*camera_, binx, "put_binx", pairs, row.argument ? Outcome::ok : Outcome::invalid_value,
               client_transaction_);
        const auto calls = AlpacaTest::recorder_of(*camera_).calls();
        if (row.argument != nullptr && calls.size() == 1) {
            EXPECT_EQ(std::vector<std::string>{row.argument}, calls[0].arguments) << row.text;
        }
    }
    // A transaction id with text after its digits counts by the digits.
    const Member connected{"GET", "connected", kBool};
    expect(*camera_, connected, "get_connected", {{"ClientTransactionID", "12abc"}}, Outcome::ok, 12);

    AlpacaTest::Canned canned = AlpacaTest::recorder_of(*camera_).canned();
    canned.unsigned_integer = 4294967295u;
    AlpacaTest::recorder_of(*camera_).set_canned(canned);
    harness::HttpAnswer answer =
        exchange("GET", "/api/v1/camera/0/interfaceversion", {{"ClientTransactionID", "1"}});
    EXPECT_NE(std::string::npos, answer.body.find("\"Value\":4294967295,")) << answer.body;
}
