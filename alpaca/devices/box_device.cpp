#include "alpaca/devices/box_device.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace AlpacaServer {

void copy_text(char* value, std::size_t size, const char* text) {
    if (size > 0)
        std::snprintf(value, size, "%s", text);
}

std::string utc_timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64] = {};
    const std::size_t length = std::strftime(text, sizeof text, "%FT%T", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
    return text;
}

}  // namespace AlpacaServer
