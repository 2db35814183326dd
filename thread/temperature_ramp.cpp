#include "thread/temperature_ramp.h"

#include <cmath>

RampPlan plan_ramp(float current, float target, float rate) {
    RampPlan plan;
    if (!(rate > 0) || !std::isfinite(rate) || !std::isfinite(current) || !std::isfinite(target))
        return plan;
    const float difference = current - target;
    const float minutes = std::ceil(difference / rate);
    if (!std::isfinite(minutes))
        return plan;
    const float steps = std::fabs(minutes) * static_cast<float>(60.0 / RAMP_STEP_SECONDS);
    plan.steps = steps >= static_cast<float>(RAMP_MAX_STEPS) ? RAMP_MAX_STEPS : static_cast<int32_t>(steps);
    if (plan.steps == 0)
        return plan;
    plan.step = difference / static_cast<float>(plan.steps);
    plan.first = plan.steps == 1 ? target : current - plan.step;
    return plan;
}
