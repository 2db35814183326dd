// The modem lines of one serial position, as the UART driver keeps them.
//
// Lock-free: a thread may be cancelled asynchronously while it waits in
// TIOCMIWAIT, so nothing on that path may hold a lock or allocate.
#pragma once

#include <linux/serial.h>

#include <atomic>
#include <cstdint>
#include <optional>

namespace sim {

class ModemLines {
public:
    // TIOCM_* bits of every line.
    int bits() const { return bits_.load(); }

    // TIOCMBIS/TIOCMBIC: only DTR and RTS are outputs; other bits are
    // ignored, as the UART driver does.
    void raise_outputs(int mask);
    void lower_outputs(int mask);

    // The far end moves its lines (the `modem` control command): every
    // line that changes moves its interrupt counter and wakes the waiters.
    void set_inputs(std::optional<bool> cts, std::optional<bool> dsr, std::optional<bool> dcd,
                    std::optional<bool> ri);

    // TIOCMIWAIT: blocks until one of the lines in `mask` (TIOCM_CTS,
    // TIOCM_DSR, TIOCM_CD, TIOCM_RNG) changes; 0. -1 with EIO when
    // still_open(context) turns false while waiting. A cancellation point;
    // nothing on the way has a destructor, so an unwinding cancellation
    // runs no cleanup here.
    int wait_change(int mask, bool (*still_open)(const void* context), const void* context);

    // TIOCGICOUNT.
    serial_icounter_struct counters() const;

    void set_break(bool on) { break_on_ = on; }
    bool break_on() const { return break_on_; }

    // The first open raises DTR and RTS; the last close drops them.
    void opened();
    void closed();

private:
    void wake();

    std::atomic<int> bits_{0};
    std::atomic<int> cts_{0}, dsr_{0}, rng_{0}, dcd_{0};
    std::atomic<uint32_t> generation_{0};  // the futex word waiters sleep on
    std::atomic<bool> break_on_{false};
    std::atomic<int> opens_{0};
};

}  // namespace sim
