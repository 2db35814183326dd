#include "common/threads.h"

#include <syslog.h>

#include <cerrno>
#include <ctime>
#include <system_error>
#include <thread>

#include "common/log.h"

bool start_detached(const char* what, std::function<void()> work) {
    try {
        std::thread(std::move(work)).detach();
        return true;
    } catch (const std::system_error& error) {
        log_message(LOG_ERR, "pthread_create() failed for the %s: %s", what, error.what());
        return false;
    }
}

void sleep_ms(long ms) {
    timespec remaining = {ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
