// The steps of a temperature ramp.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "thread/temperature_ramp.h"

namespace {

// Every set point a ramp sends: the first at once, then the timer's.
std::vector<float> all_steps(float current, float target, float rate) {
    const RampPlan plan = plan_ramp(current, target, rate);
    std::vector<float> sent;
    if (plan.steps == 0)
        return sent;
    Ramp ramp;
    ramp.begin(plan, target);
    sent.push_back(ramp.current);
    while (ramp.running())
        sent.push_back(ramp.next());
    return sent;
}

}  // namespace

TEST(TemperatureRamp, DownwardAtOneDegreePerMinute) {
    const RampPlan plan = plan_ramp(-2.0f, -7.0f, 1.0f);
    EXPECT_EQ(30, plan.steps);
    EXPECT_FLOAT_EQ(1.0f / 6, plan.step);
    EXPECT_FLOAT_EQ(-2.0f - 1.0f / 6, plan.first);
    const std::vector<float> sent = all_steps(-2.0f, -7.0f, 1.0f);
    ASSERT_EQ(30u, sent.size());
    for (size_t i = 0; i + 1 < sent.size(); ++i)
        EXPECT_NEAR(-2.0 - (i + 1) / 6.0, sent[i], 1e-4) << i;
    EXPECT_EQ(-7.0f, sent.back()) << "the last step lands on the target exactly";
}

TEST(TemperatureRamp, UpwardRoundsTheMinutesTowardZero) {
    // ceil(-1.5) = -1: one minute, six steps of half a degree.
    const RampPlan plan = plan_ramp(10.0f, 13.0f, 2.0f);
    EXPECT_EQ(6, plan.steps);
    EXPECT_FLOAT_EQ(-0.5f, plan.step);
    const std::vector<float> sent = all_steps(10.0f, 13.0f, 2.0f);
    EXPECT_EQ((std::vector<float>{10.5f, 11.0f, 11.5f, 12.0f, 12.5f, 13.0f}), sent);
}

TEST(TemperatureRamp, NoStepsSetAtOnce) {
    EXPECT_EQ(0, plan_ramp(5.0f, -5.0f, 0.0f).steps) << "rate 0";
    EXPECT_EQ(0, plan_ramp(5.0f, -5.0f, -1.0f).steps) << "negative rate";
    EXPECT_EQ(0, plan_ramp(5.0f, 5.0f, 1.0f).steps) << "already there";
    EXPECT_EQ(0, plan_ramp(5.0f, 5.5f, 1.0f).steps) << "ceil(-0.5) is 0 minutes";
    EXPECT_EQ(0, plan_ramp(5.0f, NAN, 1.0f).steps);
    EXPECT_EQ(0, plan_ramp(5.0f, -5.0f, NAN).steps);
    EXPECT_EQ(0, plan_ramp(5.0f, -5.0f, INFINITY).steps);
    // A single step goes straight to the target.
    const RampPlan one = plan_ramp(5.0f, 4.9f, 1.0f);
    ASSERT_EQ(6, one.steps);
    EXPECT_EQ(std::vector<float>(all_steps(0.1f, 0.0f, 6.0f)).back(), 0.0f);
}

TEST(TemperatureRamp, VerySlowRatesAreBounded) {
    const RampPlan plan = plan_ramp(20.0f, -20.0f, 1e-30f);
    EXPECT_EQ(RAMP_MAX_STEPS, plan.steps);
    EXPECT_TRUE(std::isfinite(plan.step));
}
