// What lineward watches on the virtual box: the board name, the reset
// button on each of its wirings (USB button devices live with the other
// USB devices in VirtualBox), the legacy serial port /dev/ttyS0, the CDC
// line /dev/ttyACM0 and the parallel port at 0x378.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// The reset button as one wiring reads it. Lock-free: the platform samples
// it from any thread. A tap makes exactly the next N samples read pressed,
// so a test can press "at one sample" without racing the sampler's clock.
class ButtonInput {
public:
    void press() { held_ = true; }
    void release() { held_ = false; }
    void tap(int count) { taps_ += count; }

    // One reading by the watcher: pressed or not; counts the sample.
    bool sample();

    // "pressed=0|1 taps=N samples=N".
    std::string describe() const;

private:
    std::atomic<bool> held_{false};
    std::atomic<int> taps_{0};
    std::atomic<uint64_t> samples_{0};
};

// How a serial line the box provides answers an open.
enum class TtyState {
    present,  // a terminal (a pseudo-terminal whose far end the box holds)
    absent,   // no such node: ENOENT
    nouart,   // a node without a UART behind it: the open fails with EIO
    notty,    // opens, but is no terminal: termios requests fail with ENOTTY
};

// One such line. Thread-safe.
class BoxTty {
public:
    BoxTty(std::string path, TtyState initial);
    ~BoxTty();
    BoxTty(const BoxTty&) = delete;
    BoxTty& operator=(const BoxTty&) = delete;

    const std::string& path() const { return path_; }
    void set_state(TtyState state) { state_ = state; }
    TtyState state() const { return state_; }

    // As open(2) of the node: a new descriptor, or -1 with errno.
    int open(int flags);
    // Bytes from the far end. The device sends once the host raises DTR:
    // at once when `dtr_up`, else when dtr_raised() comes. False when the
    // line can't take them.
    bool send(std::string_view bytes, bool dtr_up);
    void dtr_raised();
    uint64_t opens() const { return opens_; }

private:
    const std::string path_;
    std::atomic<TtyState> state_;
    int master_ = -1;
    std::string slave_;
    std::atomic<uint64_t> opens_{0};
    std::mutex mutex_;  // guards waiting_
    std::string waiting_;  // bytes held until DTR rises
};

// The parallel port's data (0x378) and status (0x379) registers. The
// button joins data bit 0 to the status register's ACK line (bit 6), which
// otherwise reads high: while it is held the status follows the data, so
// two reads with different data differ only then. Without a port every
// read gives 0xFF, as an empty bus does.
class ParallelPort {
public:
    static constexpr uint16_t DATA = 0x378, STATUS = 0x379;

    void set_present(bool present) { present_ = present; }
    void write_data(uint8_t value) { data_ = value; }
    uint8_t read(uint16_t port);

    ButtonInput button;

private:
    std::atomic<bool> present_{true};
    std::atomic<uint8_t> data_{0};
};

inline constexpr const char* BOARD_NAME_PATH = "/sys/devices/virtual/dmi/id/board_name";
inline constexpr const char* LEGACY_TTY_PATH = "/dev/ttyS0";
inline constexpr const char* CDC_TTY_PATH = "/dev/ttyACM0";

enum class BoardFile { present, absent, unreadable };

struct WatcherHardware {
    // The board-name file: its text (as sysfs gives it, with its newline
    // when the text asked for one), or absent, or failing its read (EIO).
    void set_board(BoardFile file, std::string text = {});
    // As read_system_file of the board-name path.
    ssize_t read_board(void* buffer, size_t size, bool& opened) const;

    BoxTty legacy{LEGACY_TTY_PATH, TtyState::present};
    BoxTty cdc{CDC_TTY_PATH, TtyState::absent};
    ButtonInput legacy_button;  // pulls DSR of /dev/ttyS0 up while pressed
    ParallelPort parallel;

private:
    mutable std::mutex mutex_;
    BoardFile board_file_ = BoardFile::present;
    std::string board_;
};

}  // namespace sim
