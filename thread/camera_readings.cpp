#include "thread/camera_readings.h"

#include <cmath>

#include "common/log.h"
#include "registry/registry.h"

namespace {

using Clock = std::chrono::steady_clock;

// An expiry that was on its way when the ramp was restarted comes less than
// half a period after the step the restart made; it is not a step.
bool step_due(const CameraSession& session) {
    const auto half_period = std::chrono::duration<double>(session_period(RAMP_PERIOD_S) / 2);
    return Clock::now() - session.ramp_last_step >= half_period;
}

}  // namespace

bool camera_attached(const CameraRecord& camera) { return camera_busy(camera.info.id); }

int set_temperature_request(CameraSession& session, float target) {
    CameraRecord& camera = session.camera;
    std::lock_guard<std::mutex> hold(session.ramp_mutex);
    if (!(session.ramp_rate > 0))
        return wire_status(set_temperature(camera, target));

    float current = 0;
    if (int result = wire_status(get_value(camera, 0, current)); result != 0)
        return result;
    if (int result = stop_timer(*session.ramp_timer); result != 0)
        return result;
    session.ramp.steps_left = 0;

    const RampPlan plan = plan_ramp(current, target, session.ramp_rate);
    if (plan.steps == 0)
        return wire_status(set_temperature(camera, target));
    log_trace("temp: %f, wanted temp: %f, ramp temp/m: %f, ramp steps: %d, ramp steps temp: %f\n",
              static_cast<double>(current), static_cast<double>(target), static_cast<double>(session.ramp_rate),
              plan.steps, static_cast<double>(plan.step));
    if (int result = wire_status(set_temperature(camera, plan.first)); result != 0)
        return result;
    session.ramp.begin(plan, target);
    session.ramp_last_step = Clock::now();
    if (!session.ramp.running())
        return 0;
    const double period = session_period(RAMP_PERIOD_S);
    return start_timer(*session.ramp_timer, period, period);
}

void set_ramp_rate(CameraSession& session, float rate) {
    std::lock_guard<std::mutex> hold(session.ramp_mutex);
    session.ramp_rate = std::isnan(rate) ? 0 : rate;
    if (!(session.ramp_rate > 0)) {
        stop_timer(*session.ramp_timer);
        session.ramp.steps_left = 0;
    }
}

int get_value_request(CameraSession& session, int index, float& value) {
    CameraRecord& camera = session.camera;
    if (index == 11 && is_dual_sample(camera)) {
        value = session.power_value.load();
        return 0;
    }
    if (camera.reading) {
        value = session.value_cache[static_cast<size_t>(index_to_value_index(index))];
        return 0;
    }
    const int result = wire_status(get_value(camera, index, value));
    if (result == -2) {
        value = session.value_cache[static_cast<size_t>(index_to_value_index(index))];
        return 0;
    }
    if (result == 0)
        session.value_cache[static_cast<size_t>(index_to_value_index(index))] = value;
    else
        value = 0;
    return result;
}

void ramp_expired(CameraSession& session) {
    if (!camera_attached(session.camera) || session.camera.reading)
        return;
    std::lock_guard<std::mutex> hold(session.ramp_mutex);
    if (!session.ramp.running()) {
        stop_timer(*session.ramp_timer);
        return;
    }
    if (!step_due(session))
        return;
    (void)set_temperature(session.camera, session.ramp.next());
    session.ramp_last_step = Clock::now();
    if (!session.ramp.running())
        stop_timer(*session.ramp_timer);
}

void power_expired(CameraSession& session) {
    if (!camera_attached(session.camera) || session.camera.reading)
        return;
    float power = -1;
    if (get_cooler_power_dual(session.camera, power).is_ok())
        session.power_value = power;
}
