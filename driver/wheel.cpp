#include "driver/wheel.h"

#include <cstring>

#include "driver/bytes.h"

int parse_wheel_info(std::span<const uint8_t> answer, WheelInfo& info) {
    info = WheelInfo{};
    if (answer.size() != WHEEL_INFO_ANSWER)
        return -1;
    info.id = load_le32(answer.data() + 1);
    info.filters = answer[5];
    info.filters2 = answer[6];
    memcpy(info.reserved, answer.data() + 7, sizeof info.reserved);
    memcpy(info.desc, answer.data() + 9, sizeof info.desc);
    memcpy(info.ser, answer.data() + 25, sizeof info.ser);
    terminate_and_trim(info.desc, sizeof info.desc);
    terminate_and_trim(info.ser, sizeof info.ser);
    return 0;
}

int wheel_position_request(uint8_t filters, uint8_t filters2, uint32_t position,
                           std::array<uint8_t, 3>& request) {
    uint32_t first = 0, second = 0;
    if (filters2 == 0 || position < filters)
        first = position;
    else
        second = position - filters + 1;
    // Cutting a position to its low byte would move the wheel somewhere else
    // and report success.
    if (first > 0xFF || second > 0xFF)
        return -1;
    request = {WHEEL_CMD_SET_POSITION, static_cast<uint8_t>(first), static_cast<uint8_t>(second)};
    return 0;
}
