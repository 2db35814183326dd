#include "sim/watcher_hardware.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace sim {

bool ButtonInput::sample() {
    ++samples_;
    if (held_)
        return true;
    int taps = taps_.load();
    while (taps > 0 && !taps_.compare_exchange_weak(taps, taps - 1)) {
    }
    return taps > 0;
}

std::string ButtonInput::describe() const {
    char line[96];
    snprintf(line, sizeof line, "pressed=%d taps=%d samples=%llu", held_ ? 1 : 0, taps_.load(),
             static_cast<unsigned long long>(samples_.load()));
    return line;
}

BoxTty::BoxTty(std::string path, TtyState initial) : path_(std::move(path)), state_(initial) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
        char name[64];
        if (ptsname_r(master_, name, sizeof name) == 0)
            slave_ = name;
    }
}

BoxTty::~BoxTty() {
    if (master_ >= 0)
        close(master_);
}

int BoxTty::open(int flags) {
    switch (state_.load()) {
    case TtyState::absent:
        errno = ENOENT;
        return -1;
    case TtyState::nouart:
        errno = EIO;
        return -1;
    case TtyState::notty:
        ++opens_;
        return ::open("/dev/null", flags | O_CLOEXEC);
    case TtyState::present:
        break;
    }
    if (slave_.empty()) {
        errno = EIO;
        return -1;
    }
    const int fd = ::open(slave_.c_str(), flags | O_CLOEXEC);
    if (fd >= 0)
        ++opens_;
    return fd;
}

bool BoxTty::send(std::string_view bytes, bool dtr_up) {
    if (state_ != TtyState::present || master_ < 0)
        return false;
    std::lock_guard lock(mutex_);
    waiting_.append(bytes);
    if (!dtr_up)
        return true;
    const std::string now = std::exchange(waiting_, {});
    return write(master_, now.data(), now.size()) == static_cast<ssize_t>(now.size());
}

void BoxTty::dtr_raised() {
    std::lock_guard lock(mutex_);
    if (waiting_.empty() || master_ < 0)
        return;
    [[maybe_unused]] const ssize_t written = write(master_, waiting_.data(), waiting_.size());
    waiting_.clear();
}

uint8_t ParallelPort::read(uint16_t port) {
    if (!present_)
        return 0xFF;
    const uint8_t data = data_;
    if (port == DATA)
        return data;
    if (port != STATUS)
        return 0xFF;
    constexpr uint8_t IDLE = 0x7F;  // ACK, paper-out, select, no error high; busy low
    constexpr uint8_t ACK = 0x40;
    // With data bit 0 high the held button changes nothing: only a read
    // with it low can tell, and only that one is a sample.
    if ((data & 1) == 0 && button.sample())
        return IDLE & ~ACK;
    return IDLE;
}

void WatcherHardware::set_board(BoardFile file, std::string text) {
    std::lock_guard lock(mutex_);
    board_file_ = file;
    board_ = std::move(text);
}

ssize_t WatcherHardware::read_board(void* buffer, size_t size, bool& opened) const {
    std::lock_guard lock(mutex_);
    opened = board_file_ != BoardFile::absent;
    if (board_file_ != BoardFile::present) {
        errno = opened ? EIO : ENOENT;
        return -1;
    }
    const size_t n = std::min(size, board_.size());
    memcpy(buffer, board_.data(), n);
    return static_cast<ssize_t>(n);
}

}  // namespace sim
