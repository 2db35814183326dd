// Session timers: expiries on the timer's own thread, disarming, and a
// destructor that waits for work in progress.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "thread/session_timers.h"

using namespace std::chrono_literals;

namespace {

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

}  // namespace

TEST(SessionTimers, PeriodicOneShotAndStop) {
    std::atomic<int> periodic{0}, once{0};
    std::atomic<std::thread::id> ran_on{};
    SessionTimer every("test", [&] {
        ran_on = std::this_thread::get_id();
        ++periodic;
    });
    SessionTimer single("test", [&] { ++once; });
    ASSERT_TRUE(every.created() && single.created());

    ASSERT_EQ(0, start_timer(every, 0.01, 0.01));
    ASSERT_EQ(0, start_timer(single, 0.01, 0));
    ASSERT_TRUE(eventually([&] { return periodic >= 5 && once == 1; }));
    EXPECT_NE(std::this_thread::get_id(), ran_on.load());

    ASSERT_EQ(0, stop_timer(every));
    std::this_thread::sleep_for(50ms);  // an expiry already on its way may still run
    const int stopped_at = periodic;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(stopped_at, periodic.load());
    EXPECT_EQ(1, once.load());

    // Re-arming works; a first expiry of 0 disarms, as for timer_settime.
    ASSERT_EQ(0, arm_timer(single, 1e-12, 0, "test"));
    EXPECT_TRUE(eventually([&] { return once == 2; }));
    ASSERT_EQ(0, start_timer(single, 0.05, 0));
    ASSERT_EQ(0, arm_timer(single, 0, 0, "test"));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(2, once.load());
}

TEST(SessionTimers, DestructionWaitsForRunningWork) {
    std::atomic<bool> started{false};
    bool finished = false;  // written by the timer's thread, read after the destructor
    {
        SessionTimer slow("test", [&] {
            started = true;
            std::this_thread::sleep_for(200ms);
            finished = true;
        });
        ASSERT_EQ(0, start_timer(slow, 0.001, 0.001));
        ASSERT_TRUE(eventually([&] { return started.load(); }));
    }
    EXPECT_TRUE(finished);
}

TEST(SessionTimers, ScaleAppliesToSessionPeriods) {
    EXPECT_EQ(10.0, session_period(10.0));
    set_session_time_scale(0.0);  // ignored
    set_session_time_scale(-1.0);
    EXPECT_EQ(10.0, session_period(10.0));
    set_session_time_scale(0.5);
    EXPECT_EQ(5.0, session_period(10.0));
    set_session_time_scale(1.0);
}
