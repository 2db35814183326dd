// The exposure road: the starts and moves it refuses, and the expiries it
// lets act.
#include <gtest/gtest.h>

#include "driver/exposure_road.h"

namespace {

using S = ExposureState;
using namespace std::chrono_literals;

TEST(ExposureRoad, StartsAndMovesItRefuses) {
    ExposureRoad road;
    std::lock_guard<std::mutex> hold(road.exposure_mutex);
    EXPECT_FALSE(road.move(S::reading)) << "nothing to read before a start";
    EXPECT_FALSE(road.move(S::ready));
    EXPECT_EQ(S::idle, road.state());
    ASSERT_TRUE(road.begin(ExposureRoad::NEVER));
    ASSERT_TRUE(road.move(S::reading));
    EXPECT_FALSE(road.begin(ExposureRoad::NEVER)) << "no start while the buffer is being filled";
    EXPECT_EQ(S::reading, road.state());
    EXPECT_EQ(1u, road.generation());
    EXPECT_FALSE(road.move(S::exposing)) << "nor does the readout go back";
    ASSERT_TRUE(road.move(S::ready));
    {
        const ExposureRoad::FrameHold download(road);
        EXPECT_FALSE(road.begin(ExposureRoad::NEVER)) << "no start under a download";
        EXPECT_EQ(S::ready, road.state());
    }
    EXPECT_TRUE(road.begin(ExposureRoad::NEVER));
    EXPECT_EQ(2u, road.generation());
}

TEST(ExposureRoad, OnlyTheDueExposureExpires) {
    ExposureRoad road;
    std::lock_guard<std::mutex> hold(road.exposure_mutex);
    const auto now = ExposureRoad::Clock::now();
    EXPECT_FALSE(road.expiry_due(now)) << "idle";
    ASSERT_TRUE(road.begin(now - 1ms));
    EXPECT_TRUE(road.expiry_due(now));
    // A new exposure of 3 s starts before the expiry of the last could act:
    // that expiry is stale.
    ASSERT_TRUE(road.begin(now + 3s));
    EXPECT_FALSE(road.expiry_due(now));
    EXPECT_TRUE(road.expiry_due(now + 3s));
    // Camera-timed exposures never expire on the host; ended ones neither.
    ASSERT_TRUE(road.begin(ExposureRoad::NEVER));
    EXPECT_FALSE(road.expiry_due(now + 1000000h));
    ASSERT_TRUE(road.begin(now - 1ms));
    ASSERT_TRUE(road.move(S::discarded));
    EXPECT_FALSE(road.expiry_due(now));
}

}  // namespace
