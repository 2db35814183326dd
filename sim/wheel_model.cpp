#include "sim/wheel_model.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t STATUS_OK = 0x80;
constexpr uint8_t STATUS_BAD_PARAMETER = 0x81;

// Positions a wheel turns through, going the short way round.
unsigned distance(unsigned from, unsigned to, unsigned slots) {
    if (slots == 0)
        return 0;
    const unsigned forward = (to + slots - from) % slots;
    return std::min(forward, slots - forward);
}

}  // namespace

void WheelModel::receive(const std::vector<uint8_t>& request, Clock::time_point now) {
    ready_ = now;
    answer_.assign(1, STATUS_OK);
    if (request.empty())
        return;
    switch (request[0]) {
    case 0x1A: {  // identification
        answer_.assign(41, 0);
        answer_[0] = STATUS_OK;
        for (int i = 0; i < 4; ++i)
            answer_[1 + i] = static_cast<uint8_t>(profile_.id >> (8 * i));
        answer_[5] = profile_.filters;
        answer_[6] = profile_.filters2;
        answer_[7] = position_;
        answer_[8] = position2_;
        memset(&answer_[9], ' ', 32);
        memcpy(&answer_[9], profile_.desc.data(), std::min<size_t>(profile_.desc.size(), 16));
        memcpy(&answer_[25], profile_.ser.data(), std::min<size_t>(profile_.ser.size(), 16));
        break;
    }
    case 0x10:  // position counts
        answer_ = {STATUS_OK, profile_.filters, profile_.filters2};
        break;
    case 0x11: {  // move: first wheel to a (from 0), second to b (0: its open slot)
        if (request.size() < 3 || request[1] >= std::max<uint8_t>(profile_.filters, 1) ||
            request[2] > profile_.filters2) {
            answer_[0] = STATUS_BAD_PARAMETER;
            break;
        }
        const unsigned steps = std::max(distance(position_, request[1], profile_.filters),
                                        distance(position2_, request[2], profile_.filters2 + 1u));
        position_ = request[1];
        position2_ = request[2];
        ready_ = now + steps * profile_.move_per_position;
        break;
    }
    default:
        break;
    }
}

std::vector<uint8_t> WheelModel::take_answer() {
    std::vector<uint8_t> answer;
    answer.swap(answer_);
    return answer;
}

}  // namespace sim
