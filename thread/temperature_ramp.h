// Temperature ramps: a cooler set point approached in steps of 10 seconds
// at a rate in degrees per minute. Pure arithmetic; the session runs the
// steps on its ramp timer.
#pragma once

#include <cstdint>

inline constexpr double RAMP_STEP_SECONDS = 10.0;

struct RampPlan {
    int32_t steps = 0;   // 0: no ramp, set the target at once
    float step = 0;      // change of the set point per step (current - target, over steps)
    float first = 0;     // the set point of the first step, sent at once
};

// The steps from the sensor temperature `current` to `target` at `rate`
// degrees per minute: minutes = ceil((current - target) / rate) in single
// precision, six steps per minute of |minutes|. A rate of 0 or less, or
// values that are not finite, give no steps. Very slow rates are limited to
// RAMP_MAX_STEPS steps.
RampPlan plan_ramp(float current, float target, float rate);
inline constexpr int32_t RAMP_MAX_STEPS = 6 * 60 * 24 * 7;  // a week

// The running ramp between steps.
struct Ramp {
    float current = 0;      // the set point sent last
    float step = 0;
    float target = 0;
    int32_t steps_left = 0;  // steps still to be made by the timer

    // Starts the ramp of `plan` toward `target`, its first step already sent.
    void begin(const RampPlan& plan, float to) {
        current = plan.first;
        step = plan.step;
        target = to;
        steps_left = plan.steps - 1;
    }
    bool running() const { return steps_left > 0; }
    // The set point of the next step; the last one is the target itself, so
    // rounding of the steps does not leave the cooler short of it.
    float next() {
        if (steps_left <= 0)
            return current;
        --steps_left;
        current = steps_left == 0 ? target : current - step;
        return current;
    }
};
