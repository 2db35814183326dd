// The firmware of a virtual standalone filter wheel: one or two stacked
// wheels behind a bulk OUT endpoint 0x01 and a bulk IN endpoint 0x82.
//
// Not locked: the virtual platform serialises calls per wheel.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct WheelProfile {
    uint32_t id = 0;
    uint8_t filters = 5;
    uint8_t filters2 = 0;  // 0: a single wheel
    std::string desc, ser;  // at most 15 characters each
    std::chrono::milliseconds move_per_position{200};
};

class WheelModel {
public:
    using Clock = std::chrono::steady_clock;

    explicit WheelModel(const WheelProfile& profile) : profile_(profile) {}

    const WheelProfile& profile() const { return profile_; }

    // Takes the bytes of one bulk OUT transfer. The answer waits in the IN
    // endpoint; a move's answer becomes available only when the wheels
    // have arrived.
    void receive(const std::vector<uint8_t>& request, Clock::time_point now);

    // The waiting answer and when it can be collected; false when nothing
    // waits. take_answer() removes it.
    bool answer_pending() const { return !answer_.empty(); }
    Clock::time_point answer_ready() const { return ready_; }
    std::vector<uint8_t> take_answer();

    uint8_t position() const { return position_; }
    uint8_t position2() const { return position2_; }

private:
    WheelProfile profile_;
    uint8_t position_ = 0, position2_ = 0;
    std::vector<uint8_t> answer_;
    Clock::time_point ready_{};
};

}  // namespace sim
