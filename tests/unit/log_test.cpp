// log_message: threshold, sinks and errno.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "common/config.h"
#include "common/log.h"
#include "tests/unit/support.h"

namespace {

enum class Stream { err, out };

// Runs `action` with the stderr or stdout stream writing, unbuffered as
// stderr is, to a SOCK_SEQPACKET socket, and returns what arrived there, one
// element per write(): a message split over several writes shows up as
// several elements. The stream is restored before returning. Descriptors 1
// and 2 are left alone, so test failures and sanitizer reports show as usual.
std::vector<std::string> writes_to(Stream which, const std::function<void()>& action) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
        throw std::runtime_error("socketpair failed");
    FILE* capture = fdopen(pair[1], "w");
    setvbuf(capture, nullptr, _IONBF, 0);
    FILE*& stream = which == Stream::err ? stderr : stdout;
    FILE* saved = stream;
    fflush(saved);
    stream = capture;
    action();
    stream = saved;
    fclose(capture);

    std::vector<std::string> records;
    std::vector<char> buffer(1 << 16);
    for (ssize_t length; (length = recv(pair[0], buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;)
        records.emplace_back(buffer.data(), static_cast<size_t>(length));
    close(pair[0]);
    return records;
}

class LogSinks : public ::testing::Test {
protected:
    void SetUp() override { saved_sinks_ = log_sinks; }
    void TearDown() override {
        log_sinks = saved_sinks_;
        free_config();
    }

private:
    int saved_sinks_ = 0;
};

TEST_F(LogSinks, EachSinkGetsTheMessageAndNewlineInOneWrite) {
    // Around the boundary of the stack buffer, and well beyond it.
    for (size_t length : {0ul, 1ul, 509ul, 510ul, 511ul, 512ul, 513ul, 5000ul}) {
        const std::string text(length, 'm');
        for (Stream stream : {Stream::err, Stream::out}) {
            log_sinks = stream == Stream::err ? LOG_SINK_STDERR : LOG_SINK_STDOUT;
            auto records = writes_to(stream, [&] { log_message(LOG_ERR, "%s|%d|%s", text.c_str(), 42, "end"); });
            const char* name = stream == Stream::err ? "stderr" : "stdout";
            ASSERT_EQ(records.size(), 1u) << "length " << length << " on " << name;
            EXPECT_EQ(records[0], text + "|42|end\n") << "length " << length << " on " << name;
        }
    }
}

TEST_F(LogSinks, BothStreamSinksAtOnce) {
    log_sinks = LOG_SINK_STDERR | LOG_SINK_STDOUT;
    std::vector<std::string> on_stderr;
    auto on_stdout = writes_to(Stream::out, [&] {
        on_stderr = writes_to(Stream::err, [] { log_message(LOG_WARNING, "to %s", "both"); });
    });
    EXPECT_EQ(on_stderr, std::vector<std::string>{"to both\n"});
    EXPECT_EQ(on_stdout, std::vector<std::string>{"to both\n"});
}

TEST_F(LogSinks, ThresholdIsFourWithoutAConfigRecord) {
    ASSERT_EQ(daemon_config, nullptr);
    log_sinks = LOG_SINK_STDERR;
    auto records = writes_to(Stream::err, [] {
        log_message(LOG_NOTICE, "notice");
        log_message(LOG_WARNING, "warning");
        log_message(LOG_INFO, "info");
    });
    EXPECT_EQ(records, std::vector<std::string>{"warning\n"});
}

TEST_F(LogSinks, MessagesAboveTheThresholdReachNoSink) {
    ASSERT_EQ(init_config(), 0);
    log_sinks = LOG_SINK_STDERR | LOG_SINK_STDOUT | LOG_SINK_SYSLOG;
    for (int threshold : {LOG_EMERG, LOG_ERR, LOG_INFO}) {
        daemon_config->verbosity = threshold;
        publish_log_threshold();
        std::vector<std::string> on_stderr;
        auto on_stdout = writes_to(Stream::out, [&] {
            on_stderr = writes_to(Stream::err, [&] {
                for (int level = threshold + 1; level <= LOG_DEBUG; ++level)
                    log_message(level, "level %d", level);
            });
        });
        EXPECT_TRUE(on_stderr.empty()) << "threshold " << threshold << ": " << on_stderr[0];
        EXPECT_TRUE(on_stdout.empty()) << "threshold " << threshold << ": " << on_stdout[0];
    }
}

TEST_F(LogSinks, ThresholdAboveSevenLetsEverythingThrough) {
    ASSERT_EQ(init_config(), 0);
    daemon_config->verbosity = 12;
    publish_log_threshold();
    log_sinks = LOG_SINK_STDERR;
    auto records = writes_to(Stream::err, [] { log_message(LOG_DEBUG, "debug"); });
    EXPECT_EQ(records, std::vector<std::string>{"debug\n"});
}

TEST_F(LogSinks, SyslogOnlyWritesNothingToTheStreams) {
    log_sinks = LOG_SINK_SYSLOG;
    std::vector<std::string> on_stderr;
    auto on_stdout = writes_to(Stream::out, [&] {
        on_stderr = writes_to(Stream::err, [] { log_message(LOG_ERR, "telvad unit test: syslog only"); });
    });
    EXPECT_TRUE(on_stderr.empty());
    EXPECT_TRUE(on_stdout.empty());
}

TEST_F(LogSinks, ErrnoSurvivesEveryPath) {
    log_sinks = LOG_SINK_STDERR;
    writes_to(Stream::err, [] {
        errno = EBADF;
        log_message(LOG_ERR, "passes");
        EXPECT_EQ(errno, EBADF);
        errno = ENOSPC;
        log_message(LOG_DEBUG, "filtered");
        EXPECT_EQ(errno, ENOSPC);
    });

    // The syslog sink: its socket may be missing, which sets errno inside.
    log_sinks = LOG_SINK_SYSLOG;
    errno = EDOM;
    log_message(LOG_ERR, "telvad unit test: errno survives syslog");
    EXPECT_EQ(errno, EDOM);

    // A standard error that can't be written sets errno inside fwrite().
    log_sinks = LOG_SINK_STDERR;
    FILE* read_only = fopen("/dev/null", "r");
    FILE* saved = stderr;
    stderr = read_only;
    errno = ERANGE;
    log_message(LOG_ERR, "lost");
    const int after = errno;
    stderr = saved;
    fclose(read_only);
    EXPECT_EQ(after, ERANGE);
}

}  // namespace
