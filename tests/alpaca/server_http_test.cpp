// The server in this process, in a network namespace of its own, with a
// device registered but no member routes: a request that passes the parse
// step and that no route answers gets the not-found answer, not an empty 200.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "alpaca/server.h"
#include "tests/alpaca/support/recording_devices.h"
#include "tests/harness/http_client.h"

using namespace AlpacaServer;

namespace {

// Status line and body of one GET to 127.0.0.1:8000.
std::string get(const std::string& target) {
    harness::HttpAnswer answer = harness::http_request(8000, "GET", target);
    return answer.status_line + " | " + answer.body;
}

}  // namespace

TEST(AlpacaServerHttp, ParsedRequestWithoutMemberRouteIsNotFound) {
    ASSERT_TRUE(harness::own_loopback_network()) << std::strerror(errno);
    ASSERT_EQ(0, start_alpaca_server());
    ASSERT_NE(nullptr, alpaca_server());
    EXPECT_EQ(0, alpaca_server()->add_device(AlpacaTest::make_recording_device(1, 0, "Cam").release()));

    EXPECT_EQ("HTTP/1.1 400 Bad Request | Alpaca API route /api/v1/camera/0/nomember?ClientTransactionID=5 "
              "was not found on this driver",
              get("/api/v1/camera/0/nomember?ClientTransactionID=5"));
    EXPECT_EQ("HTTP/1.1 400 Bad Request | {\"ClientTransactionID\":6,\"ServerTransactionID\":2,"
              "\"ErrorNumber\":1025,\"ErrorMessage\":\"Invalid value\"}",
              get("/api/v1/camera/1/binx?ClientTransactionID=6"));
    EXPECT_EQ(0u, alpaca_server()->registry.count(4));

    stop_alpaca_server();
    EXPECT_EQ(nullptr, alpaca_server());
}
