#include "watcher/reset_button.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/run_program.h"
#include "common/terminal.h"
#include "platform/platform.h"
#include "watcher/pace.h"
#include "watcher/posix_timer.h"

namespace {

constexpr double SAMPLE_PAUSE_SECONDS = 0.1;
constexpr unsigned BUTTON_TIMEOUT_MS = 500;
constexpr const char* CDC_PATH = "/dev/ttyACM0";
constexpr const char* MODEM_PATH = "/dev/ttyS0";
constexpr unsigned long PARALLEL_DATA = 0x378, PARALLEL_STATUS = 0x379;

// The sampling window. SIGALRM closes it from whatever it interrupts; a
// window that closed while the method was still being set up stays closed,
// so sampling never begins after the alarm.
enum class Window : int { waiting, sampling, closed };
std::atomic<int> window{static_cast<int>(Window::waiting)};
static_assert(std::atomic<int>::is_always_lock_free, "the alarm handler needs a lock-free flag");

extern "C" void close_window(int) { window.store(static_cast<int>(Window::closed), std::memory_order_relaxed); }

bool open_window() {
    int expected = static_cast<int>(Window::waiting);
    return window.compare_exchange_strong(expected, static_cast<int>(Window::sampling));
}

bool sampling() { return window.load(std::memory_order_relaxed) == static_cast<int>(Window::sampling); }

std::string read_board_name() {
    char name[129] = {};  // up to 128 bytes and a terminating zero
    bool opened = false;
    const ssize_t count = platform::current().read_system_file(BOARD_NAME_FILE, name, 128, opened);
    if (!opened)
        log_message(LOG_INFO, "Could not open file '%s'", BOARD_NAME_FILE);
    else if (count < 0)
        log_message(LOG_ERR, "Read failed");
    if (count < 0)
        name[0] = '\0';
    return name;
}

bool sample_usb_button(const platform::UsbDeviceEntry& entry) {
    platform::Platform& p = platform::current();
    char path[32];
    snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", entry.bus, entry.address);
    const int fd = p.node_open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        log_message(LOG_ERR, "Could not open the reset button %s: %s", path, strerror(errno));
        return false;
    }
    platform::UsbHandle* handle = nullptr;
    if (const int code = p.usb_wrap_sys_device(fd, &handle); code != 0) {
        log_message(LOG_ERR, "Could not open the reset button %s: %s", path, p.usb_error_text(code).c_str());
        p.node_close(fd);
        return false;
    }
    bool pressed = false;
    bool failure_logged = false;  // a button that left fails every sample: said once
    if (open_window()) {
        while (sampling()) {
            uint8_t state = 0xFF;
            // One byte, 0 while the button is held.
            const int n = p.usb_control_transfer(handle, 0xC0, 0x81, 0, 0, &state, 1, BUTTON_TIMEOUT_MS);
            if (n == 1 && state == 0)
                pressed = true;
            if (n < 0 && !failure_logged) {
                log_message(LOG_ERR, "Reading the reset button %s failed: %s", path, p.usb_error_text(n).c_str());
                failure_logged = true;
            }
            watch_sleep(SAMPLE_PAUSE_SECONDS);
        }
    }
    p.usb_close(handle);
    p.node_close(fd);
    return pressed;
}

// The serial methods' line: open non-blocking, set up, DTR raised. -1 when
// it can't be had (logged).
int open_button_line(const char* path) {
    platform::Platform& p = platform::current();
    const int fd = p.serial_open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        log_message(LOG_ERR, "Could not open serial '%s'", path);
        return -1;
    }
    SerialPosition line;
    line.tty_fd = fd;
    if (serial_setup(line) != 0) {
        log_message(LOG_ERR, "Could not setup serial '%s'", path);
        p.serial_close(fd);
        return -1;
    }
    int dtr = TIOCM_DTR;
    if (p.serial_ioctl(fd, TIOCMBIS, &dtr) != 0)
        log_message(LOG_ERR, "ioctl(TIOCMBIS) on '%s' failed: %s", path, strerror(errno));
    return fd;
}

bool sample_modem_lines() {
    const int fd = open_button_line(MODEM_PATH);
    if (fd < 0)
        return false;
    SerialPosition line;
    line.tty_fd = fd;
    bool pressed = false;
    if (open_window()) {
        while (sampling()) {
            if (serial_get_modem_state(line) != 0)  // CTS or DSR up
                pressed = true;
            watch_sleep(SAMPLE_PAUSE_SECONDS);
        }
    }
    platform::current().serial_close(fd);
    return pressed;
}

// What the button interface sends on its CDC line is not known, so its
// bytes are read and dropped: this method never resets.
bool watch_cdc_line() {
    const int fd = open_button_line(CDC_PATH);
    if (fd < 0)
        return false;
    if (open_window()) {
        while (sampling()) {
            pollfd watched{fd, POLLIN, 0};
            const int result = poll(&watched, 1, watch_poll_ms(1000));
            log_trace("poll res: %d, %d", result, watched.revents);
            if (result < 0) {
                if (errno == EINTR)
                    continue;  // the alarm, most likely: look at the window again
                log_message(LOG_ERR, "poll() failed: %d, %s", errno, strerror(errno));
                break;
            }
            if (result == 0)
                continue;
            if (watched.revents & (POLLERR | POLLHUP | POLLNVAL)) {
                log_message(LOG_ERR, "poll() on serial fd failed: %d, %s", watched.revents,
                            (watched.revents & POLLNVAL) ? "invalid descriptor"
                            : (watched.revents & POLLHUP) ? "hang-up"
                                                          : "error condition");
                break;
            }
            char byte;
            if (read(fd, &byte, 1) < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    continue;
                log_message(LOG_ERR, "read() failed during serial receive: %s", strerror(errno));
                break;
            }
            watch_sleep(SAMPLE_PAUSE_SECONDS);
        }
    }
    platform::current().serial_close(fd);
    return false;
}

bool sample_parallel_port() {
    platform::Platform& p = platform::current();
    if (p.io_permission(PARALLEL_DATA, 2, 1) != 0) {
        log_message(LOG_ERR, "ioperm() failed: %s", strerror(errno));
        return false;
    }
    bool pressed = false;
    if (open_window()) {
        while (sampling()) {
            p.io_out(0, PARALLEL_DATA);
            const uint8_t low = p.io_in(PARALLEL_STATUS);
            p.io_out(1, PARALLEL_DATA);
            const uint8_t high = p.io_in(PARALLEL_STATUS);
            if (low != high)  // the status follows the data only while the button is held
                pressed = true;
            watch_sleep(SAMPLE_PAUSE_SECONDS);
        }
    }
    if (p.io_permission(PARALLEL_DATA, 2, 0) != 0)
        log_message(LOG_WARNING, "ioperm() failed: %s", strerror(errno));
    return pressed;
}

// The first reset-button interface in the device list.
const platform::UsbDeviceEntry* find_usb_button(const std::vector<platform::UsbDeviceEntry>& devices) {
    for (const auto& device : devices) {
        if (device.has_descriptor && device.vendor == BUTTON_VENDOR && device.product == BUTTON_PRODUCT)
            return &device;
    }
    return nullptr;
}

class UsbStack {
public:
    bool start() {
        const int code = platform::current().usb_init();
        if (code != 0)
            log_message(LOG_ERR, "libusb_init() failed: %s", platform::current().usb_error_text(code).c_str());
        started_ = code == 0;
        return started_;
    }
    ~UsbStack() {
        if (started_)
            platform::current().usb_exit();
    }

private:
    bool started_ = false;
};

}  // namespace

ButtonMethod choose_button_method(bool usb_button_found, std::string_view board_name) {
    if (usb_button_found)
        return ButtonMethod::usb_button;
    if (board_name.find("X4") != std::string_view::npos)
        return ButtonMethod::cdc_line;
    if (board_name.find("N4200T") != std::string_view::npos)
        return ButtonMethod::modem_lines;
    return ButtonMethod::parallel_port;
}

void run_reset_button() {
    struct sigaction action {};
    action.sa_handler = close_window;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGALRM, &action, nullptr) != 0) {
        log_message(LOG_ERR, "sigaction(SIGALRM) failed: %s", strerror(errno));
        return;
    }
    // The alarm is for this thread alone (the others keep it blocked), so
    // it never cuts their sleeps short.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);

    PosixTimer timer;
    if (!timer.create(SIGEV_SIGNAL, SIGALRM) || !timer.arm(watch_span(RESET_WINDOW_SECONDS)))
        return;

    const std::string board_name = read_board_name();
    UsbStack usb;
    if (!usb.start())
        return;
    std::vector<platform::UsbDeviceEntry> devices;
    if (const int code = platform::current().usb_list_devices(devices); code != 0) {
        log_message(LOG_ERR, "libusb_get_device_list() failed: %s",
                    platform::current().usb_error_text(code).c_str());
        return;
    }
    const platform::UsbDeviceEntry* button = find_usb_button(devices);

    bool pressed = false;
    switch (choose_button_method(button != nullptr, board_name)) {
    case ButtonMethod::usb_button: pressed = sample_usb_button(*button); break;
    case ButtonMethod::cdc_line: pressed = watch_cdc_line(); break;
    case ButtonMethod::modem_lines: pressed = sample_modem_lines(); break;
    case ButtonMethod::parallel_port: pressed = sample_parallel_port(); break;
    }
    if (pressed)
        run_program({{"/usr/bin/telvad-cli", "factory-reset"}});
}
