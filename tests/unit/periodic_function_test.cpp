// dp::periodic_function: when the next call is due, and stop/restart of the
// thread with calls counted (never timed).
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "common/periodic_function.h"

using namespace std::chrono_literals;
using dp::periodic_function;

TEST(PeriodicFunction, NextDueSubtractsTheRunTime) {
    const auto t0 = std::chrono::steady_clock::time_point{} + 100s;
    struct Case {
        std::chrono::nanoseconds interval, elapsed, after;
    };
    const Case cases[] = {
        {10ms, 0ms, 10ms},           // instant call
        {10ms, 3ms + 900us, 7ms},    // run time cut to whole ms
        {10ms, 10ms, 10ms},          // exact multiple
        {10ms, 30ms, 10ms},
        {10ms, 23ms, 3ms},           // remainder
        {0ms, 5ms, 0ms},             // no interval: at once
    };
    for (const Case& c : cases)
        EXPECT_EQ(t0 + c.after, periodic_function::next_due(t0, c.interval, c.elapsed))
            << c.interval.count() << " " << c.elapsed.count();
}

TEST(PeriodicFunction, OnceRepeatingStopAndRestart) {
    std::atomic<int> calls{0};
    auto wait_for = [&](int n) {
        for (int i = 0; i < 5000 && calls.load() < n; ++i)
            std::this_thread::sleep_for(1ms);
        return calls.load() >= n;
    };
    // Throws every time: swallowed, and the calls go on.
    periodic_function repeating(1ms, [&] {
        ++calls;
        throw std::runtime_error("ignored");
    });
    ASSERT_TRUE(repeating.start_repeating());
    EXPECT_TRUE(wait_for(3));
    repeating.stop();
    const int stopped_at = calls.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(stopped_at, calls.load()) << "a call after stop()";
    ASSERT_TRUE(repeating.start_repeating());  // a stopped object starts again
    EXPECT_TRUE(wait_for(stopped_at + 2));
    repeating.stop();

    calls = 0;
    periodic_function once(1ms, [&] { ++calls; });
    ASSERT_TRUE(once.start_once());
    EXPECT_TRUE(wait_for(1));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(1, calls.load());
    once.stop();  // joins a thread that has ended

    // Stopped before it is due: never called; a restart is due afresh.
    periodic_function late(1h, [&] { ++calls; });
    ASSERT_TRUE(late.start_once());
    late.stop();
    ASSERT_TRUE(late.start_once());
    EXPECT_EQ(1, calls.load());
    periodic_function empty(1ms, nullptr);
    ASSERT_TRUE(empty.start_repeating());
}  // destructors stop the rest
