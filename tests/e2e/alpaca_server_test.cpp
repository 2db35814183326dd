// The Alpaca HTTP server of a running daemon, spoken to over real HTTP/1.1
// inside the box: management answers byte for byte, transaction ids, the
// refusals of the parse step, not-found, and a start that fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/harness/http_client.h"
#include "tests/harness/protocol_client.h"
#include "tests/harness/test_box.h"

using namespace harness;
using namespace std::chrono_literals;

namespace {

// One request on its own connection to 127.0.0.1:8000 in the box.
HttpAnswer http(const TestBox& box, const std::string& method, const std::string& target,
                const std::string& body = "") {
    return HttpClient(8000, box.socket(AF_INET, SOCK_STREAM)).request(method, target, {}, body);
}

struct AlpacaBox {
    explicit AlpacaBox(bool take_port_first = false) : box("alpaca_enabled = 1\nverbosity = info\n") {
        if (take_port_first) {
            squatter = box.socket(AF_INET, SOCK_STREAM);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(8000);
            EXPECT_EQ(0, bind(squatter, reinterpret_cast<sockaddr*>(&at), sizeof at));
            EXPECT_EQ(0, listen(squatter, 1));
        }
        std::ofstream(box.run_path("scenario.sim")) << "";
        pid_t launcher = box.start({"--simulate", "/run/scenario.sim"});
        box.wait_exit(launcher);
        pid = box.daemon_pid().value_or(-1);
        EXPECT_TRUE(pid > 0 && eventually([&] { return box.in_main_loop(pid); })) << box.output(launcher);
    }
    ~AlpacaBox() {
        if (squatter >= 0)
            close(squatter);
    }
    TestBox box;
    pid_t pid = -1;
    int squatter = -1;
};

}  // namespace

TEST(AlpacaServer, AnswersManagementAndRefusalsOverHttp) {
    AlpacaBox running;
    ASSERT_TRUE(running.box.wait_for_log("Alpaca Server started"));

    // Every parsed request takes the next ServerTransactionID, refusals and
    // management requests included; not-found answers take none.
    struct Case {
        const char* method;
        const char* target;
        const char* body;
        int status;
        const char* expected;
    };
    const Case cases[] = {
        {"GET", "/management/apiversions?ClientTransactionID=7", "", 200,
         R"({"Value":[1],"ClientTransactionID":7,"ServerTransactionID":1,"ErrorNumber":0,"ErrorMessage":""})"},
        {"GET", "/management/v1/description?clienttransactionid=8&ClientID=3", "", 200,
         R"({"Value":{"ServerName":"Corvane ETH Adapter Alpaca Server","Manufacturer":"Corvane Instruments",)"
         R"("ManufacturerVersion":"61","Location":""},"ClientTransactionID":8,"ServerTransactionID":2,)"
         R"("ErrorNumber":0,"ErrorMessage":""})"},
        {"GET", "/management/v1/configureddevices", "", 200,
         R"({"Value":[],"ClientTransactionID":0,"ServerTransactionID":3,"ErrorNumber":0,"ErrorMessage":""})"},
        // No camera is registered: the number is beyond the devices of the type.
        {"GET", "/api/v1/camera/0/binx?ClientTransactionID=9", "", 400,
         R"({"ClientTransactionID":9,"ServerTransactionID":4,"ErrorNumber":1025,"ErrorMessage":"Invalid value"})"},
        {"GET", "/api/v1/Camera/0/binx?ClientTransactionID=10", "", 400,
         R"({"ClientTransactionID":10,"ServerTransactionID":5,"ErrorNumber":1025,"ErrorMessage":"Invalid value"})"},
        {"GET", "/api/v1/camera/0/binx", "", 400,
         R"({"ClientTransactionID":0,"ServerTransactionID":6,"ErrorNumber":1025,"ErrorMessage":"Invalid value"})"},
        {"GET", "/api/v1/camera/0/binx?ClientTransactionID=0", "", 400,
         R"({"ClientTransactionID":0,"ServerTransactionID":7,"ErrorNumber":1025,"ErrorMessage":"Invalid value"})"},
        // In a form body the key is compared exactly.
        {"PUT", "/api/v1/camera/0/binx", "clienttransactionid=11&BinX=2", 400,
         R"({"ClientTransactionID":0,"ServerTransactionID":8,"ErrorNumber":1025,"ErrorMessage":"Invalid value"})"},
        {"GET", "/foo", "", 400, "Alpaca API route /foo was not found on this driver"},
        {"PUT", "/management/apiversions", "", 400, "Alpaca API route /management/apiversions was not found on this driver"},
        {"GET", "/management/apiversions?ClientTransactionID=4294967295", "", 200,
         R"({"Value":[1],"ClientTransactionID":4294967295,"ServerTransactionID":9,"ErrorNumber":0,"ErrorMessage":""})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        HttpAnswer answer = http(running.box, c.method, c.target, c.body);
        EXPECT_EQ(c.status, answer.status) << answer.status_line;
        EXPECT_EQ(c.expected, answer.body);
        bool json = c.expected[0] == '{';
        EXPECT_EQ(json, answer.header("Access-Control-Allow-Origin") == "*");
        EXPECT_EQ(json, answer.header("Content-Type") == "application/json");
    }
}

TEST(AlpacaServer, FailedStartLeavesTheBinaryProtocolServing) {
    AlpacaBox running(true);
    EXPECT_TRUE(running.box.wait_for_log("alpaca: start failed: Error in libmicrohttpd execution (4)"));
    EXPECT_EQ(0u, running.box.count_log("Alpaca Server started"));
    ProtocolClient client(running.box);
    ASSERT_TRUE(client.connected());
    EXPECT_FALSE(client.ask(make_request(1)).empty());
}
