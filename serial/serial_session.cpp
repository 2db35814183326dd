#include "serial/serial_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/serial.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "common/log.h"
#include "common/sockets.h"
#include "common/threads.h"
#include "common/unique_fd.h"
#include "platform/platform.h"
#include "registry/registry.h"
#include "serial/com_port.h"
#include "serial/telnet.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t READ_SIZE = 8192;
constexpr size_t FIRST_OUTPUT_SIZE = 128;
constexpr uint8_t IAC_BYTE = TELNET_IAC;

// How often the modem thread looks at the line counters.
constexpr int MODEM_POLL_MS = 20;

int milliseconds_until(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

class Session {
public:
    explicit Session(SerialPosition& port)
        : port_(port), tty_(port.tty_fd), sd_(port.client_sd), position_(port.position), line_(port.tty_fd),
          modem_wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (!modem_wake_)
            log_message(3, "eventfd() failed: %s; serial %d goes without modem notifications", strerror(errno),
                        position_);
    }

    void run();

private:
    enum class Device { done, blocked, failed };

    bool send(const uint8_t* data, size_t length);
    void start_modem_thread();
    void stop_modem_thread();
    void restart_modem_thread();
    static void* modem_threadproc(void* session);
    void watch_modem_lines();

    bool serve();
    bool device_to_client();
    bool client_to_device();
    bool parse(bool more_may_follow);
    Device to_device(const uint8_t* data, size_t length);
    Device flush_to_device(size_t length);
    void drop_stalled_run();

    SerialPosition& port_;
    const int tty_;
    const int sd_;
    const int position_;
    TtyLine line_;

    // Both threads write to the client; one message or run at a time.
    std::mutex client_mutex_;
    // Ends the modem thread's wait: the session writes it, the thread leaves.
    UniqueFd modem_wake_;
    pthread_t modem_thread_{};
    bool modem_running_ = false;

    std::vector<uint8_t> output_ = std::vector<uint8_t>(FIRST_OUTPUT_SIZE);
    uint8_t device_bytes_[READ_SIZE];

    // Client bytes read and not yet served: an unfinished command held from
    // the last read comes first, so the buffer has room for both.
    uint8_t client_bytes_[READ_SIZE + SUBNEGOTIATION_HOLD_LIMIT];
    size_t client_length_ = 0;
    size_t parsed_ = 0;
    bool holding_ = false;
    Clock::time_point hold_deadline_;

    // Client data gathered for the device, and the part of it the device has
    // not taken yet.
    uint8_t device_out_[READ_SIZE + SUBNEGOTIATION_HOLD_LIMIT];
    const uint8_t* pending_ = nullptr;
    size_t pending_length_ = 0;
    bool device_stalled_ = false;
    size_t dropped_ = 0;
    Clock::time_point stall_deadline_;
};

bool Session::send(const uint8_t* data, size_t length) {
    std::lock_guard lock(client_mutex_);
    return write_chunked(sd_, data, length, 0) == 0;
}

// --- modem thread ------------------------------------------------------------

void Session::start_modem_thread() {
    if (!modem_wake_)
        return;
    modem_running_ = pthread_create(&modem_thread_, nullptr, &Session::modem_threadproc, this) == 0;
    if (!modem_running_)
        log_message(3, "pthread_create() failed for the modem lines of serial %d", position_);
}

void Session::stop_modem_thread() {
    if (!modem_running_)
        return;
    const uint64_t one = 1;
    if (write(modem_wake_.get(), &one, sizeof one) != sizeof one)
        log_message(3, "write() failed on the modem wake-up of serial %d: %s", position_, strerror(errno));
    pthread_join(modem_thread_, nullptr);
    modem_running_ = false;
    uint64_t count = 0;
    if (read(modem_wake_.get(), &count, sizeof count) < 0 && errno != EAGAIN)
        log_message(3, "read() failed on the modem wake-up of serial %d: %s", position_, strerror(errno));
}

void Session::restart_modem_thread() {
    stop_modem_thread();
    sleep_ms(5);
    start_modem_thread();
    sleep_ms(10);
}

void* Session::modem_threadproc(void* session) {
    static_cast<Session*>(session)->watch_modem_lines();
    return nullptr;
}

void Session::watch_modem_lines() {
    // TIOCMIWAIT can't wait beside a descriptor, and a thread cancelled in
    // it could be holding anything; the interrupt counters, read every
    // MODEM_POLL_MS, see every change it would (they only grow), and the
    // wake-up descriptor ends the wait at once.
    platform::Platform& hardware = platform::current();
    serial_icounter_struct counters{};
    if (hardware.serial_ioctl(tty_, TIOCGICOUNT, &counters) != 0) {
        log_message(3, "ioctl(TIOCGICOUNT) failed: %d, %s", errno, strerror(errno));
        return;
    }
    int cts = counters.cts;
    int dsr = counters.dsr;
    log_trace("serial_wait_threadproc start");
    for (;;) {
        pollfd wake = {modem_wake_.get(), POLLIN, 0};
        const int ready = poll(&wake, 1, MODEM_POLL_MS);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            log_message(3, "poll() failed: %d, %s", errno, strerror(errno));
            return;
        }
        if (ready > 0)
            return;  // the session stops the thread
        if (hardware.serial_ioctl(tty_, TIOCGICOUNT, &counters) != 0) {
            log_message(3, "ioctl(TIOCGICOUNT) failed: %d, %s", errno, strerror(errno));
            return;
        }
        uint8_t changes = 0;
        if (counters.cts != cts)
            changes |= 0x01;
        if (counters.dsr != dsr)
            changes |= 0x02;
        if (changes == 0)
            continue;
        log_trace("serial_wait_threadproc signal received");
        const uint8_t value = changes | serial_get_modem_state(port_);
        uint8_t message[COM_PORT_MESSAGE_MAX];
        const size_t length = com_port_message(message, NOTIFY_MODEMSTATE, value);
        log_trace("sending mask: 0x%08x", value);
        send(message, length);
        cts = counters.cts;
        dsr = counters.dsr;
    }
}

// --- session thread ------------------------------------------------------------

void Session::run() {
    set_keepalive(sd_);
    // Relayed bytes go out as soon as the device gives them: a serial
    // exchange is small and waits for its answer.
    const int one = 1;
    setsockopt(sd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    signal(SIGPIPE, SIG_IGN);

    start_modem_thread();
    sleep_ms(10);
    uint8_t hello[COM_PORT_MESSAGE_MAX];
    send(hello, com_port_message(hello, NOTIFY_MODEMSTATE, serial_get_modem_state(port_) | 0x03));

    serve();

    stop_modem_thread();
    // The line must not stay in BREAK for the next client.
    if (port_.break_on)
        line_.set_break(false);
    log_trace("Serial client with sd '%i' disconnected from serial position %d. (thread)", sd_, position_);
}

bool Session::serve() {
    for (;;) {
        const bool waiting_for_device = pending_length_ > 0;
        pollfd entries[2] = {
            {tty_, static_cast<short>(POLLIN | (waiting_for_device ? POLLOUT : 0)), 0},
            // While the device holds client bytes the client is not read:
            // its further bytes wait in TCP.
            {sd_, static_cast<short>(waiting_for_device ? 0 : POLLIN), 0},
        };
        int timeout = -1;
        if (waiting_for_device)
            timeout = milliseconds_until(stall_deadline_);
        else if (holding_)
            timeout = milliseconds_until(hold_deadline_);
        const int result = poll(entries, 2, timeout);
        log_trace("poll res: %d, s: %d, c: %d", result, (entries[0].revents & POLLIN) != 0,
                  (entries[1].revents & POLLIN) != 0);
        if (result < 0) {
            if (errno == EINTR)
                continue;
            log_message(3, "poll() failed: %d, %s", errno, strerror(errno));
            return false;
        }
        if (result == 0) {
            if (waiting_for_device)
                drop_stalled_run();
            else if (holding_ && !parse(false))
                return false;
            if (pending_length_ == 0 && !parse(true))
                return false;
            continue;
        }

        const short device = entries[0].revents;
        if (device & (POLLERR | POLLHUP | POLLNVAL)) {
            if (device & POLLHUP) {
                log_trace("poll() on serial fd returned POLLHUP");
            } else {
                const int error = device & POLLNVAL ? EBADF : EIO;
                log_message(3, "poll() on serial fd failed: %d, %s", error, strerror(error));
            }
            return false;
        }
        const short client = entries[1].revents;
        // Bytes the client sent before it went are still served.
        if ((client & (POLLERR | POLLHUP | POLLNVAL)) && !(client & POLLIN)) {
            if (client & POLLHUP) {
                log_trace("poll() on client fd returned POLLHUP, closing connection");
            } else {
                int error = 0;
                socklen_t size = sizeof error;
                getsockopt(sd_, SOL_SOCKET, SO_ERROR, &error, &size);
                log_message(3, "poll() on client fd failed: %d, %s", error, strerror(error));
            }
            return false;
        }

        if ((device & POLLIN) && !device_to_client())
            return false;
        if ((device & POLLOUT) && pending_length_ > 0) {
            const Device written = to_device(pending_, pending_length_);
            if (written == Device::failed)
                return false;
            if (written == Device::done && !parse(true))
                return false;
        }
        if ((client & POLLIN) && !client_to_device())
            return false;
        // A device that keeps sending must not keep the deadlines from
        // being noticed.
        if (pending_length_ > 0 && Clock::now() >= stall_deadline_) {
            drop_stalled_run();
            if (!parse(true))
                return false;
        } else if (pending_length_ == 0 && holding_ && Clock::now() >= hold_deadline_ && !parse(false)) {
            return false;
        }
    }
}

bool Session::device_to_client() {
    ssize_t count;
    do {
        count = read(tty_, device_bytes_, READ_SIZE);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        if (errno == EAGAIN)
            return true;
        log_message(3, "read() failed during serial receive: %s", strerror(errno));
        return false;
    }
    const size_t needed = 2 * static_cast<size_t>(count);
    if (needed > output_.size()) {
        try {
            output_.resize(needed);
        } catch (const std::bad_alloc&) {
            log_message(3, "Out of memory!");
            return false;
        }
    }
    const size_t length = escape_iac(device_bytes_, static_cast<size_t>(count), output_.data());
    if (length > 0)
        send(output_.data(), length);  // a broken connection shows at the next poll
    return true;
}

bool Session::client_to_device() {
    ssize_t count;
    do {
        count = read(sd_, client_bytes_ + client_length_, READ_SIZE);
    } while (count < 0 && errno == EINTR);
    if (count == 0) {
        log_message(6, "read() returned 0B, closing socket.");
        return false;
    }
    if (count < 0) {
        if (errno == EAGAIN)
            return true;
        log_message(3, "read() failed during buffer receive: %d, %s", errno, strerror(errno));
        return false;
    }
    client_length_ += static_cast<size_t>(count);
    holding_ = false;
    return parse(true);
}

bool Session::parse(bool more_may_follow) {
    holding_ = false;
    // Data runs and escaped IACs are gathered and written in one go; a
    // command first lets the device have the data sent before it.
    size_t gathered = 0;
    while (parsed_ < client_length_) {
        const std::span<const uint8_t> rest(client_bytes_ + parsed_, client_length_ - parsed_);
        const ClientItem item = next_client_item(rest, more_may_follow);
        if (item.kind == ClientItem::Kind::incomplete) {
            memmove(client_bytes_, rest.data(), rest.size());
            client_length_ = rest.size();
            parsed_ = 0;
            holding_ = true;
            hold_deadline_ = Clock::now() + std::chrono::milliseconds(TELNET_HOLD_MS);
            return flush_to_device(gathered) != Device::failed;
        }
        if (item.kind == ClientItem::Kind::escaped_iac || item.kind == ClientItem::Kind::data) {
            const size_t length = item.kind == ClientItem::Kind::data ? item.length : 1;
            memcpy(device_out_ + gathered, item.kind == ClientItem::Kind::data ? rest.data() : &IAC_BYTE, length);
            gathered += length;
            parsed_ += item.length;
            continue;
        }
        if (gathered > 0) {
            // The command is parsed again once the device has taken the data.
            const Device written = flush_to_device(gathered);
            gathered = 0;
            if (written != Device::done)
                return written != Device::failed;
        }
        if (item.kind == ClientItem::Kind::negotiation) {
            const uint8_t reply[3] = {TELNET_IAC, negotiation_reply(rest[1], rest[2]), rest[2]};
            send(reply, sizeof reply);
        } else if (rest[2] == COM_PORT_OPTION) {
            uint8_t reply[COM_PORT_MESSAGE_MAX];
            uint8_t changed = 0;
            const int length = set_com_port_option(port_, line_, rest.data(), item.length, reply, changed);
            if (length > 0)
                send(reply, static_cast<size_t>(length));
            if (changed)
                restart_modem_thread();
        }
        parsed_ += item.length;
    }
    client_length_ = 0;
    parsed_ = 0;
    return flush_to_device(gathered) != Device::failed;
}

Session::Device Session::flush_to_device(size_t length) {
    if (length == 0)
        return Device::done;
    pending_length_ = 0;
    return to_device(device_out_, length);
}

Session::Device Session::to_device(const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(tty_, data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<size_t>(written);
            if (device_stalled_) {
                log_message(4, "Serial %d: the device takes data again, %zu bytes were dropped", position_, dropped_);
                device_stalled_ = false;
                dropped_ = 0;
            }
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN) {
            log_message(3, "write() failed during serial send: %d, %s", errno, strerror(errno));
            return Device::failed;
        }
        // A device that gave up taking data does not hold the client up
        // again: what it refuses now is dropped until it takes bytes again.
        if (device_stalled_) {
            dropped_ += length;
            break;
        }
        // The device's queue is full: the rest waits for it to drain, and the
        // stall clock restarts with every byte it takes.
        if (pending_ != data || pending_length_ == 0)
            stall_deadline_ = Clock::now() + std::chrono::milliseconds(DEVICE_STALL_MS);
        pending_ = data;
        pending_length_ = length;
        return Device::blocked;
    }
    pending_ = nullptr;
    pending_length_ = 0;
    return Device::done;
}

void Session::drop_stalled_run() {
    log_message(4, "Serial %d: the device took nothing for %d ms, dropping what it does not take", position_,
                DEVICE_STALL_MS);
    device_stalled_ = true;
    dropped_ = pending_length_;
    pending_ = nullptr;
    pending_length_ = 0;
}

void serial_threadproc(SerialPosition& port) {
    log_trace("Serial thread: %#x, tid: %d started", static_cast<unsigned>(pthread_self()),
              static_cast<int>(gettid()));
    const int sd = port.client_sd;
    {
        // The session's buffers go before the position is given up.
        auto session = std::make_unique<Session>(port);
        session->run();
    }
    release_serial(sd);
    unregister_client(sd);
    log_trace("Serial thread %#x finished", static_cast<unsigned>(pthread_self()));
}

}  // namespace

bool start_serial_session(SerialPosition& port) {
    return start_detached("serial session", [&port] { serial_threadproc(port); });
}
