#include "driver/exposure_road.h"

#include <syslog.h>

#include "common/log.h"

const char* exposure_state_name(ExposureState state) {
    switch (state) {
    case ExposureState::idle: return "idle";
    case ExposureState::exposing: return "exposing";
    case ExposureState::reading: return "reading";
    case ExposureState::ready: return "ready";
    case ExposureState::discarded: return "discarded";
    }
    return "?";
}

bool exposure_move_allowed(ExposureState from, ExposureState to) {
    using S = ExposureState;
    switch (from) {
    case S::idle: return to == S::exposing;
    case S::exposing: return to == S::exposing || to == S::reading || to == S::discarded;
    case S::reading: return to == S::ready || to == S::discarded;
    case S::ready: return to == S::exposing || to == S::reading || to == S::discarded;
    case S::discarded: return to == S::exposing || to == S::reading;
    }
    return false;
}

bool ExposureRoad::move(ExposureState to) {
    const ExposureState from = state();
    if (!exposure_move_allowed(from, to)) {
        log_message(LOG_WARNING, "Exposure %llu: refused move from %s to %s", static_cast<unsigned long long>(generation_),
                    exposure_state_name(from), exposure_state_name(to));
        return false;
    }
    if (to != ExposureState::exposing)
        due_ = NEVER;
    state_.store(to, std::memory_order_release);
    return true;
}

bool ExposureRoad::begin(Clock::time_point due) {
    if (frame_held() || !move(ExposureState::exposing))
        return false;
    ++generation_;
    due_ = due;
    return true;
}

bool ExposureRoad::expiry_due(Clock::time_point now) const {
    return state() == ExposureState::exposing && due_ != NEVER && now >= due_;
}
