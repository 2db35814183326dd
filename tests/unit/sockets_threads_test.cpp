// write_chunked() against a concurrent reader, and interrupted by signals.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/sockets.h"

namespace {

std::vector<char> pattern(size_t size) {
    std::vector<char> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i ^ (i >> 8) ^ (i >> 16));
    return data;
}

// Reads `fd` to its end on another thread.
class Drain {
public:
    explicit Drain(int fd)
        : thread_([this, fd] {
              char block[1500];  // smaller than the writer's pieces
              for (ssize_t length; (length = read(fd, block, sizeof block)) > 0;)
                  received_.insert(received_.end(), block, block + length);
          }) {}
    const std::vector<char>& finish() {
        thread_.join();
        return received_;
    }

private:
    std::vector<char> received_;
    std::thread thread_;
};

TEST(WriteChunkedThreads, LargeBufferArrivesWholeAndInOrder) {
    const std::vector<char> data = pattern(8 << 20);
    for (int chunk : {4096, 0, -1}) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        Drain drain(pair[1]);
        EXPECT_EQ(write_chunked(pair[0], data.data(), data.size(), chunk), 0) << "chunk " << chunk;
        close(pair[0]);
        EXPECT_TRUE(drain.finish() == data) << "chunk " << chunk;
        close(pair[1]);
    }
}

void ignore_signal(int) {}

TEST(WriteChunkedThreads, ShortWritesAndInterruptionsAreContinued) {
    // A handler without SA_RESTART makes a blocked write() return early: with
    // the part it managed to write, or EINTR when that was nothing.
    struct sigaction action = {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);

    const std::vector<char> data = pattern(16 << 20);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Drain drain(pair[1]);

    std::atomic<bool> done{false};
    const pthread_t writer = pthread_self();
    std::thread interrupter([&] {
        for (int i = 0; i < 20000 && !done; ++i) {
            pthread_kill(writer, SIGUSR1);
            usleep(100);
        }
    });
    const int result = write_chunked(pair[0], data.data(), data.size(), 0);
    done = true;
    interrupter.join();
    close(pair[0]);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(drain.finish() == data);
    close(pair[1]);
}

}  // namespace
