#include "common/terminal.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "platform/platform.h"

namespace {

using K = TtySettingKind;

// The rates travel as the kernel's speed codes; the RFC 2217 session reads
// the code back and looks its row up, so the codes must be the kernel's.
static_assert(B0 == 0 && B9600 == 13 && B38400 == 15);
static_assert(B57600 == 0x1001 && B115200 == 0x1002 && B230400 == 0x1003);

constexpr TtySetting speed(const char* name, speed_t code) { return {name, K::speed, 0, code}; }
constexpr TtySetting flag(const char* name, K kind, tcflag_t bits) { return {name, kind, bits, bits}; }
constexpr TtySetting field(const char* name, K kind, tcflag_t field_mask, tcflag_t bits) {
    return {name, kind, field_mask, bits};
}

constexpr std::array settings_table{
    speed("0", B0),
    speed("50", B50),
    speed("75", B75),
    speed("110", B110),
    speed("134", B134),
    speed("150", B150),
    speed("200", B200),
    speed("300", B300),
    speed("600", B600),
    speed("1200", B1200),
    speed("1800", B1800),
    speed("2400", B2400),
    speed("4800", B4800),
    speed("9600", B9600),
    speed("19200", B19200),
    speed("38400", B38400),
    speed("57600", B57600),
    speed("115200", B115200),
    speed("230400", B230400),

    field("cs5", K::control, CSIZE, CS5),
    field("cs6", K::control, CSIZE, CS6),
    field("cs7", K::control, CSIZE, CS7),
    field("cs8", K::control, CSIZE, CS8),
    flag("cstopb", K::control, CSTOPB),
    flag("cread", K::control, CREAD),
    flag("parenb", K::control, PARENB),
    flag("parodd", K::control, PARODD),
    flag("cmspar", K::control, CMSPAR),
    flag("hupcl", K::control, HUPCL),
    flag("clocal", K::control, CLOCAL),
    flag("crtscts", K::control, CRTSCTS),

    flag("ignbrk", K::input, IGNBRK),
    flag("brkint", K::input, BRKINT),
    flag("ignpar", K::input, IGNPAR),
    flag("parmrk", K::input, PARMRK),
    flag("inpck", K::input, INPCK),
    flag("istrip", K::input, ISTRIP),
    flag("inlcr", K::input, INLCR),
    flag("igncr", K::input, IGNCR),
    flag("icrnl", K::input, ICRNL),
    flag("iuclc", K::input, IUCLC),
    flag("ixon", K::input, IXON),
    flag("ixany", K::input, IXANY),
    flag("ixoff", K::input, IXOFF),
    flag("imaxbel", K::input, IMAXBEL),

    flag("opost", K::output, OPOST),
    flag("onlcr", K::output, ONLCR),
    flag("ocrnl", K::output, OCRNL),
    flag("onocr", K::output, ONOCR),
    flag("onlret", K::output, ONLRET),
    flag("ofil", K::output, OFILL),
    flag("ofdel", K::output, OFDEL),
    field("nl0", K::output, NLDLY, NL0),
    field("nl1", K::output, NLDLY, NL1),
    field("cr0", K::output, CRDLY, CR0),
    field("cr1", K::output, CRDLY, CR1),
    field("cr2", K::output, CRDLY, CR2),
    field("cr3", K::output, CRDLY, CR3),
    field("tab0", K::output, TABDLY, TAB0),
    field("tab1", K::output, TABDLY, TAB1),
    field("tab2", K::output, TABDLY, TAB2),
    field("tab3", K::output, TABDLY, TAB3),
    field("bs0", K::output, BSDLY, BS0),
    field("bs1", K::output, BSDLY, BS1),
    field("vt0", K::output, VTDLY, VT0),
    field("vt1", K::output, VTDLY, VT1),
    field("ff0", K::output, FFDLY, FF0),
    field("ff1", K::output, FFDLY, FF1),

    flag("isig", K::local, ISIG),
    flag("icanon", K::local, ICANON),
    flag("xcase", K::local, XCASE),
    flag("echo", K::local, ECHO),
    flag("echoe", K::local, ECHOE),
    flag("echok", K::local, ECHOK),
    flag("echonl", K::local, ECHONL),
    flag("noflsh", K::local, NOFLSH),
    flag("tostop", K::local, TOSTOP),
    flag("echoctl", K::local, ECHOCTL),
    flag("echoprt", K::local, ECHOPRT),
    flag("echoke", K::local, ECHOKE),
    flag("flusho", K::local, FLUSHO),
    flag("pendin", K::local, PENDIN),
    flag("iexten", K::local, IEXTEN),

    TtySetting{"raw", K::raw, 0, 0},
};

// The flag word a row of a flag kind addresses, const or not.
template <typename Termios>
auto flag_word(Termios& attributes, TtySettingKind kind) -> decltype(&attributes.c_cflag) {
    switch (kind) {
    case K::control:
        return &attributes.c_cflag;
    case K::input:
        return &attributes.c_iflag;
    case K::output:
        return &attributes.c_oflag;
    case K::local:
        return &attributes.c_lflag;
    default:
        return nullptr;
    }
}

std::string_view text_of(const char* text) { return text ? std::string_view(text) : std::string_view(); }

}  // namespace

std::span<const TtySetting> tty_settings() { return settings_table; }

const TtySetting* find_tty_setting(std::string_view name) {
    for (const TtySetting& row : settings_table) {
        if (name == row.name)
            return &row;
    }
    return nullptr;
}

const TtySetting* find_tty_speed(uint32_t code) {
    for (const TtySetting& row : settings_table) {
        if (row.kind == K::speed && row.value == code)
            return &row;
    }
    return nullptr;
}

std::vector<TtyToken> split_tty_text(std::string_view text) {
    constexpr std::string_view separators = " \t\n";
    std::vector<TtyToken> tokens;
    for (size_t start = text.find_first_not_of(separators); start != std::string_view::npos;) {
        size_t end = text.find_first_of(separators, start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view word = text.substr(start, end - start);
        const bool clear = word.front() == '-';
        tokens.push_back({word, clear ? word.substr(1) : word, clear});
        start = text.find_first_not_of(separators, end);
    }
    return tokens;
}

void apply_tty_text(termios& attributes, std::string_view text) {
    for (const TtyToken& token : split_tty_text(text)) {
        const TtySetting* row = find_tty_setting(token.name);
        if (!row)
            continue;
        log_trace("set_tty(): setting %s to mode %d", row->name, token.clear ? 0 : 1);
        switch (row->kind) {
        case K::speed:
            cfsetispeed(&attributes, row->value);
            cfsetospeed(&attributes, row->value);
            break;
        case K::raw:
            // The control flags stay: data size, parity, stop bits and flow
            // control are the line's, not the raw mode's.
            attributes.c_iflag = 0;
            attributes.c_oflag = 0;
            attributes.c_lflag = 0;
            attributes.c_cc[VTIME] = 0;
            attributes.c_cc[VMIN] = 1;
            break;
        default: {
            tcflag_t* word = flag_word(attributes, row->kind);
            *word &= ~row->mask;
            if (!token.clear)
                *word |= row->value;
            break;
        }
        }
    }
}

void read_tty_text(const termios& attributes, std::string_view text, std::vector<uint32_t>& values) {
    values.clear();
    for (const TtyToken& token : split_tty_text(text)) {
        const TtySetting* row = find_tty_setting(token.word);
        if (!row)
            continue;
        switch (row->kind) {
        case K::speed:
            values.push_back(cfgetispeed(&attributes));
            break;
        case K::raw:
            values.push_back(0);
            break;
        default:
            values.push_back(*flag_word(attributes, row->kind) & row->mask);
            break;
        }
    }
}

void set_tty(int fd, const char* text) {
    termios attributes;
    if (tcgetattr(fd, &attributes) != 0) {
        log_message(3, "set_tty(): cannot get settings for fd %d, error: %d, %s\n", fd, errno, strerror(errno));
        return;
    }
    apply_tty_text(attributes, text_of(text));
    if (tcsetattr(fd, TCSANOW, &attributes) != 0)
        log_message(3, "set_tty(): cannot set settings for fd %d, error: %d, %s\n", fd, errno, strerror(errno));
}

int get_tty(int fd, const char* text, std::vector<uint32_t>& values) {
    values.clear();
    termios attributes;
    if (tcgetattr(fd, &attributes) != 0) {
        log_message(3, "get_tty(): cannot get settings for fd %d, error: %s\n", fd, strerror(errno));
        return -1;
    }
    read_tty_text(attributes, text_of(text), values);
    return 0;
}

int serial_setup(SerialPosition& port) {
    const int fd = port.tty_fd;
    termios attributes;
    int result = -1;
    // Descriptor 0 is a closed record here, never standard input, whose
    // terminal must not be reconfigured.
    if (fd > 0)
        result = tcgetattr(fd, &attributes);
    else
        errno = EBADF;
    if (result != 0) {
        log_message(3, "serial_setup(): cannot GET settings for fd %d, error: %d, %s\n", fd, errno,
                    strerror(errno));
        return -1;
    }
    attributes.c_iflag &= ~(IGNBRK | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF);
    attributes.c_oflag &= ~(OPOST | ONLCR | OCRNL);
    attributes.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    attributes.c_cflag |= CS8 | CREAD | CLOCAL;
    attributes.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN);
    // The session polls the device and reads what is there; a read must never
    // wait for a minimum count.
    attributes.c_cc[VTIME] = 0;
    attributes.c_cc[VMIN] = 0;
    cfsetispeed(&attributes, B9600);
    cfsetospeed(&attributes, B9600);
    if (tcsetattr(fd, TCSANOW, &attributes) != 0) {
        log_message(3, "serial_setup(): cannot SET settings for fd %d, error: %d, %s\n", fd, errno,
                    strerror(errno));
        return -1;
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (platform::current().serial_ioctl(fd, TIOCMBIC, &lines) != 0) {
        log_message(3, "serial_setup(): ioctl failed: %d, %s\n", errno, strerror(errno));
        return -1;
    }
    port.baud = 9600;
    port.data_size = 8;
    port.parity = 1;
    port.stop_size = 1;
    return tcflush(fd, TCIFLUSH);
}

uint8_t serial_get_modem_state(const SerialPosition& port) {
    int lines = 0;
    int result = -1;
    // As in serial_setup: 0 is a closed record, not standard input.
    if (port.tty_fd > 0)
        result = platform::current().serial_ioctl(port.tty_fd, TIOCMGET, &lines);
    else
        errno = EBADF;
    if (result != 0) {
        log_message(3, "serial_get_modem_state(): ioctl(TIOCMGET) failed: %d, %s", errno, strerror(errno));
        return 0;
    }
    uint8_t state = 0;
    if (lines & TIOCM_CTS)
        state |= 0x10;
    if (lines & TIOCM_DSR)
        state |= 0x20;
    return state;
}
