// log_message called from many threads at once.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/config.h"
#include "common/log.h"

namespace {

TEST(LogThreads, ConcurrentLinesNeverInterleave) {
    constexpr int THREADS = 4;
    constexpr int MESSAGES = 300;

    ASSERT_EQ(init_config(), 0);
    daemon_config->verbosity = LOG_INFO;
    publish_log_threshold();
    const int saved_sinks = log_sinks;
    log_sinks = LOG_SINK_STDERR;

    // A SOCK_SEQPACKET socket keeps the boundary of every write(); the
    // stream is unbuffered like stderr.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    FILE* capture = fdopen(pair[1], "w");
    setvbuf(capture, nullptr, _IONBF, 0);
    FILE* const saved_stderr = stderr;
    stderr = capture;

    std::vector<std::string> records;
    std::thread reader([&] {
        std::vector<char> buffer(1 << 16);
        for (ssize_t length; (length = recv(pair[0], buffer.data(), buffer.size(), 0)) > 0;)
            records.emplace_back(buffer.data(), static_cast<size_t>(length));
    });

    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([t] {
            for (int n = 0; n < MESSAGES; ++n) {
                // Lengths on both sides of the formatting buffer.
                const std::string padding(static_cast<size_t>((n * 37) % 1500), static_cast<char>('a' + t));
                log_message(LOG_INFO, "thread %d message %d %s", t, n, padding.c_str());
            }
        });
    }
    for (std::thread& writer : writers)
        writer.join();

    stderr = saved_stderr;
    fclose(capture);  // the only writer end: the reader sees EOF
    reader.join();
    close(pair[0]);
    log_sinks = saved_sinks;
    free_config();

    ASSERT_EQ(records.size(), static_cast<size_t>(THREADS * MESSAGES));
    std::map<int, int> next;
    for (const std::string& record : records) {
        int t = -1, n = -1;
        ASSERT_EQ(sscanf(record.c_str(), "thread %d message %d ", &t, &n), 2) << record;
        ASSERT_EQ(n, next[t]++) << "lines of thread " << t << " out of order";
        const std::string padding(static_cast<size_t>((n * 37) % 1500), static_cast<char>('a' + t));
        ASSERT_EQ(record, "thread " + std::to_string(t) + " message " + std::to_string(n) + " " + padding + "\n");
    }
}

}  // namespace
