// The connection side of a session: what ends it on a wired interface, and
// watching a client while the session is busy.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "thread/session_io.h"

namespace {

std::optional<bool> link_answer;
std::optional<bool> fake_link(int, const char* interface) {
    EXPECT_STREQ("eth0", interface);
    errno = EOPNOTSUPP;
    return link_answer;
}

class SessionIoTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair)); }
    void TearDown() override {
        set_link_query(nullptr);
        for (int sd : pair)
            if (sd >= 0)
                close(sd);
    }
    void client_sends(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(pair[1], bytes.data(), bytes.size()));
    }
    int pair[2] = {-1, -1};
};

std::vector<uint8_t> request(uint32_t command, size_t size = 20) {
    std::vector<uint8_t> bytes(size, 0);
    const uint64_t magic = REQUEST_MAGIC;
    std::memcpy(bytes.data(), &magic, 8);
    std::memcpy(bytes.data() + 12, &command, 4);
    return bytes;
}

TEST_F(SessionIoTest, OnlyALinkReportedDownEndsAWiredSession) {
    set_link_query(fake_link);
    SessionConnection connection(pair[0], {}, std::string("eth0"));
    ASSERT_TRUE(connection.link_check());
    std::vector<uint8_t> bytes;
    link_answer = std::nullopt;  // the driver can't tell (EOPNOTSUPP)
    EXPECT_EQ(SessionConnection::Event::idle, connection.next(bytes));
    EXPECT_FALSE(connection.link_lost());
    link_answer = true;
    EXPECT_EQ(SessionConnection::Event::idle, connection.next(bytes));
    link_answer = false;
    EXPECT_TRUE(connection.link_lost());
    EXPECT_EQ(SessionConnection::Event::closed, connection.next(bytes));

    SessionConnection wireless(pair[0], {}, std::string("wlan0"));
    EXPECT_FALSE(wireless.link_lost());
}

TEST_F(SessionIoTest, WatchKeepsRequestsAndSeesTheClientGo) {
    SessionConnection connection(pair[0], {}, std::string("lo"));
    EXPECT_TRUE(connection.watch(0));
    client_sends(request(TCP_CMD_IMAGEREADY));
    std::vector<uint8_t> abort = request(TCP_CMD_ABORTEXPOSURE);
    client_sends(std::vector<uint8_t>(abort.begin(), abort.begin() + 10));
    EXPECT_TRUE(connection.watch(1000));
    EXPECT_FALSE(connection.holds_request(TCP_CMD_ABORTEXPOSURE)) << "not whole yet";
    EXPECT_TRUE(connection.holds_request(TCP_CMD_IMAGEREADY));
    client_sends(std::vector<uint8_t>(abort.begin() + 10, abort.end()));
    EXPECT_TRUE(connection.watch(1000));
    EXPECT_TRUE(connection.holds_request(TCP_CMD_ABORTEXPOSURE));

    // The kept requests come out in order; then the client's close ends it.
    std::vector<uint8_t> bytes;
    ASSERT_EQ(SessionConnection::Event::request, connection.next(bytes));
    EXPECT_EQ(request(TCP_CMD_IMAGEREADY), bytes);
    close(pair[1]);
    pair[1] = -1;
    EXPECT_FALSE(connection.watch(1000));
    ASSERT_EQ(SessionConnection::Event::request, connection.next(bytes));
    EXPECT_EQ(abort, bytes);
}

}  // namespace
