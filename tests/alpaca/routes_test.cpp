// Every member route of every device type over HTTP, against recording
// devices: names, parameters and their kinds, refusals that never reach the
// device, Value encodings and error numbers. The expected rows are written
// down here from the Alpaca member lists, independently of the route tables;
// the operation a row must call follows the naming rule (get_/put_ prefix).
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "alpaca/envelope.h"
#include "alpaca/routes/route.h"
#include "alpaca/server.h"
#include "alpaca/types.h"
#include "tests/alpaca/support/recording_devices.h"
#include "tests/harness/http_client.h"

using namespace AlpacaServer;
using AlpacaTest::Canned;
using AlpacaTest::recorder_of;

namespace {

// Members every type answers, then each type's own: "METHOD member
// [Param:kind ...] [value kind]".
const char* const kCommon = R"(
GET connected boolean
PUT connected Connected:bool
GET connecting boolean
GET description string
GET devicestate devicestate
GET driverinfo string
GET driverversion string
GET interfaceversion unsigned
GET name string
GET supportedactions strings
PUT action Action:text Parameters:text string
PUT commandblind Command:text Raw:bool
PUT commandbool Command:text Raw:bool boolean
PUT commandstring Command:text Raw:bool string
PUT connect
PUT disconnect)";

const std::map<int, const char*> kTypes = {
    {1, R"(
GET bayeroffsetx integer
GET bayeroffsety integer
GET binx integer
PUT binx BinX:int
GET biny integer
PUT biny BinY:int
GET camerastate integer
GET cameraxsize integer
GET cameraysize integer
GET canabortexposure boolean
GET canasymmetricbin boolean
GET canfastreadout boolean
GET cangetcoolerpower boolean
GET canpulseguide boolean
GET cansetccdtemperature boolean
GET canstopexposure boolean
GET ccdtemperature real
GET cooleron boolean
PUT cooleron CoolerOn:bool
GET coolerpower real
GET electronsperadu real
GET exposuremax real
GET exposuremin real
GET exposureresolution real
GET fastreadout boolean
PUT fastreadout FastReadout:bool
GET fullwellcapacity real
GET gain integer
PUT gain Gain:int
GET gainmax integer
GET gainmin integer
GET gains strings
GET hasshutter boolean
GET heatsinktemperature real
GET imagearray image
GET imageready boolean
GET ispulseguiding boolean
GET lastexposureduration real
GET lastexposurestarttime string
GET maxadu integer
GET maxbinx integer
GET maxbiny integer
GET numx integer
PUT numx NumX:int
GET numy integer
PUT numy NumY:int
GET offset integer
PUT offset Offset:int
GET offsetmax integer
GET offsetmin integer
GET offsets strings
GET percentcompleted integer
GET pixelsizex real
GET pixelsizey real
GET readoutmode integer
PUT readoutmode ReadoutMode:int
GET readoutmodes strings
GET sensorname string
GET sensortype integer
GET setccdtemperature real
PUT setccdtemperature SetCCDTemperature:number
GET startx integer
PUT startx StartX:int
GET starty integer
PUT starty StartY:int
GET subexposureduration real
PUT subexposureduration SubExposureDuration:number
PUT abortexposure
PUT pulseguide Direction:int Duration:int
PUT startexposure Duration:number Light:bool
PUT stopexposure)"},
    {2, R"(
GET brightness unsigned
GET calibratorchanging boolean
GET calibratorstate integer
GET covermoving boolean
GET coverstate integer
GET maxbrightness unsigned
PUT calibratoroff
PUT calibratoron Brightness:int
PUT closecover
PUT opencover
PUT haltcover)"},
    {3, R"(
GET altitude real
GET athome boolean
GET atpark boolean
GET azimuth real
GET canfindhome boolean
GET canpark boolean
GET cansetaltitude boolean
GET cansetazimuth boolean
GET cansetpark boolean
GET cansetshutter boolean
GET canslave boolean
GET cansyncazimuth boolean
GET shutterstatus integer
GET slaved boolean
PUT slaved Slaved:bool
GET slewing boolean
PUT abortslew
PUT closeshutter
PUT findhome
PUT openshutter
PUT park
PUT setpark
PUT slewtoaltitude Altitude:number
PUT slewtoazimuth Azimuth:number
PUT synctoazimuth Azimuth:number)"},
    {4, R"(
GET focusoffsets integers
GET names strings
GET position integer
PUT position Position:int)"},
    {5, R"(
GET absolute boolean
GET ismoving boolean
GET maxincrement integer
GET maxstep integer
GET position integer
GET stepsize integer
GET tempcomp boolean
PUT tempcomp TempComp:bool
GET tempcompavailable boolean
GET temperature real
PUT halt
PUT move Position:int)"},
    {6, R"(
GET averageperiod real
PUT averageperiod AveragePeriod:number
GET cloudcover real
GET dewpoint real
GET humidity real
GET pressure real
GET rainrate real
GET skybrightness real
GET skyquality real
GET skytemperature real
GET starfwhm real
GET temperature real
GET winddirection real
GET windgust real
GET windspeed real
PUT refresh
GET sensordescription SensorName:text string
GET timesincelastupdate real)"},
    {7, R"(
GET canreverse boolean
GET ismoving boolean
GET mechanicalposition real
GET position real
GET reverse boolean
PUT reverse Reverse:bool
GET stepsize real
GET targetposition real
PUT halt
PUT move Position:number
PUT moveabsolute Position:number
PUT movemechanical Position:number
PUT sync Position:number)"},
    {8, R"(
GET issafe boolean)"},
    {9, R"(
GET maxswitch integer
GET canasync Id:int boolean
GET canwrite Id:int boolean
GET getswitch Id:int boolean
GET getswitchdescription Id:int string
GET getswitchname Id:int string
GET getswitchvalue Id:int real
GET minswitchvalue Id:int real
GET maxswitchvalue Id:int real
PUT setasync Id:int State:bool
PUT setasyncvalue Id:int Value:number
PUT setswitch Id:int State:bool
PUT setswitchname Id:int Name:text
PUT setswitchvalue Id:int Value:number
GET statechangecomplete Id:int boolean
GET switchstep Id:int real)"},
    {10, R"(
GET alignmentmode integer
GET altitude real
GET aperturearea real
GET aperturediameter real
GET athome boolean
GET atpark boolean
GET azimuth real
GET canfindhome boolean
GET canpark boolean
GET canpulseguide boolean
GET cansetdeclinationrate boolean
GET cansetguiderates boolean
GET cansetpark boolean
GET cansetpierside boolean
GET cansetrightascensionrate boolean
GET cansettracking boolean
GET canslew boolean
GET canslewaltaz boolean
GET canslewaltazasync boolean
GET canslewasync boolean
GET cansync boolean
GET cansyncaltaz boolean
GET canunpark boolean
GET declination real
GET declinationrate real
PUT declinationrate DeclinationRate:number
GET doesrefraction boolean
PUT doesrefraction DoesRefraction:bool
GET equatorialsystem integer
GET focallength real
GET guideratedeclination real
PUT guideratedeclination GuideRateDeclination:number
GET guideraterightascension real
PUT guideraterightascension GuideRateRightAscension:number
GET ispulseguiding boolean
GET rightascension real
GET rightascensionrate real
PUT rightascensionrate RightAscensionRate:number
GET sideofpier integer
PUT sideofpier SideOfPier:int
GET siderealtime real
GET siteelevation real
PUT siteelevation SiteElevation:number
GET sitelatitude real
PUT sitelatitude SiteLatitude:number
GET sitelongitude real
PUT sitelongitude SiteLongitude:number
GET slewing boolean
GET slewsettletime integer
PUT slewsettletime SlewSettleTime:int
GET targetdeclination real
PUT targetdeclination TargetDeclination:number
GET targetrightascension real
PUT targetrightascension TargetRightAscension:number
GET tracking boolean
PUT tracking Tracking:bool
GET trackingrate integer
PUT trackingrate TrackingRate:int
GET trackingrates integers
GET utcdate string
PUT utcdate UTCDate:text
PUT abortslew
GET axisrates Axis:int axisrates
GET canmoveaxis Axis:int boolean
GET destinationsideofpier RightAscension:number Declination:number integer
PUT findhome
PUT moveaxis Axis:int Rate:number
PUT park
PUT pulseguide Direction:int Duration:truncated
PUT setpark
PUT slewtoaltazasync Altitude:number Azimuth:number
PUT slewtocoordinatesasync RightAscension:number Declination:number
PUT slewtotargetasync
PUT synctoaltaz Altitude:number Azimuth:number
PUT synctocoordinates RightAscension:number Declination:number
PUT synctotarget
PUT unpark)"},
};

struct Param {
    std::string name, kind;
};

struct Row {
    std::string method, member, value;  // value "" for none
    std::vector<Param> params;
    std::string operation;  // by the naming rule
};

std::vector<Row> rows_of(const char* text) {
    std::vector<Row> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        Row row;
        if (!(words >> row.method >> row.member))
            continue;
        for (std::string word; words >> word;) {
            const size_t colon = word.find(':');
            if (colon == std::string::npos)
                row.value = word;
            else
                row.params.push_back({word.substr(0, colon), word.substr(colon + 1)});
        }
        rows.push_back(row);
    }
    // get_ and put_ for members with a GET twin; others keep the member name.
    std::set<std::string> getters;
    for (const Row& row : rows)
        if (row.method == "GET")
            getters.insert(row.member);
    for (Row& row : rows) {
        if (row.method == "GET")
            row.operation = row.member.rfind("get", 0) == 0 ? row.member : "get_" + row.member;
        else
            row.operation = getters.count(row.member) ? "put_" + row.member : row.member;
    }
    return rows;
}

// A good request value of each kind and how the device receives it.
const std::map<std::string, std::pair<std::string, std::string>> kGood = {
    {"bool", {"True", "true"}},    {"int", {"-3", "-3"}},          {"number", {"2.5", "2.5"}},
    {"text", {"hello", "hello"}}, {"truncated", {"-2.9", "-2"}},
};
// A value of the wrong kind for each kind.
const std::map<std::string, std::string> kMistyped = {
    {"bool", "1"}, {"int", "1.5"}, {"number", "abc"}, {"text", "12"}, {"truncated", "abc"},
};
// The Value answered from the default canned values, by value kind.
const std::map<std::string, std::string> kValues = {
    {"boolean", "true"},
    {"integer", "7"},
    {"unsigned", "7"},
    {"real", "1.5"},
    {"string", "\"text\""},
    {"strings", "[\"a\",\"b\"]"},
    {"integers", "[1,-2]"},
    {"devicestate", "[{\"Name\":\"a\",\"Value\":true},{\"Name\":\"b\",\"Value\":1}]"},
    {"axisrates", "[{\"Minimum\":0.5,\"Maximum\":1.5}]"},
};

// One server with a recording device of every type (number 0 of each).
class AlpacaRoutes : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(harness::own_loopback_network());
        ASSERT_EQ(0, start_alpaca_server());
        for (int type = 1; type <= 10; ++type)
            ASSERT_EQ(0, alpaca_server()->add_device(
                             AlpacaTest::make_recording_device(type, 100 + type, "Device " + std::to_string(type))
                                 .release()));
    }
    static void TearDownTestSuite() { stop_alpaca_server(); }

    static Device& device(int type) { return *alpaca_server()->registry.find(type, 0); }

    // The answer to `method` on member of device 0 of `type` with the given
    // parameters (query for GET, form body for PUT) and transaction id.
    static harness::HttpAnswer ask(int type, const std::string& method, const std::string& member,
                                   std::vector<std::pair<std::string, std::string>> params,
                                   const harness::HttpHeaders& headers = {}) {
        std::string form = "ClientTransactionID=" + std::to_string(++client_id_);
        for (const auto& [name, value] : params)
            form += "&" + name + "=" + value;
        std::string target = std::string("/api/v1/") + device_type_name(type) + "/0/" + member;
        if (method == "GET")
            return harness::http_request(8000, method, target + "?" + form, headers);
        return harness::http_request(8000, method, target, headers, form);
    }

    // The envelope of an answer, checked for its frame: status 200, the
    // members in order, the transaction ids echoed and growing.
    static json_t* envelope(const harness::HttpAnswer& answer, std::string& value_text, int& error) {
        EXPECT_EQ(200, answer.status);
        EXPECT_EQ("*", answer.header("Access-Control-Allow-Origin").value_or(""));
        EXPECT_EQ("application/json", answer.header("Content-Type").value_or(""));
        json_t* body = json_loads(answer.body.c_str(), 0, nullptr);
        EXPECT_NE(nullptr, body) << answer.body;
        if (body == nullptr)
            return nullptr;
        std::vector<std::string> keys;
        for (void* it = json_object_iter(body); it != nullptr; it = json_object_iter_next(body, it))
            keys.push_back(json_object_iter_key(it));
        error = static_cast<int>(json_integer_value(json_object_get(body, "ErrorNumber")));
        const json_t* value = json_object_get(body, "Value");
        value_text.clear();
        if (char* text = value != nullptr ? json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY) : nullptr) {
            value_text = text;
            free(text);
        }
        std::vector<std::string> expected = {"ErrorNumber", "ErrorMessage"};
        if (json_object_get(body, "Type") != nullptr)  // an image
            expected.insert(expected.end(), {"Type", "Rank"});
        if (value != nullptr)
            expected.push_back("Value");
        expected.insert(expected.end(), {"ClientTransactionID", "ServerTransactionID"});
        EXPECT_EQ(expected, keys) << answer.body;
        EXPECT_EQ(client_id_, json_integer_value(json_object_get(body, "ClientTransactionID")));
        const json_int_t server_id = json_integer_value(json_object_get(body, "ServerTransactionID"));
        EXPECT_GT(server_id, last_server_id_);
        last_server_id_ = server_id;
        return body;
    }

    // Value text and error number of one member answer.
    static std::pair<std::string, int> value_of(const harness::HttpAnswer& answer) {
        std::string value;
        int error = -1;
        json_decref(envelope(answer, value, error));
        return {value, error};
    }

    static inline json_int_t client_id_ = 0;
    static inline json_int_t last_server_id_ = 0;
};

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words)
        out += (out.empty() ? "" : ",") + word;
    return out;
}

TEST_F(AlpacaRoutes, EveryRowCallsItsOperationWithItsParametersAndEncodesItsValue) {
    for (const auto& [type, text] : kTypes) {
        std::vector<Row> rows = rows_of(kCommon);
        for (const Row& row : rows_of(text))
            rows.push_back(row);
        EXPECT_EQ(rows.size(), common_routes().size() + route_table(type).routes.size())
            << "rows of " << device_type_name(type);
        AlpacaTest::Recorder& recorder = recorder_of(device(type));
        for (const Row& row : rows) {
            if (row.value == "image")
                continue;  // its own test
            SCOPED_TRACE(std::string(device_type_name(type)) + " " + row.method + " " + row.member);
            std::vector<std::pair<std::string, std::string>> good;
            std::vector<std::string> received;
            for (const Param& param : row.params) {
                good.emplace_back(param.name, kGood.at(param.kind).first);
                received.push_back(kGood.at(param.kind).second);
            }
            if (row.value == "string")
                received.push_back(row.member == "getswitchdescription" ? "size=512" : "size=4096");

            recorder.set_canned(Canned{});
            recorder.clear();
            auto [value, error] = value_of(ask(type, row.method, row.member, good));
            EXPECT_EQ(0, error);
            if (row.member == "name") {  // the device's own, never recorded
                EXPECT_EQ("\"Device " + std::to_string(type) + "\"", value);
                continue;
            }
            EXPECT_EQ(row.value.empty() ? "" : kValues.at(row.value), value);
            const std::vector<AlpacaTest::Call> calls = recorder.calls();
            ASSERT_EQ(1u, calls.size());
            EXPECT_EQ(row.operation, calls[0].operation);
            EXPECT_EQ(joined(received), joined(calls[0].arguments));

            // Missing or mistyped: 1025, and the device never hears of it.
            for (size_t i = 0; i < row.params.size(); ++i) {
                auto missing = good, mistyped = good;
                missing.erase(missing.begin() + static_cast<long>(i));
                mistyped[i].second = kMistyped.at(row.params[i].kind);
                for (const auto& params : {missing, mistyped})
                    EXPECT_EQ(1025, value_of(ask(type, row.method, row.member, params)).second);
            }
            // Parameter names are matched exactly in a form body.
            if (row.method == "PUT" && !row.params.empty()) {
                auto lower = good;
                for (char& c : lower[0].first)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (lower[0].first != good[0].first) {
                    EXPECT_EQ(1025, value_of(ask(type, row.method, row.member, lower)).second);
                }
            }
            EXPECT_EQ(1u, recorder.calls().size());

            // A failed operation: its number (1025 for the mount's plain
            // getters, whatever it said) and no Value.
            Canned failing;
            failing.error = 1031;
            recorder.set_canned(failing);
            const bool mount_getter = type == 10 && row.method == "GET" && row.params.empty();
            EXPECT_EQ(std::make_pair(std::string(), mount_getter ? 1025 : 1031),
                      value_of(ask(type, row.method, row.member, good)));
        }
        recorder.set_canned(Canned{});
    }
}

TEST_F(AlpacaRoutes, ValuesAtTheirLimitsAndTheMembersWithRulesOfTheirOwn) {
    struct Case {
        int type;
        std::string method, member;
        std::vector<std::pair<std::string, std::string>> params;
        Canned canned;
        std::string value;  // answered Value ("" for none)
        int error;
        std::string received;  // arguments the device got; "-" when it was not called
    };
    Canned all_bits;
    all_bits.unsigned_integer = 0xFFFFFFFFu;
    all_bits.integer = -1;
    Canned empty_text;
    empty_text.text = "";
    Canned not_a_number;
    not_a_number.real = std::nan("");
    Canned bad_utf8;
    bad_utf8.text = "a\xff" "b";
    Canned long_text;
    long_text.text = std::string(5000, 'x');
    const Case cases[] = {
        {1, "GET", "interfaceversion", {}, all_bits, "4294967295", 0, ""},
        {1, "GET", "gain", {}, all_bits, "-1", 0, ""},
        {2, "GET", "maxbrightness", {}, all_bits, "4294967295", 0, ""},
        {1, "GET", "sensorname", {}, empty_text, "\"\"", 0, "size=4096"},
        {1, "GET", "ccdtemperature", {}, not_a_number, "", 0x500, ""},
        {1, "GET", "name", {}, {}, "\"Device 1\"", 0, "-"},
        {9, "GET", "getswitchname", {{"Id", "1"}}, bad_utf8, "\"a\xEF\xBF\xBD" "b\"", 0, "1,size=4096"},
        {9, "GET", "getswitchdescription", {{"Id", "1"}}, long_text, "\"" + std::string(511, 'x') + "\"", 0,
         "1,size=512"},
        {10, "PUT", "sideofpier", {{"SideOfPier", "-1"}}, {}, "", 1025, "-"},
        {10, "PUT", "sideofpier", {{"SideOfPier", "0"}}, {}, "", 0, "0"},
        {10, "PUT", "pulseguide", {{"Direction", "2"}, {"Duration", "1e12"}}, {}, "", 0, "2,-2147483648"},
        {10, "PUT", "pulseguide", {{"Direction", "2"}, {"Duration", "3.99"}}, {}, "", 0, "2,3"},
        {1, "PUT", "pulseguide", {{"Direction", "2"}, {"Duration", "3.5"}}, {}, "", 1025, "-"},
        {1, "PUT", "binx", {{"BinX", "2147483648"}}, {}, "", 1025, "-"},
        {1, "PUT", "binx", {{"BinX", "-2147483648"}}, {}, "", 0, "-2147483648"},
        {1, "PUT", "binx", {{"BinX", "2.0"}}, {}, "", 0, "2"},
        {1, "PUT", "connected", {{"Connected", "1"}}, {}, "", 1025, "-"},
        {1, "PUT", "startexposure", {{"Duration", "2"}, {"Light", "false"}}, {}, "", 0, "2,false"},
        {1, "PUT", "startexposure", {{"Duration", "2"}}, {}, "", 1025, "-"},
        {4, "PUT", "position", {{"Position", "3"}, {"Extra", "x"}}, {}, "", 0, "3"},
        {4, "PUT", "position", {{"Position", "abc"}}, {}, "", 1025, "-"},
        {6, "GET", "sensordescription", {{"SensorName", "Humidity"}}, {}, "\"text\"", 0, "Humidity,size=4096"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " " + c.member);
        AlpacaTest::Recorder& recorder = recorder_of(device(c.type));
        recorder.set_canned(c.canned);
        recorder.clear();
        EXPECT_EQ(std::make_pair(c.value, c.error), value_of(ask(c.type, c.method, c.member, c.params)));
        const std::vector<AlpacaTest::Call> calls = recorder.calls();
        EXPECT_EQ(c.received, calls.empty() ? "-" : joined(calls[0].arguments));
        recorder.set_canned(Canned{});
    }
}

TEST_F(AlpacaRoutes, RequestsNoRowAnswersAreNotFound) {
    const std::pair<std::string, std::string> requests[] = {
        {"PUT", "/api/v1/camera/0/gains"},             // GET-only member
        {"GET", "/api/v1/camera/0/startexposure"},     // PUT-only member
        {"GET", "/api/v1/camera/0/position"},          // another type's member
        {"GET", "/api/v1/camera/00/binx"},             // number written otherwise
        {"GET", "/api/v1/camera/0/binx/more"},
        {"DELETE", "/api/v1/camera/0/binx"},
    };
    for (const auto& [method, target] : requests) {
        const harness::HttpAnswer answer = harness::http_request(8000, method, target + "?ClientTransactionID=1");
        EXPECT_EQ(400, answer.status) << method << " " << target;
        EXPECT_EQ("Alpaca API route " + target + "?ClientTransactionID=1 was not found on this driver", answer.body);
    }
}

TEST_F(AlpacaRoutes, ImageArrayInBothFormsChosenByAccept) {
    // Rows (a b), (c d), (e f) go out as e c a f d b; 0x1234 little-endian.
    static const uint16_t frame[] = {0x1234, 2, 3, 4, 5, 65535};
    Canned canned;
    canned.frame = FrameView{frame, 2, 3, nullptr, 6};
    AlpacaTest::Recorder& recorder = recorder_of(device(1));
    recorder.set_canned(canned);

    const std::string elements("\x05\x00\x03\x00\x34\x12\xff\xff\x04\x00\x02\x00", 12);
    struct Case {
        harness::HttpHeaders headers;
        bool binary;
    };
    const Case cases[] = {
        {{{"Accept", "application/imagebytes"}}, true},
        {{{"accept", "application/imagebytes, application/json"}}, true},
        {{{"Accept", "application/json"}}, false},
        {{{"Accept", "*/*"}}, false},
        {{}, false},
    };
    for (const Case& c : cases) {
        const harness::HttpAnswer answer = ask(1, "GET", "imagearray", {}, c.headers);
        EXPECT_EQ(200, answer.status);
        EXPECT_EQ("*", answer.header("Access-Control-Allow-Origin").value_or(""));
        if (c.binary) {
            EXPECT_EQ("application/imagebytes", answer.header("Content-Type").value_or(""));
            ASSERT_EQ(44u + 12u, answer.body.size());
            uint32_t header[11];
            std::memcpy(header, answer.body.data(), sizeof header);
            const uint32_t expected[11] = {1, 0, static_cast<uint32_t>(client_id_), header[3], 44, 8, 8, 2, 2, 3, 0};
            EXPECT_EQ(0, std::memcmp(expected, header, sizeof header));
            EXPECT_EQ(elements, answer.body.substr(44));
        } else {
            std::string value;
            int error = -1;
            json_t* body = envelope(answer, value, error);
            EXPECT_EQ("[[5,3,4660],[65535,4,2]]", value);
            EXPECT_EQ(2, json_integer_value(json_object_get(body, "Type")));
            json_decref(body);
        }
    }

    // A failing camera, and one that hands out fewer pixels than its size.
    Canned failing;
    failing.error = 1031;
    Canned short_frame;
    short_frame.frame = FrameView{frame, 2, 3, nullptr, 5};
    for (const auto& [canned_answer, message] : {std::pair{failing, "Not connected"}, {short_frame, "Unknown error"}}) {
        recorder.set_canned(canned_answer);
        const harness::HttpAnswer answer = ask(1, "GET", "imagearray", {}, {{"Accept", "application/imagebytes"}});
        EXPECT_EQ(200, answer.status);
        ASSERT_EQ(44u + std::strlen(message), answer.body.size());
        EXPECT_EQ(message, answer.body.substr(44));
        const auto [value, error] = value_of(ask(1, "GET", "imagearray", {}));
        EXPECT_EQ(canned_answer.error == 0 ? 0x500 : 1031, error);
        EXPECT_EQ("", value);
    }
    recorder.set_canned(Canned{});
}

}  // namespace

namespace {

// A TCP socket bound to `address`, connected to port 8000 of 127.0.0.1
// unless `connected` is false; -1 on failure.
int socket_from(const char* address, bool connected = true) {
    int sd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, address, &from.sin_addr);
    to.sin_port = htons(8000);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        (connected && connect(sd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)) {
        close(sd);
        return -1;
    }
    return sd;
}

}  // namespace

// Silent connections from one address can't lock the other clients out,
// and a body far beyond any form is cut instead of kept.
TEST_F(AlpacaRoutes, ClientsCannotHoldTheServersResources) {
    // From an address of its own: its connection may linger in the
    // server's count after the answer.
    harness::HttpClient patient(8000, socket_from("127.0.0.3", false), false, std::chrono::seconds(60));
    const harness::HttpAnswer padded = patient.request(
        "PUT", "/api/v1/camera/0/binx", {}, "ClientTransactionID=1&BinX=2&Pad=" + std::string(1 << 20, 'x'));
    EXPECT_EQ(200, padded.status) << "a padded body";

    std::vector<int> silent;
    for (int i = 0; i < 64; ++i)
        silent.push_back(socket_from("127.0.0.1"));
    harness::HttpClient over_limit(8000, socket_from("127.0.0.1", false), false, std::chrono::seconds(30));
    EXPECT_EQ(0, over_limit.request("GET", "/management/apiversions").status) << "a 65th connection";
    harness::HttpClient other_host(8000, socket_from("127.0.0.2", false), false, std::chrono::seconds(30));
    EXPECT_EQ(200, other_host.request("GET", "/management/apiversions").status) << "another address";
    for (int sd : silent)
        close(sd);
}
