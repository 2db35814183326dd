#include "sim/modem_lines.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <ctime>

namespace sim {

namespace {

constexpr int OUTPUTS = TIOCM_DTR | TIOCM_RTS;

uint32_t* futex_word(std::atomic<uint32_t>& word) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    return reinterpret_cast<uint32_t*>(&word);
}

}  // namespace

void ModemLines::raise_outputs(int mask) { bits_.fetch_or(mask & OUTPUTS); }
void ModemLines::lower_outputs(int mask) { bits_.fetch_and(~(mask & OUTPUTS)); }

void ModemLines::set_inputs(std::optional<bool> cts, std::optional<bool> dsr, std::optional<bool> dcd,
                            std::optional<bool> ri) {
    struct Line {
        std::optional<bool> level;
        int bit;
        std::atomic<int>& counter;
    };
    Line lines[] = {{cts, TIOCM_CTS, cts_}, {dsr, TIOCM_DSR, dsr_}, {dcd, TIOCM_CD, dcd_}, {ri, TIOCM_RNG, rng_}};
    bool changed = false;
    for (Line& line : lines) {
        if (!line.level)
            continue;
        const int before = *line.level ? bits_.fetch_or(line.bit) : bits_.fetch_and(~line.bit);
        if (((before & line.bit) != 0) == *line.level)
            continue;
        // The UART counts every edge, except that the ring counter counts
        // only the trailing edge of RI.
        if (line.bit != TIOCM_RNG || !*line.level)
            ++line.counter;
        changed = true;
    }
    if (changed)
        wake();
}

void ModemLines::wake() {
    ++generation_;
    syscall(SYS_futex, futex_word(generation_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

int ModemLines::wait_change(int mask, bool (*still_open)(const void* context), const void* context) {
    auto snapshot = [&] {
        return std::array<int, 4>{mask & TIOCM_CTS ? cts_.load() : 0, mask & TIOCM_DSR ? dsr_.load() : 0,
                                  mask & TIOCM_CD ? dcd_.load() : 0, mask & TIOCM_RNG ? rng_.load() : 0};
    };
    const auto start = snapshot();
    for (;;) {
        const uint32_t generation = generation_.load();
        if (snapshot() != start)
            return 0;
        if (!still_open(context)) {
            errno = EIO;
            return -1;
        }
        // A bounded sleep, so that a deferred cancellation or a close is
        // noticed even when no line ever moves.
        timespec timeout{0, 100'000'000};
        syscall(SYS_futex, futex_word(generation_), FUTEX_WAIT_PRIVATE, generation, &timeout, nullptr, 0);
        pthread_testcancel();
    }
}

serial_icounter_struct ModemLines::counters() const {
    serial_icounter_struct counters{};
    counters.cts = cts_.load();
    counters.dsr = dsr_.load();
    counters.rng = rng_.load();
    counters.dcd = dcd_.load();
    return counters;
}

void ModemLines::opened() {
    if (opens_.fetch_add(1) == 0)
        raise_outputs(OUTPUTS);
}

void ModemLines::closed() {
    if (opens_.fetch_sub(1) == 1) {
        lower_outputs(OUTPUTS);
        break_on_ = false;
    }
}

}  // namespace sim
