// Standalone filter wheels as Alpaca devices on a running daemon, over real
// HTTP: the members of a fresh and of a connected wheel, moves and their
// refusals, sharing with binary-protocol clients, unplugging and plugging
// back in, and a move the wheel refuses.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fstream>
#include <string>

#include "tests/harness/http_client.h"
#include "tests/harness/protocol_client.h"
#include "tests/harness/test_box.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

// `text` with the value after each `key` replaced by "*": the digits of a
// number, or a quoted text that has the `shape` (d: a digit, x: a lower-case
// hex digit, any other character itself); a text of another shape stays.
std::string masked(std::string text, const std::string& key, const std::string& shape = "") {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        size_t start = at + key.size(), end = start;
        if (shape.empty()) {
            while (end < text.size() && isdigit(static_cast<unsigned char>(text[end])))
                ++end;
        } else {
            if (text.compare(start, 1, "\"") != 0 || text.size() < start + shape.size() + 2 ||
                text[start + shape.size() + 1] != '"')
                continue;
            bool fits = true;
            for (size_t i = 0; i < shape.size(); ++i) {
                char c = text[start + 1 + i];
                fits = fits && (shape[i] == 'd'   ? isdigit(static_cast<unsigned char>(c)) != 0
                                : shape[i] == 'x' ? isxdigit(static_cast<unsigned char>(c)) != 0 && !isupper(c)
                                                  : c == shape[i]);
            }
            if (!fits)
                continue;
            end = start + shape.size() + 2;
        }
        text.replace(start, end - start, "*");
    }
    return text;
}

constexpr uint32_t TCP_CMD_ENUMWHEELS = 1024;
constexpr uint32_t TCP_CMD_CONNECTWHEEL = 1025;

struct AlpacaWheelBox {
    explicit AlpacaWheelBox(const std::string& scenario) : box("alpaca_enabled = 1\nverbosity = info\n") {
        std::ofstream(box.run_path("scenario.sim")) << scenario;
        pid_t launcher = box.start({"--simulate", "/run/scenario.sim"});
        box.wait_exit(launcher);
        pid = box.daemon_pid().value_or(-1);
        EXPECT_TRUE(pid > 0 && eventually([&] { return box.in_main_loop(pid); })) << box.output(launcher);
    }

    // The answer of a member of filter wheel `number`, without its
    // ServerTransactionID (ClientTransactionID is always 1).
    std::string call(const std::string& method, int number, const std::string& member,
                     const std::string& form = "") {
        std::string target = "/api/v1/filterwheel/" + std::to_string(number) + "/" + member;
        std::string body = "ClientTransactionID=1";
        if (method == "GET")
            target += "?" + body;
        else if (!form.empty())
            body += "&" + form;
        HttpAnswer answer = HttpClient(8000, box.socket(AF_INET, SOCK_STREAM))
                                .request(method, target, {}, method == "GET" ? "" : body);
        EXPECT_EQ(200, answer.status) << method << " " << target;
        std::string body_without = masked(answer.body, R"(,"ServerTransactionID":)");
        const std::string server = R"(,"ServerTransactionID":*)";
        if (size_t at = body_without.find(server); at != std::string::npos)
            body_without.erase(at, server.size());
        return body_without;
    }
    std::string get(int number, const std::string& member) { return call("GET", number, member); }
    std::string put(int number, const std::string& member, const std::string& form = "") {
        return call("PUT", number, member, form);
    }
    int32_t position(int number) {
        std::string answer = get(number, "position");
        size_t at = answer.find(R"("Value":)");
        return at == std::string::npos ? -99 : std::stoi(answer.substr(at + 8));
    }
    bool connected(int number) { return get(number, "connected") == value("true"); }

    std::string configured() {
        HttpAnswer answer = HttpClient(8000, box.socket(AF_INET, SOCK_STREAM))
                                .request("GET", "/management/v1/configureddevices");
        return answer.body;
    }

    std::string plug(const std::string& what) {
        std::string answer = box.control("plug wheel " + what);
        EXPECT_TRUE(answer.starts_with("ok ")) << answer;
        return answer.substr(3, answer.find('\n') - 3);
    }

    static std::string value(const std::string& json) {
        return R"({"ErrorNumber":0,"ErrorMessage":"","Value":)" + json + R"(,"ClientTransactionID":1})";
    }
    static std::string done() { return R"({"ErrorNumber":0,"ErrorMessage":"","ClientTransactionID":1})"; }
    static std::string error(int number, const std::string& message) {
        return R"({"ErrorNumber":)" + std::to_string(number) + R"(,"ErrorMessage":")" + message +
               R"(","ClientTransactionID":1})";
    }

    TestBox box;
    pid_t pid = -1;
};

const std::string NOT_CONNECTED = AlpacaWheelBox::error(1031, "Not connected");
const std::string INVALID_VALUE = AlpacaWheelBox::error(1025, "Invalid value");
const std::string INVALID_OPERATION = AlpacaWheelBox::error(1035, "Invalid operation");

// "Filter 1" ... "Filter n" and n zeros, as JSON arrays.
std::string filter_names(int n) {
    std::string list = "[";
    for (int i = 1; i <= n; ++i)
        list += (i > 1 ? ",\"Filter " : "\"Filter ") + std::to_string(i) + "\"";
    return list + "]";
}
std::string zeros(int n) {
    std::string list = "[";
    for (int i = 0; i < n; ++i)
        list += i > 0 ? ",0" : "0";
    return list + "]";
}

// A binary-protocol client connected to wheel `id`; its connect status.
int32_t tcp_connect_wheel(ProtocolClient& client, uint32_t id) {
    Bytes request = make_request(TCP_CMD_CONNECTWHEEL);
    put<uint32_t>(request, 16, id);
    return get<int32_t>(client.ask(request), 16);
}

struct Case {
    const char* method;
    const char* member;
    const char* form;
    std::string expected;
};

void check(AlpacaWheelBox& wheels, int number, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.member + " " + c.form);
        EXPECT_EQ(c.expected, wheels.call(c.method, number, c.member, c.form));
    }
}

}  // namespace

TEST(AlpacaWheel, MembersMovesAndSharing) {
    AlpacaWheelBox wheels("plug wheel id=71 filters=5 filters2=7 desc=Double move_ms=1\n");
    ASSERT_TRUE(wheels.box.wait_for_log("Alpaca Server started"));
    // Taken in by the probe at start-up, and by hot-plug later.
    ASSERT_TRUE(eventually([&] { return wheels.configured().find("\"Double\"") != std::string::npos; }));
    const std::string slow = wheels.plug("id=72 filters=5 desc=Slow move_ms=60000");
    ASSERT_TRUE(eventually([&] { return wheels.configured().find("\"Slow\"") != std::string::npos; }));
    const std::string hex32(32, 'x');
    EXPECT_EQ(R"({"Value":[{"DeviceName":"Double","DeviceType":"FilterWheel","DeviceNumber":0,"UniqueID":*},)"
              R"({"DeviceName":"Slow","DeviceType":"FilterWheel","DeviceNumber":1,"UniqueID":*}],)"
              R"("ClientTransactionID":0,"ServerTransactionID":*,"ErrorNumber":0,"ErrorMessage":""})",
              masked(masked(wheels.configured(), R"("UniqueID":)", hex32), R"("ServerTransactionID":)"));

    using W = AlpacaWheelBox;
    check(wheels, 0, {
        {"GET", "connected", "", W::value("false")},
        {"GET", "connecting", "", W::value("false")},
        {"GET", "name", "", W::value(R"("Double")")},
        {"GET", "driverinfo", "",
         W::value(R"("Corvane ETH Adapter Alpaca driver\nCopyright (c) Corvane Instruments. All rights reserved.\n)"
                  R"(https://www.example.com/eth-adapter\nsupport@example.com")")},
        {"GET", "driverversion", "", W::value(R"("61")")},
        {"GET", "interfaceversion", "", W::value("3")},
        {"GET", "supportedactions", "", W::value("[]")},
        {"GET", "description", "", NOT_CONNECTED},
        {"GET", "names", "", NOT_CONNECTED},
        {"GET", "focusoffsets", "", NOT_CONNECTED},
        {"GET", "position", "", NOT_CONNECTED},
        {"PUT", "position", "Position=1", NOT_CONNECTED},
        {"PUT", "commandblind", "Command=x&Raw=false", NOT_CONNECTED},
        {"PUT", "disconnect", "", W::done()},
        {"PUT", "connected", "Connected=true", W::done()},
        {"PUT", "connect", "", W::done()},
        {"GET", "connected", "", W::value("true")},
        {"GET", "description", "", W::value(R"("Double, Id: 71")")},
        {"GET", "names", "", W::value(filter_names(11))},
        {"GET", "focusoffsets", "", W::value(zeros(11))},
        {"GET", "position", "", W::value("0")},
        {"PUT", "commandblind", "Command=x&Raw=false", W::error(1024, "Not implemented")},
        {"PUT", "position", "Position=-1", INVALID_VALUE},
        {"PUT", "position", "Position=11", INVALID_VALUE},
        {"PUT", "position", "Position=10", W::done()},
    });
    // The last position of a 5+7 wheel is the second wheel's seventh filter.
    EXPECT_TRUE(eventually([&] { return wheels.position(0) == 10; }));
    EXPECT_NE(wheels.box.control("list").find("position=0,6"), std::string::npos) << wheels.box.control("list");

    // Held by the Alpaca server: a binary-protocol client is refused, and
    // only the other wheel is listed to it.
    {
        ProtocolClient client(wheels.box);
        EXPECT_EQ(1u, get<uint32_t>(client.ask(make_request(TCP_CMD_ENUMWHEELS)), 20));
        ProtocolClient refused(wheels.box);
        EXPECT_EQ(-1, tcp_connect_wheel(refused, 71));
    }
    // Held by a binary-protocol client: Alpaca is refused until it goes.
    {
        ProtocolClient holder(wheels.box);
        ASSERT_EQ(0, tcp_connect_wheel(holder, 72));
        EXPECT_EQ(INVALID_OPERATION, wheels.put(1, "connected", "Connected=true"));
        EXPECT_EQ(W::value("false"), wheels.get(1, "connected"));
    }
    ASSERT_TRUE(eventually([&] { return wheels.put(1, "connected", "Connected=true") == W::done(); }));

    // A move of the slow wheel takes a minute: moving until it is unplugged.
    check(wheels, 1, {
        {"GET", "names", "", W::value(filter_names(5))},
        {"PUT", "position", "Position=3", W::done()},
        {"GET", "position", "", W::value("-1")},
        {"PUT", "position", "Position=2", INVALID_VALUE},
        {"PUT", "position", "Position=3", INVALID_VALUE},
    });
    EXPECT_EQ(R"({"ErrorNumber":0,"ErrorMessage":"","Value":[{"Name":"Position","Value":-1},)"
              R"({"Name":"TimeStamp","Value":*}],"ClientTransactionID":1})",
              masked(wheels.get(1, "devicestate"), R"("TimeStamp","Value":)", "dddd-dd-ddTdd:dd:dd.dddZ"));

    // Unplugged mid-move: the move fails and the position is where it was;
    // the device stays, answering 1031.
    ASSERT_EQ("ok\n", wheels.box.control("unplug " + slow));
    EXPECT_TRUE(wheels.box.wait_for_log("Wheel id 72: move to position 3 failed"));
    check(wheels, 1, {
        {"GET", "connected", "", W::value("false")},
        {"GET", "names", "", NOT_CONNECTED},
        {"GET", "position", "", NOT_CONNECTED},
        {"PUT", "position", "Position=1", NOT_CONNECTED},
        {"GET", "name", "", W::value(R"("Slow")")},
    });
    EXPECT_NE(wheels.configured().find("\"Slow\""), std::string::npos);

    // Back again, still held by the Alpaca server: works where it left off.
    wheels.plug("id=72 filters=5 desc=Slow move_ms=1");
    ASSERT_TRUE(eventually([&] { return wheels.connected(1); }));
    EXPECT_EQ(W::value("0"), wheels.get(1, "position"));
    EXPECT_EQ(W::done(), wheels.put(1, "position", "Position=4"));
    EXPECT_TRUE(eventually([&] { return wheels.position(1) == 4; }));
    {
        ProtocolClient refused(wheels.box);
        EXPECT_EQ(-1, tcp_connect_wheel(refused, 72));
    }
    EXPECT_EQ(W::done(), wheels.put(1, "connected", "Connected=false"));
    ProtocolClient holder(wheels.box);
    EXPECT_EQ(0, tcp_connect_wheel(holder, 72));
}

TEST(AlpacaWheel, ReplugIntoAnotherRecordAndRefusedMove) {
    AlpacaWheelBox wheels("");
    ASSERT_TRUE(wheels.box.wait_for_log("Alpaca Server started"));
    const std::string first = wheels.plug("id=81 desc=First move_ms=1");
    ASSERT_TRUE(eventually([&] { return wheels.configured().find("\"First\"") != std::string::npos; }));

    // Unplugged while nobody holds it, its record is free and the next
    // wheel takes it; back again, the first wheel lands in another record.
    ASSERT_EQ("ok\n", wheels.box.control("unplug " + first));
    ASSERT_TRUE(wheels.box.wait_for_log("Wheel " + first + " removed."));
    wheels.plug("id=82 desc=Second move_ms=1");
    ASSERT_TRUE(eventually([&] { return wheels.configured().find("\"Second\"") != std::string::npos; }));
    EXPECT_EQ(NOT_CONNECTED, wheels.put(0, "connected", "Connected=true"));
    const std::string again = wheels.plug("id=81 desc=First move_ms=1");
    ASSERT_TRUE(eventually([&] {
        ProtocolClient client(wheels.box);
        return get<uint32_t>(client.ask(make_request(TCP_CMD_ENUMWHEELS)), 20) == 2;
    }));

    using W = AlpacaWheelBox;
    for (int number : {0, 1})
        EXPECT_EQ(W::done(), wheels.put(number, "connected", "Connected=true")) << number;
    EXPECT_EQ(W::value(R"("First, Id: 81")"), wheels.get(0, "description"));
    EXPECT_EQ(W::value(R"("Second, Id: 82")"), wheels.get(1, "description"));

    // The wheel refuses the move: logged, and the position stays.
    EXPECT_EQ("ok\n", wheels.box.control("fault " + again + " status 0x11 0x81 count=1"));
    EXPECT_EQ(W::done(), wheels.put(0, "position", "Position=2"));
    ASSERT_TRUE(eventually([&] { return wheels.position(0) != -1; }));
    EXPECT_EQ(0, wheels.position(0));
    EXPECT_TRUE(wheels.box.wait_for_log("Wheel id 81: move to position 2 failed"));
    EXPECT_EQ(W::done(), wheels.put(0, "position", "Position=2"));
    EXPECT_TRUE(eventually([&] { return wheels.position(0) == 2; }));
}
